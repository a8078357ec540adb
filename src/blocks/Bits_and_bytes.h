#pragma once

#include <cstdint>

#include "waves/Wavesinputstate.h"

namespace BlockProcessing_ns {

// A wave against the reference length T: a long wave is one 0 bit (a cycle of 1200 Hz at the
// default T), a short wave half of a 1 bit (a cycle of 2400 Hz).
enum class WaveClass : uint8_t { kLong = 0, kShort = 1, kOther = 2 };
enum class PulseClass : uint8_t { kLongPulse = 0, kShortPulse = 1, kOtherPulse = 2 };
inline constexpr uint8_t kUnreadableBit = 2;

// The whole lengths that a class holds: lengths are counts of samples, so each class is a
// range of integers, from lowest to highest (empty when highest < lowest).
struct LengthRange {
  uint64_t lowest = 1;
  uint64_t highest = 0;
  bool Holds(uint64_t length) const { return length >= lowest && length <= highest; }
};

// The classes for one reference length T, worked out once: a long wave lies within T/3.5 of
// T, a short wave within a third of T/2; a long pulse (half wave) within a 3.5th of T/2, a
// short pulse within a third of T/4.
class WaveClassifier {
 public:
  // Makes the ranges those of t, unless they already are.
  void Use(double t) {
    if (t != t_) {
      Set(t);
    }
  }
  WaveClass Wave(uint64_t length) const {
    if (longWave.Holds(length)) {
      return WaveClass::kLong;
    }
    if (shortWave.Holds(length)) {
      return WaveClass::kShort;
    }
    return WaveClass::kOther;
  }
  PulseClass Pulse(uint64_t halfLength) const {
    if (longPulse.Holds(halfLength)) {
      return PulseClass::kLongPulse;
    }
    if (shortPulse.Holds(halfLength)) {
      return PulseClass::kShortPulse;
    }
    return PulseClass::kOtherPulse;
  }

  LengthRange longWave, shortWave, longPulse, shortPulse;

 private:
  void Set(double t);
  double t_ = -1;
};

WaveClass ClassifyWave(const WavesInput_ns::DelaysElementType& wave, double t);
PulseClass ClassifyPulse(uint32_t halfLength, double t);

struct DecodingContext;

// The context's classifier, made that of its current reference length.
const WaveClassifier& CurrentClasses(DecodingContext& context);

// The class of the current wave against the current reference length.
WaveClass CurrentWaveClass(DecodingContext& context);
// The class of the first half of the current wave.
PulseClass CurrentFirstPulseClass(DecodingContext& context);

// Reads the bit that starts offset waves after the current one: 0 for a long wave, 1 for two
// short waves, otherwise kUnreadableBit with unreadable set (it is never cleared here).
// Advances offset past the waves the bit took. Both waves at offset and offset + 1 must be
// in the window (a missing one raises the underrun error).
uint8_t ReadBit(DecodingContext& context, uint8_t& offset, bool& unreadable);

struct ByteReadResult {
  uint8_t Byte = 0;
  bool Failed = true;
  bool Unreadable = false;
  uint8_t WavesUsed = 0;  // set when the byte was read
  uint8_t BitsUsed = 0;   // set when the byte was read
};

// Reads one byte framed 8N1 (start bit 0, eight data bits least significant first, stop bit
// 1) from the current wave on, without moving the window. Fails at once when fewer than 20
// waves are left, since a byte may take 19.
ByteReadResult ReadStandardByte(DecodingContext& context);

}  // namespace BlockProcessing_ns
