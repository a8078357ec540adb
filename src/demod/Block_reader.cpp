#include "demod/Block_reader.h"

#include <algorithm>

#include "demod/Crc_repair.h"

namespace Demod_ns {

void BlockReader::Byte(const FramedByte& byte) {
  if (byte.idleBefore >= kLeaderBits) {
    // After carrier tone: the first byte of a block, whatever its value; a damaged
    // synchronisation byte is judged by the header's checksum.
    current_ = DemodBlock{};
    current_.baud = baud_;
    current_.startSample = byte.startSample;
    nameEnd_ = 0;
    length_ = 0;
    reading_ = true;
  } else if (!reading_) {
    return;
  }
  current_.bytes.push_back(byte.value);
  current_.soft.insert(current_.soft.end(), byte.soft.begin(), byte.soft.end());
  current_.endSample = byte.endSample;
  const size_t size = current_.bytes.size();

  if (nameEnd_ == 0) {
    if (size >= 2 && byte.value == 0)
      nameEnd_ = size - 1;
    else if (size > kLongestName + 1)
      Abandon();
    return;
  }
  if (length_ == 0) {
    if (size == nameEnd_ + 1 + kHeaderBytes + 2 && !HeaderRead())
      Abandon();
    else if (length_ != 0 && size == length_)
      Complete();
    return;
  }
  if (size == length_)
    Complete();
}

bool BlockReader::HeaderRead() {
  const size_t h = nameEnd_ + 1;
  // A run of zero bytes after a tone reads as a block without a name whose header and CRC are
  // all 0, which passes: it is no block.
  if (std::all_of(current_.bytes.begin() + 1, current_.bytes.end(),
                  [](uint8_t byte) { return byte == 0; }))
    return false;
  const int flipped = CheckOrRepair(current_.bytes, current_.soft, 1, h + kHeaderBytes);
  if (flipped < 0)
    return false;
  current_.repairedBits = flipped;
  current_.headerRepaired = flipped > 0;
  const size_t dataLength = size_t{current_.bytes[h + 10]} | size_t{current_.bytes[h + 11]} << 8;
  const bool noData = (current_.bytes[h + 12] & kNoDataFlag) != 0 || dataLength == 0;
  length_ = h + kHeaderBytes + 2 + (noData ? 0 : dataLength + 2);
  return true;
}

void BlockReader::Complete() {
  reading_ = false;
  const size_t h = nameEnd_ + 1;
  const size_t dataAt = h + kHeaderBytes + 2;
  if (length_ > dataAt) {
    const int flipped = CheckOrRepair(current_.bytes, current_.soft, dataAt, length_ - 2);
    if (flipped < 0)
      current_.state = BlockState::kFailed;
    else
      current_.repairedBits += flipped;
  }
  if (current_.bytes[0] != kSyncByte) {
    current_.bytes[0] = kSyncByte;
    current_.syncReplaced = true;
  }
  if (current_.state != BlockState::kFailed && (current_.repairedBits > 0 || current_.syncReplaced))
    current_.state = BlockState::kRepaired;
  // Only a failed block's sureness is of further use; a good block gives its memory back, so
  // that what a long recording holds is its blocks' bytes alone.
  if (current_.state != BlockState::kFailed)
    std::vector<float>().swap(current_.soft);
  current_.bytes.shrink_to_fit();
  blocks_.push_back(std::move(current_));
  current_ = DemodBlock{};
}

void BlockReader::SignalLost(double /*atSample*/) {
  // A block cut off by a loss of signal cannot be completed.
  Abandon();
}

std::vector<DemodBlock> BlockReader::Take() {
  Abandon();
  return std::move(blocks_);
}

}  // namespace Demod_ns
