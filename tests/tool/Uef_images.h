#pragma once

// Building UEF images, plain or gzip-compressed, byte by byte for the tool's tests.

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/Tape_builder.h"

namespace ToolTest {

inline std::string Le16(uint16_t value) {
  return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

inline std::string Le24(uint32_t value) {
  return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
          static_cast<char>((value >> 16) & 0xFF)};
}

inline std::string Le32(uint32_t value) {
  return Le24(value) + static_cast<char>(value >> 24);
}

inline std::string Float(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return Le32(bits);
}

inline std::string Chunk(uint16_t id, const std::string& data) {
  return Le16(id) + Le32(static_cast<uint32_t>(data.size())) + data;
}

inline std::string Image(const std::vector<std::string>& chunks) {
  std::string image("UEF File!\0\x0A\x00", 12);
  for (const std::string& chunk : chunks)
    image += chunk;
  return image;
}

inline std::string Bytes(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

inline std::string BlockChunk(const TapeBuilder_ns::BlockSpec& block) {
  return Chunk(0x0100, Bytes(TapeBuilder_ns::BlockBytes(block)));
}

// The bytes in gzip form, as a gzip-compressed UEF file holds them.
inline std::string Gzip(const std::string& bytes) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string packed(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(&packed[0]);
  stream.avail_out = static_cast<uInt>(packed.size());
  const int status = deflate(&stream, Z_FINISH);
  packed.resize(stream.total_out);
  deflateEnd(&stream);
  if (status != Z_STREAM_END)
    throw std::runtime_error("deflate failed");
  return packed;
}

}  // namespace ToolTest
