#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

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

// What a block's header says, as read from a buffer, and whether its checksums match.
struct BlockHeaderRecord {
  uint32_t HeaderOffset = 0;  // h: the position after the name's terminator
  uint32_t NameLength = 0;    // the name is at positions 1 to h - 2 (h - 2 bytes)
  uint32_t LoadAddress = 0;
  uint32_t ExecAddress = 0;
  uint16_t Number = 0;
  uint16_t Length = 0;  // of the data
  uint8_t Flag = 0;
  uint32_t NextFileAddress = 0;
  bool HeaderCrcMatches = false;
  // The data CRC matches, or the block needs none (flagged without data, or empty with no
  // CRC recorded). Only looked at when the header's matches.
  bool DataCrcMatches = false;

  // The block fails when either CRC does not match.
  bool Failed() const { return !HeaderCrcMatches || !DataCrcMatches; }
  bool LastBlock() const { return (Flag & kLastBlockFlag) != 0; }
};

// Reads the header of the block in buffer and checks both CRCs. A CRC counts only when it
// lies within the bytes actually read, so a block cut short fails rather than passing on
// zeros; bytes past the fill read as 0. A block of length 0 passes on its header CRC when
// its data CRC was never read, or reads as zeros (the CRC of no bytes).
BlockHeaderRecord ParseBlockHeader(const ByteBufferType& buffer);

// The block's file name, its bytes as read.
std::string BlockName(const ByteBufferType& buffer, const BlockHeaderRecord& header);

// True when the block in buffer fails: its header CRC does not match or, unless it has no
// data (flag bit 6), its data CRC does not.
bool ChecksumFailed(const ByteBufferType& buffer);

}  // namespace BlockProcessing_ns
