#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace BlockProcessing_ns {

// The bytes of one block as read after a carrier tone, and how many were read.
//
// Layout of a block from its first byte (n is the file name's length, h = n + 2):
//   0          1  synchronisation byte (0x2A on a well-formed tape; not checked)
//   1          n  file name, up to the first 0 byte
//   n + 1      1  0, the name's terminator
//   h          8  load and execution addresses
//   h + 8      2  block number, little-endian
//   h + 10     2  data length L, little-endian
//   h + 12     1  block flag: bit 7 last block of the file, bit 6 no data
//   h + 13     4  address of the next file
//   h + 17     2  header CRC over positions 1 to h + 16, high byte first
//   h + 19     L  data
//   h + 19 + L 2  data CRC over the data, high byte first
struct ByteBufferType {
  static constexpr uint32_t kCapacity = 0x20000;

  std::array<uint8_t, kCapacity> Bytes{};
  uint32_t Fill = 0;

  // The byte at position; bytes that were not read (past the fill) read as 0.
  uint8_t At(uint64_t position) const { return position < Fill ? Bytes[position] : 0; }
  bool Full() const { return Fill == kCapacity; }
  // Zeroes the bytes used and starts again at the first byte.
  void Empty();
  // Starts again at the first byte, leaving the bytes as they are.
  void Rewind() { Fill = 0; }
};

// Offsets of the header's fields from h, the position after the name's terminator.
inline constexpr uint32_t kLoadAddressAt = 0;
inline constexpr uint32_t kExecAddressAt = 4;
inline constexpr uint32_t kBlockNumberAt = 8;
inline constexpr uint32_t kDataLengthAt = 10;
inline constexpr uint32_t kFlagAt = 12;
inline constexpr uint32_t kHeaderCrcAt = 17;
inline constexpr uint32_t kDataAt = 19;

inline constexpr uint8_t kLastBlockFlag = 0x80;
inline constexpr uint8_t kNoDataFlag = 0x40;

// CRC-16 with polynomial 0x1021 and initial value 0, most significant bit first (the
// CRC-16/XMODEM parameters): the checksum of a block's header and of its data.
uint16_t BlockChecksum(const uint8_t* bytes, size_t count);

// h, the position of the header after the file name, as found by the latest ChecksumFailed.
// The header accessors below read their buffer at this offset.
extern uint32_t HeaderOffset;

// True when the block in buffer fails: its header CRC does not match or, unless it has no
// data (flag bit 6), its data CRC does not. A CRC counts only when it lies within the bytes
// actually read, so a block cut short fails rather than passing on zeros. A block of length 0
// passes on its header CRC when its data CRC was never read. Sets HeaderOffset.
bool ChecksumFailed(const ByteBufferType& buffer);

uint16_t BlockNumber(const ByteBufferType& buffer);
uint16_t DataLength(const ByteBufferType& buffer);
bool LastBlockFlag(const ByteBufferType& buffer);

}  // namespace BlockProcessing_ns
