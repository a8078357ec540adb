#pragma once

// WAV files of every kind prepare reads, made byte by byte for the tool's tests.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tool/Uef_images.h"

namespace ToolTest {

struct WavLayout {
  uint16_t channels = 1;
  uint32_t rate = 44100;
  uint16_t bits = 16;
  bool floatingPoint = false;
  bool extensible = false;
};

// One sample, -1 to 1, in the layout's form.
inline std::string EncodeSample(double value, const WavLayout& layout) {
  if (layout.floatingPoint) {
    if (layout.bits == 32)
      return Float(static_cast<float>(value));
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return Le32(static_cast<uint32_t>(bits)) + Le32(static_cast<uint32_t>(bits >> 32));
  }
  switch (layout.bits) {
    case 8:
      return std::string(1, static_cast<char>(std::min(std::lround(value * 128) + 128, 255L)));
    case 16:
      return Le16(static_cast<uint16_t>(std::lround(std::min(value * 32768, 32767.0))));
    case 24:
      return Le24(static_cast<uint32_t>(std::lround(std::min(value * 8388608, 8388607.0))) &
                  0xFFFFFFu);
    default:
      return Le32(
          static_cast<uint32_t>(std::llround(std::min(value * 2147483648.0, 2147483647.0))));
  }
}

// A whole file: frames holds one value per channel per frame, interleaved.
inline std::string WavFile(const WavLayout& layout, const std::vector<double>& frames) {
  std::string data;
  for (double value : frames)
    data += EncodeSample(value, layout);
  const uint16_t align = static_cast<uint16_t>(layout.channels * layout.bits / 8);
  const uint16_t tag = layout.floatingPoint ? 3 : 1;
  std::string format = Le16(layout.extensible ? 0xFFFE : tag) + Le16(layout.channels) +
                       Le32(layout.rate) + Le32(layout.rate * align) + Le16(align) +
                       Le16(layout.bits);
  if (layout.extensible) {
    format += Le16(22) + Le16(layout.bits) + Le32(0) + Le16(tag) +
              std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
  }
  std::string chunks = "WAVE" + std::string("fmt ") + Le32(static_cast<uint32_t>(format.size())) +
                       format + "LIST" + Le32(3) + "abc" + std::string(1, '\0') + "data" +
                       Le32(static_cast<uint32_t>(data.size())) + data;
  if (data.size() % 2 != 0)
    chunks += '\0';
  return "RIFF" + Le32(static_cast<uint32_t>(chunks.size())) + chunks;
}

}  // namespace ToolTest
