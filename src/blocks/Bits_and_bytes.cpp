#include "blocks/Bits_and_bytes.h"

#include <algorithm>
#include <cmath>

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

// The whole lengths that lie within tolerance of nominal: lengths are counts of samples, so
// each class is a range of integers, found once per reference length with the very test above.
struct LengthRange {
  uint64_t lowest = 1;
  uint64_t highest = 0;  // empty until set
  bool Holds(uint64_t length) const { return length >= lowest && length <= highest; }
};

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

// The class ranges for one reference length.
struct Classifier {
  double t = -1;
  LengthRange longWave, shortWave, longPulse, shortPulse;
};

const Classifier& ClassifierFor(double t) {
  static Classifier classifier;
  if (classifier.t != t) {
    classifier.t = t;
    classifier.longWave = RangeWithin(t, kLongTolerance);
    classifier.shortWave = RangeWithin(t / 2, kShortTolerance);
    classifier.longPulse = RangeWithin(t / 2, kLongTolerance);
    classifier.shortPulse = RangeWithin(t / 4, kShortTolerance);
  }
  return classifier;
}

WaveClass ClassOf(const Classifier& classifier, uint64_t length) {
  if (classifier.longWave.Holds(length)) {
    return WaveClass::kLong;
  }
  if (classifier.shortWave.Holds(length)) {
    return WaveClass::kShort;
  }
  return WaveClass::kOther;
}

}  // namespace

WaveClass ClassifyWave(const WavesInput_ns::DelaysElementType& wave, double t) {
  return ClassOf(ClassifierFor(t), wave.Length());
}

PulseClass ClassifyPulse(uint32_t halfLength, double t) {
  const Classifier& classifier = ClassifierFor(t);
  if (classifier.longPulse.Holds(halfLength)) {
    return PulseClass::kLongPulse;
  }
  if (classifier.shortPulse.Holds(halfLength)) {
    return PulseClass::kShortPulse;
  }
  return PulseClass::kOtherPulse;
}

WaveClass CurrentWaveClass() {
  CheckWave(0);
  return ClassifyWave(WaveAt(0), WavesInput_ns::ReferenceWaveLength());
}

PulseClass CurrentFirstPulseClass() {
  CheckWave(0);
  return ClassifyPulse(WaveAt(0).FirstHalf, WavesInput_ns::ReferenceWaveLength());
}

uint8_t ReadBit(uint8_t& offset, bool& unreadable) {
  CheckWave(offset);
  CheckWave(static_cast<uint8_t>(offset + 1));
  const double t = WavesInput_ns::ReferenceWaveLength();
  const WaveClass first = ClassifyWave(WaveAt(offset), t);
  if (first == WaveClass::kLong) {
    offset = static_cast<uint8_t>(offset + 1);
    return 0;
  }
  if (first == WaveClass::kShort) {
    const WaveClass second = ClassifyWave(WaveAt(static_cast<uint8_t>(offset + 1)), t);
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

ByteReadResult ReadStandardByte() {
  ByteReadResult result;
  if (WavesInput_ns::WavesLeft() < kWavesForAByte) {
    return result;
  }
  uint8_t offset = 0;
  bool unreadable = false;
  const uint8_t startBit = ReadBit(offset, unreadable);
  unsigned value = 0;
  for (int i = 0; i < 8; ++i) {
    // Least significant bit first: each bit enters at the top and moves down.
    value = (value >> 1) | (ReadBit(offset, unreadable) == 1 ? 0x80u : 0u);
  }
  const uint8_t stopBit = ReadBit(offset, unreadable);
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
