// Decoding whole tapes into chunks: tones around blocks, rejoining, the report, bad input.
#include <gtest/gtest.h>

#include <random>

#include "blocks/Block_driver.h"
#include "blocks/Blockformstate.h"
#include "support/Decoding.h"
#include "support/Temp_folder.h"
#include "uef/Wave_analysis.h"

namespace {

using TapeBuilder_ns::BlockBytes;
using TapeBuilder_ns::BlockSpec;
using TapeBuilder_ns::TapeWriter;
using TestSupport::Chunk;
using TestSupport::ChunksWithId;
using TestSupport::PulseSource;

std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}
std::string Le16(uint16_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i)
    data[i] = static_cast<uint8_t>(i * 31 + seed);
  return data;
}

class DecodeBlocks : public ::testing::Test {
 protected:
  // Decodes tape and returns the chunks written after the image's header.
  std::vector<Chunk> Decode(const TapeBuilder_ns::Tape& tape) {
    source_ =
        std::make_unique<PulseSource>(TestSupport::PulsesOf(tape), TestSupport::kPulseTestRate);
    TestSupport::PrepareDecoding(*source_, MainProgram_ns::MeasureMethod::kCswPulses, true,
                                 report_ / "report.log");
    TestSupport::CurrentDecoding().settings.BeepOnErrors = false;
    BlockProcessing_ns::DecodeBlocks(TestSupport::CurrentDecoding().Context());
    reportText_ = TestSupport::FinishReport(report_ / "report.log");
    return TestSupport::ParseChunks(TestSupport::CurrentDecoding().image.ImageBytes());
  }

  TestSupport::TempFolder report_;
  std::string reportText_;
  std::unique_ptr<PulseSource> source_;
};

TEST_F(DecodeBlocks, TwoFilesGetTheirTonesGapsAndReportLines) {
  TapeBuilder_ns::TapeLayout layout;
  const auto game = Data(600, 1);
  const auto data = Data(256, 7);
  const auto tape =
      TapeBuilder_ns::StandardTape({{"GAME", 0x1900, 0x8023, game}, {"DATA", 0, 0, data}}, layout);
  const auto chunks = Decode(tape);

  const auto gameBlocks = TapeBuilder_ns::FileBlocks("GAME", 0x1900, 0x8023, game);
  const auto dataBlocks = TapeBuilder_ns::FileBlocks("DATA", 0, 0, data);
  const std::string gap("\x00\x00\x20\x41", 4);
  const std::vector<std::pair<uint16_t, std::string>> expected = {
      {0x0111, Le16(2400) + Le16(9600)},
      {0x0100, Text(BlockBytes(gameBlocks[0]))},
      {0x0110, Le16(2400)},
      {0x0100, Text(BlockBytes(gameBlocks[1]))},
      {0x0110, Le16(2400)},
      {0x0100, Text(BlockBytes(gameBlocks[2]))},
      {0x0110, Le16(12000)},
      {0x0116, gap},
      {0x0110, Le16(2400)},
      {0x0100, Text(BlockBytes(dataBlocks[0]))},
      {0x0110, Le16(12000)},
      {0x0116, gap}};
  ASSERT_EQ(chunks.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(chunks[i].id, expected[i].first) << "chunk " << i;
    EXPECT_EQ(chunks[i].data, expected[i].second) << "chunk " << i;
  }
  EXPECT_EQ(reportText_,
            "Found :       GAME 00\tChecksum ok\n"
            "Found :       GAME 01\tChecksum ok\n"
            "Found :       GAME 02\tChecksum ok, last block flag\n"
            "Found :       DATA 00\tChecksum ok, last block flag\n");
  EXPECT_EQ(TestSupport::CurrentDecoding().Context().Form.FileNumber, 3);
}

TEST_F(DecodeBlocks, NoReadableBlockWritesNothing) {
  EXPECT_TRUE(Decode(TapeWriter().Gap(0.2).Carrier(500).Gap(0.2).Cycles(900, 50).Take()).empty());
  EXPECT_EQ(reportText_, "");
}

BlockSpec Describe(const std::string& name, uint16_t number, uint8_t flag, size_t length) {
  BlockSpec description;
  description.name = name;
  description.number = number;
  description.flag = flag;
  description.data = Data(length, static_cast<uint8_t>(number));
  return description;
}

TEST_F(DecodeBlocks, BlockCutByAShortDropOutIsRejoinedAndWrittenOnce) {
  const auto block = BlockBytes(Describe("SPLIT", 0, 0x80, 200));
  const std::vector<uint8_t> first(block.begin(), block.begin() + 120);
  const std::vector<uint8_t> rest(block.begin() + 120, block.end());
  // The drop-out reads as a stray 1 bit between two bytes.
  const auto chunks = Decode(TapeWriter()
                                 .Carrier(300)
                                 .Bytes(first)
                                 .Cycles(2400, 2)
                                 .Bytes(rest)
                                 .Carrier(200)
                                 .Gap(0.3)
                                 .Take());
  const auto data = ChunksWithId(chunks, 0x0100);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].data, Text(block));
  EXPECT_EQ(reportText_, "Found :      SPLIT 00\tChecksum ok, last block flag\n");
}

TEST_F(DecodeBlocks, FailedBlockFollowedByALongCarrierIsDropped) {
  const auto block = BlockBytes(Describe("LOST", 0, 0, 200));
  const std::vector<uint8_t> first(block.begin(), block.begin() + 120);
  const std::vector<uint8_t> rest(block.begin() + 120, block.end());
  const auto chunks = Decode(TapeWriter()
                                 .Carrier(300)
                                 .Bytes(first)
                                 .Gap(0.05)
                                 .Carrier(100)
                                 .Bytes(rest)
                                 .Carrier(200)
                                 .Gap(0.3)
                                 .Take());
  EXPECT_TRUE(ChunksWithId(chunks, 0x0100).empty());
  EXPECT_EQ(reportText_, "");
}

TEST_F(DecodeBlocks, SkippedBlockNumberIsReported) {
  TapeWriter writer;
  writer.Gap(0.1).Carrier(400).DummyByte().Carrier(400);
  for (int number : {0, 2, 2}) {
    writer.Block(Describe("GAP", static_cast<uint16_t>(number), 0, 32))
        .Carrier(300)
        .Gap(0.2)
        .Carrier(300);
  }
  const auto chunks = Decode(writer.Gap(0.2).Take());
  EXPECT_EQ(ChunksWithId(chunks, 0x0100).size(), 3u);
  // The dummy byte is not part of the first block.
  EXPECT_EQ(ChunksWithId(chunks, 0x0100)[0].data[0], 0x2A);
  EXPECT_EQ(reportText_,
            "Found :        GAP 00\tChecksum ok\n"
            "Missed a block.\n"
            "Found :        GAP 02\tChecksum ok\n"
            "Missed a block.\n"
            "Found :        GAP 02\tChecksum ok\n");
}

TEST_F(DecodeBlocks, ReportShowsUnprintableNameBytesAndLongNamesWhole) {
  TapeWriter writer;
  writer.Carrier(400);
  auto odd =
      BlockBytes(Describe("A\x01"
                          "B",
                          0x1A, 0, 8));
  writer.Bytes(odd).Carrier(300).Gap(0.2).Carrier(300);
  writer.Block(Describe("TENLETTERS", 0x1B, 0, 8)).Carrier(300).Gap(0.2);
  Decode(writer.Take());
  EXPECT_EQ(reportText_,
            "Missed a block.\n"
            "Found :        A?B 1A\tChecksum ok\n"
            "Found : TENLETTERS 1B\tChecksum ok\n");
}

TEST_F(DecodeBlocks, HostileInputsDecodeWithoutFailure) {
  // Noise, a run of dummy bytes, a block whose length points past the buffer.
  std::mt19937 random(7);
  std::uniform_int_distribution<uint32_t> length(1, 40);
  std::vector<uint32_t> noise;
  for (int i = 0; i < 200000; ++i)
    noise.push_back(length(random));
  source_ = std::make_unique<PulseSource>(noise, TestSupport::kPulseTestRate);
  auto& context = TestSupport::PrepareDecoding(*source_, MainProgram_ns::MeasureMethod::kCswPulses);
  EXPECT_NO_THROW(BlockProcessing_ns::DecodeBlocks(context));

  auto pointsPast = BlockBytes(Describe("FAR", 0, 0, 16));
  pointsPast[4 + 2 + 10] = 0xFF;
  pointsPast[4 + 2 + 11] = 0xFF;
  TapeWriter writer;
  writer.Carrier(300)
      .Bytes(std::vector<uint8_t>(500, 0xAA))
      .Carrier(100)
      .Bytes(pointsPast)
      .Carrier(100);
  EXPECT_NO_THROW(Decode(writer.Gap(0.1).Take()));
}

TEST_F(DecodeBlocks, RunOfBytesLongerThanTheBufferIsCutAtItsCapacity) {
  const auto block = BlockBytes(Describe("HUGE", 0, 0, 64));
  std::vector<uint8_t> bytes = block;
  bytes.resize(BlockProcessing_ns::ByteBufferType::kCapacity + 5000, 0x00);
  const auto chunks = Decode(TapeWriter().Carrier(300).Bytes(bytes).Carrier(200).Gap(0.1).Take());
  const auto data = ChunksWithId(chunks, 0x0100);
  // The good block at its start passes and is written with the bytes after it, up to the
  // buffer's capacity; what follows is read as another run and fails.
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].data.size(), BlockProcessing_ns::ByteBufferType::kCapacity);
  EXPECT_EQ(data[0].data.substr(0, block.size()), Text(block));
}

}  // namespace
