#include "blocks/Bits_and_bytes.h"

#include <algorithm>
#include <cmath>

#include "blocks/Decoding_context.h"

namespace BlockProcessing_ns {

using WavesInput_ns::CheckWave;
using WavesInput_ns::WaveAt;

namespace {

// Tolerances around the nominal lengths: a 3.5th for long waves and pulses, a third for short
// ones. A long wave is T, a short wave T/2; a long pulse (half wave) T/2, a short pulse T/4.
constexpr double kLongTolerance = 3.5;
constexpr double kShortTolerance = 3.0;

// The fewest waves in the window with which a byte can be framed: a byte takes up to 19.
constexpr uint32_t kWavesForAByte = 20;

// Whether a length lies within tolerance of nominal, as the program defines it.
bool Within(double length, double nominal, double tolerance) {
  return std::fabs(length - nominal) <= nominal / tolerance;
}

// The whole lengths that lie within tolerance of nominal, found with the very test above.
LengthRange RangeWithin(double nominal, double tolerance) {
  LengthRange range;
  if (!(nominal / tolerance >= 0) || nominal + nominal / tolerance > 1e15) {
    return range;
  }
  const double centre = std::floor(nominal);
  if (!Within(centre, nominal, tolerance) && !Within(centre + 1, nominal, tolerance)) {
    return range;
  }
  auto lowest = static_cast<uint64_t>(std::max(0.0, std::floor(nominal - nominal / tolerance) - 2));
  while (!Within(static_cast<double>(lowest), nominal, tolerance)) {
    ++lowest;
  }
  auto highest = static_cast<uint64_t>(std::floor(nominal + nominal / tolerance) + 2);
  while (!Within(static_cast<double>(highest), nominal, tolerance)) {
    --highest;
  }
  range.lowest = lowest;
  range.highest = highest;
  return range;
}

// The classifier of the free functions below: one per thread, so that they may be called
// from passes running side by side.
WaveClassifier& ClassifierFor(double t) {
  thread_local WaveClassifier classifier;
  classifier.Use(t);
  return classifier;
}

}  // namespace

void WaveClassifier::Set(double t) {
  t_ = t;
  longWave = RangeWithin(t, kLongTolerance);
  shortWave = RangeWithin(t / 2, kShortTolerance);
  longPulse = RangeWithin(t / 2, kLongTolerance);
  shortPulse = RangeWithin(t / 4, kShortTolerance);
}

WaveClass ClassifyWave(const WavesInput_ns::DelaysElementType& wave, double t) {
  return ClassifierFor(t).Wave(wave.Length());
}

PulseClass ClassifyPulse(uint32_t halfLength, double t) {
  return ClassifierFor(t).Pulse(halfLength);
}

const WaveClassifier& CurrentClasses(DecodingContext& context) {
  context.Classes.Use(WavesInput_ns::ReferenceWaveLength(context.Waves));
  return context.Classes;
}

WaveClass CurrentWaveClass(DecodingContext& context) {
  CheckWave(context.Waves, 0);
  return CurrentClasses(context).Wave(WaveAt(context.Waves, 0).Length());
}

PulseClass CurrentFirstPulseClass(DecodingContext& context) {
  CheckWave(context.Waves, 0);
  return CurrentClasses(context).Pulse(WaveAt(context.Waves, 0).FirstHalf);
}

uint8_t ReadBit(DecodingContext& context, uint8_t& offset, bool& unreadable) {
  const WavesInput_ns::WavesInputState& waves = context.Waves;
  CheckWave(waves, offset);
  CheckWave(waves, static_cast<uint8_t>(offset + 1));
  const WaveClassifier& classes = CurrentClasses(context);
  const WaveClass first = classes.Wave(WaveAt(waves, offset).Length());
  if (first == WaveClass::kLong) {
    offset = static_cast<uint8_t>(offset + 1);
    return 0;
  }
  if (first == WaveClass::kShort) {
    const WaveClass second = classes.Wave(WaveAt(waves, static_cast<uint8_t>(offset + 1)).Length());
    offset = static_cast<uint8_t>(offset + 2);
    if (second == WaveClass::kShort) {
      return 1;
    }
    unreadable = true;
    return kUnreadableBit;
  }
  unreadable = true;
  offset = static_cast<uint8_t>(offset + 1);
  return kUnreadableBit;
}

ByteReadResult ReadStandardByte(DecodingContext& context) {
  ByteReadResult result;
  if (WavesInput_ns::WavesLeft(context.Waves) < kWavesForAByte) {
    return result;
  }
  uint8_t offset = 0;
  bool unreadable = false;
  const uint8_t startBit = ReadBit(context, offset, unreadable);
  unsigned value = 0;
  for (int i = 0; i < 8; ++i) {
    // Least significant bit first: each bit enters at the top and moves down.
    value = (value >> 1) | (ReadBit(context, offset, unreadable) == 1 ? 0x80u : 0u);
  }
  const uint8_t stopBit = ReadBit(context, offset, unreadable);
  result.Unreadable = unreadable;
  result.Byte = static_cast<uint8_t>(value);
  if (!unreadable && startBit == 0 && stopBit == 1) {
    result.Failed = false;
    result.WavesUsed = offset;
    result.BitsUsed = 10;
  }
  return result;
}

}  // namespace BlockProcessing_ns
