#include "render/Block_bytes.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "blocks/Block_header.h"
#include "render/Byte_fields.h"

namespace TapeBuilder_ns {

namespace {

// CRCs on tape are stored high byte first, unlike every other field.
void PutBe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value & 0xFFu));
}

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t n) {
  return BlockProcessing_ns::BlockChecksum(data, n);
}

uint16_t Crc16(const std::vector<uint8_t>& data) {
  return Crc16(data.data(), data.size());
}

std::vector<uint8_t> BlockBytes(const BlockSpec& block) {
  if (block.name.empty() || block.name.size() > kMaxNameLength)
    throw std::invalid_argument("block name must be 1 to 10 characters: '" + block.name + "'");
  if (block.name.find('\0') != std::string::npos)
    throw std::invalid_argument("block name must not contain a NUL character");
  if (block.data.size() > 0xFFFFu)
    throw std::invalid_argument("block data must be at most 65535 bytes");

  std::vector<uint8_t> out;
  out.reserve(1 + block.name.size() + 1 + kHeaderLength + 2 + block.data.size() + 2);
  out.push_back(kSyncByte);

  const size_t headerStart = out.size();
  for (char c : block.name)
    out.push_back(static_cast<uint8_t>(c));
  out.push_back(0);
  PutLe32(out, block.load);
  PutLe32(out, block.exec);
  PutLe16(out, block.number);
  PutLe16(out, static_cast<uint16_t>(block.data.size()));
  out.push_back(block.flag);
  PutLe32(out, block.nextFile);
  PutBe16(out, Crc16(out.data() + headerStart, out.size() - headerStart));

  if (!block.data.empty()) {
    out.insert(out.end(), block.data.begin(), block.data.end());
    if (!block.omitDataCrc)
      PutBe16(out, Crc16(block.data));
  }
  return out;
}

std::vector<BlockSpec> FileBlocks(const std::string& name, uint32_t load, uint32_t exec,
                                  const std::vector<uint8_t>& data, size_t blockSize) {
  if (blockSize == 0 || blockSize > 0xFFFFu)
    throw std::invalid_argument("block size must be 1 to 65535");
  const size_t blockCount = data.empty() ? 1 : (data.size() + blockSize - 1) / blockSize;
  if (blockCount > 0x10000u)
    throw std::invalid_argument("file needs more than 65536 blocks");

  std::vector<BlockSpec> blocks;
  blocks.reserve(blockCount);
  for (size_t i = 0; i < blockCount; ++i) {
    BlockSpec block;
    block.name = name;
    block.load = load;
    block.exec = exec;
    block.number = static_cast<uint16_t>(i);
    const size_t begin = i * blockSize;
    const size_t end = std::min(data.size(), begin + blockSize);
    block.data.assign(data.begin() + static_cast<std::ptrdiff_t>(begin),
                      data.begin() + static_cast<std::ptrdiff_t>(end));
    if (i + 1 == blockCount)
      block.flag = static_cast<uint8_t>(block.flag | kFlagLastBlock);
    if (block.data.empty())
      block.flag = static_cast<uint8_t>(block.flag | kFlagNoData);
    blocks.push_back(std::move(block));
  }
  return blocks;
}

}  // namespace TapeBuilder_ns
