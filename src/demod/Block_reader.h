#pragma once

// From bytes to blocks. A block follows a carrier tone: the synchronisation byte (0x2A), the
// file name and its 0 terminator, 17 header bytes (load and execution address, block number,
// data length, flag, next file's address), the header's CRC, the data and the data's CRC
// (none when the block has no data), each CRC high byte first. The block's bytes follow one
// another with a stop bit between them.
//
// Each checksum that fails is repaired where it can be (see Crc_repair.h). A block whose
// header passes but whose data cannot be mended is kept as failed, with its sureness, so that
// several readings of it can be combined.

#include <cstdint>
#include <vector>

#include "demod/Byte_framer.h"

namespace Demod_ns {

enum class BlockState { kGood, kRepaired, kFailed };

struct DemodBlock {
  std::vector<uint8_t> bytes;  // from the synchronisation byte to the data CRC
  std::vector<float> soft;     // 8 values a byte, as FramedByte::soft
  double startSample = 0.0;
  double endSample = 0.0;
  uint16_t baud = 1200;
  BlockState state = BlockState::kGood;
  int repairedBits = 0;         // bits flipped by the repair, in the header and the data
  bool headerRepaired = false;  // the header's checksum passed only after a repair
  bool syncReplaced = false;    // the first byte was read as another value than 0x2A
};

// The layout's fixed parts.
inline constexpr uint8_t kSyncByte = 0x2A;
inline constexpr size_t kLongestName = 10;
inline constexpr size_t kHeaderBytes = 17;  // between the name's terminator and the header CRC
inline constexpr uint8_t kNoDataFlag = 0x40;
inline constexpr uint8_t kLastBlockFlag = 0x80;

class BlockReader final : public ByteSink {
 public:
  // Bits of carrier before a byte that make it the first byte of a block.
  static constexpr uint32_t kLeaderBits = 8;

  explicit BlockReader(uint16_t baud) : baud_(baud) {}

  void Byte(const FramedByte& byte) override;
  void SignalLost(double atSample) override;

  // Ends the block being read and gives every block read, in order.
  std::vector<DemodBlock> Take();

 private:
  void Abandon() { reading_ = false; }
  void Complete();
  bool HeaderRead();

  uint16_t baud_;
  std::vector<DemodBlock> blocks_;
  bool reading_ = false;
  DemodBlock current_;
  size_t nameEnd_ = 0;  // the terminator's position, 0 until found
  size_t length_ = 0;   // the block's length once its header has passed, else 0
};

}  // namespace Demod_ns
