#pragma once

// Reading UEF tape images: the whole image in memory (gzip-compressed or plain), then its chunks
// one by one. Nothing here trusts a length the image declares: every chunk is checked against the
// bytes that are really there, and damage is reported with its offset rather than followed.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace Tool_ns {

// Images larger than this (before or after decompression) are refused; real tape images are a
// few hundred kilobytes.
inline constexpr size_t kLargestImage = 64u << 20;
inline constexpr size_t kUefHeaderLength = 12;  // "UEF File!", 0, minor version, major version

struct UefImage {
  std::string bytes;        // the image, decompressed
  bool compressed = false;  // the file was gzip-compressed
  // Empty, or how the compressed data is damaged; bytes then holds what could be recovered.
  std::string damage;
  uint8_t minorVersion = 0;
  uint8_t majorVersion = 0;
};

// Reads the named file ("-": standard input) and decompresses it when it starts with the gzip
// magic bytes. Raises ToolError when it cannot be read, is too large, or does not start with a
// complete UEF header.
UefImage ReadUefImage(const std::string& name, std::istream& standardInput);

// Checks and takes an image that is already in memory, as ReadUefImage does with a file's bytes.
UefImage UefImageFromBytes(std::string fileBytes, const std::string& name);

struct UefChunk {
  size_t offset = 0;  // of the chunk's identifier, in the decompressed image
  uint16_t id = 0;
  uint32_t length = 0;
  const uint8_t* data = nullptr;  // length bytes

  uint8_t Byte(size_t at) const { return data[at]; }
  uint16_t Le16(size_t at) const;
  uint32_t Le24(size_t at) const;
  uint32_t Le32(size_t at) const;
  float Float(size_t at) const;  // IEEE 754 single precision, little-endian
};

// The chunks of an image, in order.
class UefChunks {
 public:
  explicit UefChunks(const UefImage& image) : image_(image), next_(kUefHeaderLength) {}

  // The next chunk; false at the end of the image or where it is damaged (see Damage).
  bool Next(UefChunk& chunk);
  // After Next returned false: empty when the image ended cleanly, otherwise the damage and
  // where it is.
  const std::string& Damage() const { return damage_; }

 private:
  const UefImage& image_;
  size_t next_;
  std::string damage_;
};

// The chunk's name ("carrier tone", ...), or "unknown".
const char* ChunkName(uint16_t id);

// Chunks that describe the tape rather than hold any of its sound: origin, instructions,
// titles, position markers and the like.
bool IsInformationChunk(uint16_t id);

// An offset as the tool shows it: "0x" and six or more hexadecimal digits.
std::string OffsetText(size_t offset);

}  // namespace Tool_ns
