#include "Tape_builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

using namespace TapeBuilder_ns;

namespace {

// One letter per whole cycle: L = 1200 Hz, S = 2400 Hz.
std::string CycleLetters(const Tape& tape) {
  std::string letters;
  for (const Segment& segment : tape.Segments())
    if (segment.kind == SegmentKind::Tone)
      letters.append(segment.halfCycles / 2, segment.frequencyHz == kLongWaveHz ? 'L' : 'S');
  return letters;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
         (static_cast<uint32_t>(b[at + 3]) << 24);
}

}  // namespace

TEST(TapeBuilder, Crc16MatchesXmodemCheckValue) {
  const std::string text = "123456789";
  EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0x31C3);
  EXPECT_EQ(Crc16(nullptr, 0), 0x0000);
}

TEST(TapeBuilder, ByteIsFramed8N1LeastSignificantBitFirst) {
  // 0x01: start 0, data 1 0 0 0 0 0 0 0, stop 1.
  EXPECT_EQ(CycleLetters(TapeWriter().Byte(0x01).Take()), "LSSLLLLLLLSS");
  // 0xAA: start 0, data 0 1 0 1 0 1 0 1, stop 1.
  EXPECT_EQ(CycleLetters(TapeWriter().Carrier(3).DummyByte().Take()),
            "SSS"
            "L"
            "LSSLSSLSSLSS"
            "SS");
}

TEST(TapeBuilder, BlockBytesLayout) {
  BlockSpec block{"AB", 0xFFFF1900, 0x00008023, 0x0102, kFlagLastBlock, {1, 2, 3}};
  const std::vector<uint8_t> bytes = BlockBytes(block);
  ASSERT_EQ(bytes.size(), 1u + 3 + 17 + 2 + 3 + 2);
  const std::vector<uint8_t> header{'A',  'B',  0,    0x00, 0x19, 0xFF, 0xFF, 0x23, 0x80, 0x00,
                                    0x00, 0x02, 0x01, 0x03, 0x00, 0x80, 0,    0,    0,    0};
  EXPECT_EQ(bytes[0], 0x2A);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 1, bytes.begin() + 21), header);
  const uint16_t headerCrc = Crc16(header);
  EXPECT_EQ(bytes[21], headerCrc >> 8);
  EXPECT_EQ(bytes[22], headerCrc & 0xFF);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 23, bytes.begin() + 26), block.data);
  const uint16_t dataCrc = Crc16(block.data);
  EXPECT_EQ(bytes[26], dataCrc >> 8);
  EXPECT_EQ(bytes[27], dataCrc & 0xFF);

  block.omitDataCrc = true;
  EXPECT_EQ(BlockBytes(block).size(), 26u);
  block.data.clear();
  block.omitDataCrc = false;
  EXPECT_EQ(BlockBytes(block).size(), 23u);  // no data, no data CRC

  block.name = "ELEVENCHARS";
  EXPECT_THROW(BlockBytes(block), std::invalid_argument);
}

TEST(TapeBuilder, FileBlocksNumbersAndFlags) {
  const std::vector<BlockSpec> blocks = FileBlocks("F", 0, 0, std::vector<uint8_t>(600, 7));
  ASSERT_EQ(blocks.size(), 3u);
  const size_t sizes[] = {256, 256, 88};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(blocks[i].number, i);
    EXPECT_EQ(blocks[i].data.size(), sizes[i]);
    EXPECT_EQ(blocks[i].flag, i == 2 ? kFlagLastBlock : 0);
  }
  const std::vector<BlockSpec> empty = FileBlocks("E", 0, 0, {});
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].flag, kFlagLastBlock | kFlagNoData);
}

TEST(TapeBuilder, LongWaveAt44100AveragesExactly36Point75SamplesWithoutDrift) {
  const int cycles = 1000;
  RenderOptions options;  // 44100 Hz sine, phase 0
  const std::vector<int8_t> s =
      RenderSamples(TapeWriter().Cycles(kLongWaveHz, cycles).Take(), options);
  EXPECT_EQ(s.size(), 36750u);
  EXPECT_GT(s[0], 0);  // starts on the rising, positive half
  std::vector<size_t> rising{0};
  for (size_t n = 1; n < s.size(); ++n)
    if (s[n - 1] < 0 && s[n] >= 0)
      rising.push_back(n);
  ASSERT_EQ(rising.size(), static_cast<size_t>(cycles));
  for (size_t k = 0; k < rising.size(); ++k)
    EXPECT_LE(std::fabs(static_cast<double>(rising[k]) - 36.75 * static_cast<double>(k)), 1.0);
  EXPECT_NEAR(static_cast<double>(rising.back()) / (cycles - 1), 36.75, 0.01);
}

TEST(TapeBuilder, PulsesMatchSquareSamples) {
  TapeWriter writer;
  writer.Gap(0.1).Carrier(500).DummyByte().Carrier(100).Bytes({0x2A, 0x00, 0xFF});
  writer.Gap(0.3).Cycles(2400.0, 1).HalfCycles(1234.5, 3).Gap(0.2).Carrier(50);
  const Tape tape = writer.Take();
  for (uint32_t rate : {22050u, 44100u, 48000u}) {
    for (double speed : {1.0, 1.02, 0.97}) {
      RenderOptions options;
      options.sampleRate = rate;
      options.speed = speed;
      options.shape = WaveShape::Square;
      const std::vector<int8_t> s = RenderSamples(tape, options);
      const PulseTrain pulses = RenderPulses(tape, rate, speed);
      EXPECT_FALSE(pulses.initialHigh);  // leading silence, then a high half cycle
      uint64_t total = 0;
      for (uint32_t length : pulses.lengths)
        total += length;
      ASSERT_EQ(total, s.size()) << rate << " Hz, speed " << speed;
      EXPECT_NEAR(static_cast<double>(total), tape.DurationSeconds() * rate / speed, 1.0);

      // Each pulse after the leading silence starts with a half cycle of
      // its level; silence held at that level renders as 0.
      size_t at = pulses.lengths[0];
      for (size_t i = 1; i < pulses.lengths.size(); ++i) {
        const int expected = (i % 2 == 1) ? 100 : -100;
        ASSERT_EQ(s[at], expected) << "pulse " << i;
        for (size_t n = at; n < at + pulses.lengths[i]; ++n)
          ASSERT_TRUE(s[n] == expected || s[n] == 0) << "pulse " << i;
        at += pulses.lengths[i];
      }
    }
  }
}

TEST(TapeBuilder, SquarePhaseSelectsStartingHalf) {
  const Tape tape = TapeWriter().Cycles(kLongWaveHz, 2).Take();
  RenderOptions options;
  options.shape = WaveShape::Square;
  EXPECT_EQ(RenderSamples(tape, options).front(), 100);
  options.phaseDegrees = 180.0;
  EXPECT_EQ(RenderSamples(tape, options).front(), -100);
  options.phaseDegrees = 90.0;  // half of the positive half, then negative
  const std::vector<int8_t> s = RenderSamples(tape, options);
  EXPECT_EQ(s[0], 100);
  EXPECT_EQ(s[12], -100);
}

TEST(TapeBuilder, CswAndWavHeaders) {
  const std::string cswPath = ::testing::TempDir() + "tapebuilder_test.csw";
  const std::vector<uint32_t> pulses{5, 255, 256, 0};
  WriteCsw(cswPath, pulses, 44100, CswCompression::Rle, true);
  const std::vector<uint8_t> csw = ReadFile(cswPath);
  ASSERT_EQ(csw.size(), 0x34u + 1 + 1 + 5 + 5);
  EXPECT_EQ(std::string(csw.begin(), csw.begin() + 22), "Compressed Square Wave");
  EXPECT_EQ(csw[0x16], 0x1A);
  EXPECT_EQ(csw[0x17], 2);
  EXPECT_EQ(csw[0x18], 0);
  EXPECT_EQ(Le32(csw, 0x19), 44100u);
  EXPECT_EQ(Le32(csw, 0x1D), 4u);
  EXPECT_EQ(csw[0x21], 1);
  EXPECT_EQ(csw[0x22], 1);
  EXPECT_EQ(csw[0x23], 0);
  const std::vector<uint8_t> rle{5, 255, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(csw.begin() + 0x34, csw.end()), rle);

  const std::vector<uint8_t> z = EncodeCsw(pulses, 22050, CswCompression::ZRle, false);
  EXPECT_EQ(z[0x21], 2);
  EXPECT_EQ(z[0x22], 0);
  std::vector<uint8_t> unpacked(64);
  uLongf unpackedSize = static_cast<uLongf>(unpacked.size());
  ASSERT_EQ(uncompress(unpacked.data(), &unpackedSize, z.data() + 0x34,
                       static_cast<uLong>(z.size() - 0x34)),
            Z_OK);
  unpacked.resize(unpackedSize);
  EXPECT_EQ(unpacked, rle);

  const std::string wavPath = ::testing::TempDir() + "tapebuilder_test.wav";
  WriteWav(wavPath, {-128, 0, 127}, 48000);
  const std::vector<uint8_t> wav = ReadFile(wavPath);
  const std::vector<uint8_t> expected{
      'R', 'I', 'F', 'F', 40,  0,   0,   0,   'W',  'A',  'V', 'E', 'f',  'm',  't',  ' ',
      16,  0,   0,   0,   1,   0,   1,   0,   0x80, 0xBB, 0,   0,   0x80, 0xBB, 0,    0,
      1,   0,   8,   0,   'd', 'a', 't', 'a', 3,    0,    0,   0,   0x00, 0x80, 0xFF, 0x00};
  EXPECT_EQ(wav, expected);
  std::remove(cswPath.c_str());
  std::remove(wavPath.c_str());
}
