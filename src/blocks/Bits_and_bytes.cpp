#include "blocks/Bits_and_bytes.h"

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

}  // namespace

WaveClass ClassifyWave(const WavesInput_ns::DelaysElementType& wave, double t) {
  const double length = static_cast<double>(wave.Length());
  if (std::fabs(length - t) <= t / kLongTolerance) {
    return WaveClass::kLong;
  }
  if (std::fabs(length - t / 2) <= (t / 2) / kShortTolerance) {
    return WaveClass::kShort;
  }
  return WaveClass::kOther;
}

PulseClass ClassifyPulse(uint32_t halfLength, double t) {
  const double length = halfLength;
  if (std::fabs(length - t / 2) <= (t / 2) / kLongTolerance) {
    return PulseClass::kLongPulse;
  }
  if (std::fabs(length - t / 4) <= (t / 4) / kShortTolerance) {
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
