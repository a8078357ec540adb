// Locating a block's header and checking its two CRCs.
#include <gtest/gtest.h>

#include <cstring>

#include "blocks/Block_header.h"
#include "support/Tape_builder.h"

namespace {

using BlockProcessing_ns::ByteBufferType;
using BlockProcessing_ns::ChecksumFailed;

std::unique_ptr<ByteBufferType> BufferOf(const std::vector<uint8_t>& bytes) {
  auto buffer = std::make_unique<ByteBufferType>();
  std::copy(bytes.begin(), bytes.end(), buffer->Bytes.begin());
  buffer->Fill = static_cast<uint32_t>(bytes.size());
  return buffer;
}

std::vector<uint8_t> Block(const std::string& name, uint16_t number, uint8_t flag, size_t length) {
  TapeBuilder_ns::BlockSpec description;
  description.name = name;
  description.load = 0x1900;
  description.exec = 0x8023;
  description.number = number;
  description.flag = flag;
  for (size_t i = 0; i < length; ++i)
    description.data.push_back(static_cast<uint8_t>(i * 13 + 1));
  return TapeBuilder_ns::BlockBytes(description);
}

TEST(BlockChecksum, KnownAnswers) {
  const char* digits = "123456789";
  EXPECT_EQ(BlockProcessing_ns::BlockChecksum(reinterpret_cast<const uint8_t*>(digits), 9), 0x31C3);
  EXPECT_EQ(BlockProcessing_ns::BlockChecksum(nullptr, 0), 0);
  const uint8_t a = 'A';
  EXPECT_EQ(BlockProcessing_ns::BlockChecksum(&a, 1), 0x58E5);
}

TEST(ChecksumFailed, GoodBlocksPassAndTheHeaderIsFound) {
  auto buffer = BufferOf(Block("GAME", 0x12, 0x80, 256));
  EXPECT_FALSE(ChecksumFailed(*buffer));
  const auto game = BlockProcessing_ns::ParseBlockHeader(*buffer);
  EXPECT_EQ(game.HeaderOffset, 6u);
  EXPECT_EQ(game.Number, 0x12);
  EXPECT_EQ(game.Length, 256);
  EXPECT_TRUE(game.LastBlock());
  EXPECT_EQ(BlockProcessing_ns::BlockName(*buffer, game), "GAME");

  // An empty name: the header starts at 2 and its CRC covers 18 bytes.
  std::vector<uint8_t> noName = {0x2A, 0x00};
  std::vector<uint8_t> header(17, 0);
  header[8] = 3;  // block number
  noName.insert(noName.end(), header.begin(), header.end());
  const uint16_t crc = TapeBuilder_ns::Crc16(&noName[1], 18);
  noName.push_back(static_cast<uint8_t>(crc >> 8));
  noName.push_back(static_cast<uint8_t>(crc));
  auto empty = BufferOf(noName);
  EXPECT_FALSE(ChecksumFailed(*empty));
  const auto nameless = BlockProcessing_ns::ParseBlockHeader(*empty);
  EXPECT_EQ(nameless.HeaderOffset, 2u);
  EXPECT_EQ(nameless.Number, 3);
  EXPECT_EQ(BlockProcessing_ns::BlockName(*empty, nameless), "");
}

TEST(ChecksumFailed, DamageAnywhereFails) {
  const auto good = Block("PROG", 1, 0, 100);
  for (size_t at = 1; at < good.size(); at += 7) {
    auto bytes = good;
    bytes[at] ^= 0x10;
    EXPECT_TRUE(ChecksumFailed(*BufferOf(bytes))) << "damage at " << at;
  }
}

TEST(ChecksumFailed, NoDataFlagPassesOnTheHeaderAlone) {
  auto bytes = Block("X", 0, 0x40, 0);
  bytes.push_back(0x99);
  bytes.push_back(0x77);
  EXPECT_FALSE(ChecksumFailed(*BufferOf(bytes)));
}

TEST(ChecksumFailed, EmptyBlockWithoutItsDataCrcPasses) {
  // Real tapes hold empty blocks whose data CRC was never recorded.
  const auto withoutCrc = Block("EMPTY", 2, 0x80, 0);
  EXPECT_FALSE(ChecksumFailed(*BufferOf(withoutCrc)));
  auto bytes = withoutCrc;
  bytes.push_back(0);
  bytes.push_back(0);
  EXPECT_FALSE(ChecksumFailed(*BufferOf(bytes)));  // with it: the CRC of nothing is 0 0
  auto wrongCrc = bytes;
  wrongCrc[wrongCrc.size() - 1] = 1;
  EXPECT_TRUE(ChecksumFailed(*BufferOf(wrongCrc)));
}

TEST(ChecksumFailed, BlocksCutShortFailInsteadOfPassingOnZeros) {
  // Two bytes "xx 00": the zeros of an unread header and CRC would match each other.
  EXPECT_TRUE(ChecksumFailed(*BufferOf({0x2A, 0x00})));
  EXPECT_TRUE(ChecksumFailed(*BufferOf({0x00, 0x00, 0x00})));
  // A block of zero data cut anywhere after its header.
  TapeBuilder_ns::BlockSpec description;
  description.name = "Z";
  description.data.assign(64, 0);
  const auto whole = TapeBuilder_ns::BlockBytes(description);
  EXPECT_FALSE(ChecksumFailed(*BufferOf(whole)));
  for (size_t cut = 2; cut < whole.size(); ++cut) {
    std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<long>(cut));
    EXPECT_TRUE(ChecksumFailed(*BufferOf(part))) << "cut at " << cut;
  }
}

TEST(ChecksumFailed, StaleBytesBeyondTheFillNeverCompleteABlock) {
  const auto whole = Block("STALE", 4, 0, 40);
  auto buffer = BufferOf(whole);
  buffer->Fill = static_cast<uint32_t>(whole.size() - 3);  // bytes left behind a rewind
  EXPECT_TRUE(ChecksumFailed(*buffer));
  // A length field pointing past the buffer's capacity fails without reading past it.
  auto huge = Block("BIG", 0, 0, 10);
  auto big = BufferOf(huge);
  const uint32_t h = 5;
  big->Bytes[h + 10] = 0xFF;
  big->Bytes[h + 11] = 0xFF;
  EXPECT_TRUE(ChecksumFailed(*big));
}

TEST(ChecksumFailed, BytesAfterTheDataCrcDoNotMatter) {
  auto twoBlocks = Block("ONE", 0, 0, 20);
  const auto second = Block("TWO", 1, 0, 20);
  twoBlocks.insert(twoBlocks.end(), second.begin(), second.end());
  auto buffer = BufferOf(twoBlocks);
  EXPECT_FALSE(ChecksumFailed(*buffer));
  EXPECT_EQ(BlockProcessing_ns::ParseBlockHeader(*buffer).Number, 0);
}

}  // namespace
