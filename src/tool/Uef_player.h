#pragma once

// Plays the chunks of a UEF image as the waves a cassette would carry.

#include <cstdint>
#include <iosfwd>

#include "tool/Uef_reader.h"

namespace Tool_ns {

// Where the waves go: tones as runs of half cycles, and silence.
class WaveTarget {
 public:
  virtual ~WaveTarget() = default;
  virtual void Tone(double frequencyHz, uint64_t halfCycles) = 0;
  virtual void Silence(double seconds) = 0;
};

// A gap longer than this is refused rather than rendered.
inline constexpr double kLongestGapSeconds = 3600.0;

// Plays every chunk of image into target, starting at 1200 baud with a base frequency of
// 1200 Hz:
//   0x0100  bytes framed 8N1 (start bit 0, data bits from the least significant, stop bit 1);
//           a 0 bit is one cycle of the base frequency, a 1 bit two cycles of twice it, and at
//           300 baud each bit lasts four times as long
//   0x0102  bits: the first byte tells how many bits of the last byte are unused, then the
//           bits from the least significant of each byte, each played as a data bit
//   0x0104  bytes in a defined format: data bits per byte (1 to 8), parity ('N', 'E' or 'O'),
//           stop bits (negative: that many, then one extra cycle of the high tone)
//   0x0110  carrier: a count of high-tone cycles
//   0x0111  carrier, the dummy byte 0xAA, carrier
//   0x0112  gap lasting a count of high-tone cycles; 0x0116 gap in seconds (a float)
//   0x0113  base frequency (a float); 0 keeps the current one
//   0x0114  security cycles: a 24-bit count, whether the first and last are half cycles ('P')
//           or whole ('W' or any other mark), then one bit per cycle from the most significant
//           (1 = high tone)
//   0x0117  baud rate, 300 or 1200
// Information chunks are skipped silently; any other chunk is skipped with a warning on
// warnings (when not null), once for each identifier. Raises ToolError where the image is
// damaged, a chunk is too short for its fields, or a value cannot be rendered (a gap longer
// than kLongestGapSeconds, a base frequency outside 100 to 10000 Hz, another baud rate).
void PlayImage(const UefImage& image, WaveTarget& target, std::ostream* warnings);

}  // namespace Tool_ns
