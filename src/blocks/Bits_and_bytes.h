#pragma once

#include <cstdint>

#include "waves/Wavesinputstate.h"

namespace BlockProcessing_ns {

// A wave against the reference length T: a long wave is one 0 bit (a cycle of 1200 Hz at the
// default T), a short wave half of a 1 bit (a cycle of 2400 Hz).
enum class WaveClass : uint8_t { kLong = 0, kShort = 1, kOther = 2 };
enum class PulseClass : uint8_t { kLongPulse = 0, kShortPulse = 1, kOtherPulse = 2 };
inline constexpr uint8_t kUnreadableBit = 2;

WaveClass ClassifyWave(const WavesInput_ns::DelaysElementType& wave, double t);
PulseClass ClassifyPulse(uint32_t halfLength, double t);

// The class of the current wave against the current reference length.
WaveClass CurrentWaveClass();
// The class of the first half of the current wave.
PulseClass CurrentFirstPulseClass();

// Reads the bit that starts offset waves after the current one: 0 for a long wave, 1 for two
// short waves, otherwise kUnreadableBit with unreadable set (it is never cleared here).
// Advances offset past the waves the bit took. Both waves at offset and offset + 1 must be
// in the window (a missing one raises the underrun error).
uint8_t ReadBit(uint8_t& offset, bool& unreadable);

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
ByteReadResult ReadStandardByte();

}  // namespace BlockProcessing_ns
