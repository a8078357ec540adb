#pragma once

// The byte image of cassette blocks: the block header's fields, its CRC and the data CRC as
// the cassette filing system writes them, and a file cut into numbered blocks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace TapeBuilder_ns {

constexpr uint8_t kSyncByte = 0x2A;
constexpr uint8_t kDummyByte = 0xAA;
constexpr size_t kMaxNameLength = 10;
constexpr size_t kHeaderLength = 17;  // bytes between the name's 0 and the header CRC

// Bits of the block flag byte.
constexpr uint8_t kFlagLastBlock = 0x80;
constexpr uint8_t kFlagNoData = 0x40;
constexpr uint8_t kFlagLocked = 0x01;

// CRC-16/XMODEM as used by the cassette filing system: polynomial 0x1021,
// initial value 0, MSB first, no reflection, no final xor. Crc16 of the ASCII
// bytes "123456789" is 0x31C3. data may be null when n == 0.
uint16_t Crc16(const uint8_t* data, size_t n);
uint16_t Crc16(const std::vector<uint8_t>& data);

// One block as written to tape.
struct BlockSpec {
  std::string name;           // 1..10 characters, none of them '\0'
  uint32_t load = 0;          // load address
  uint32_t exec = 0;          // execution address
  uint16_t number = 0;        // block number within the file
  uint8_t flag = 0;           // kFlagLastBlock | kFlagNoData | kFlagLocked
  std::vector<uint8_t> data;  // at most 65535 bytes
  bool omitDataCrc = false;   // drop the data CRC even when data is not empty
  uint32_t nextFile = 0;      // "next file" address field of the header
};

// The bytes of a block from the sync byte to the data CRC:
//   0x2A, name, 0x00, load (4, LE), exec (4, LE), number (2, LE),
//   data length (2, LE), flag, next-file address (4, LE),
//   header CRC (2, high byte first), data, data CRC (2, high byte first).
// The header CRC covers name, its terminator and the 17 header bytes. The data
// CRC covers the data and is left out when the data is empty or omitDataCrc is
// set. The length field always states data.size(). Throws
// std::invalid_argument for an empty, over-long or NUL-containing name, or
// more than 65535 data bytes. (Malformed blocks can be built by editing the
// returned bytes and writing them with TapeWriter::Bytes.)
std::vector<uint8_t> BlockBytes(const BlockSpec& block);

// Splits a file into blocks of blockSize bytes (the last may be shorter),
// numbered from 0, with kFlagLastBlock set on the last one only. An empty file
// gives a single block with no data flagged kFlagLastBlock | kFlagNoData.
// blockSize must be 1..65535.
std::vector<BlockSpec> FileBlocks(const std::string& name, uint32_t load, uint32_t exec,
                                  const std::vector<uint8_t>& data, size_t blockSize = 256);

}  // namespace TapeBuilder_ns
