#pragma once

// Multi-byte fields as the block header and the WAV and CSW files store them: low byte first.

#include <cstdint>
#include <vector>

namespace TapeBuilder_ns {

inline void PutLe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFFu));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<uint8_t>((value >> shift) & 0xFFu));
}

}  // namespace TapeBuilder_ns
