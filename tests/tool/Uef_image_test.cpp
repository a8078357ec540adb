// Reading UEF images and playing their chunks as waves.
#include <gtest/gtest.h>

#include <sstream>

#include "tool/Tool_support.h"
#include "tool/Uef_images.h"
#include "tool/Uef_player.h"
#include "tool/Uef_reader.h"

namespace {

using namespace ToolTest;
using TapeBuilder_ns::Segment;
using TapeBuilder_ns::SegmentKind;
using TapeBuilder_ns::Tape;
using TapeBuilder_ns::TapeWriter;
using Tool_ns::ToolError;
using Tool_ns::UefChunk;
using Tool_ns::UefChunks;
using Tool_ns::UefImage;
using Tool_ns::UefImageFromBytes;

// The waves of an image, collected as a tape.
class TapeTarget final : public Tool_ns::WaveTarget {
 public:
  void Tone(double frequencyHz, uint64_t halfCycles) override {
    tape.AppendTone(frequencyHz, halfCycles);
  }
  void Silence(double seconds) override { tape.AppendSilence(seconds); }
  Tape tape;
};

std::string Describe(const Tape& tape) {
  std::ostringstream text;
  for (const Segment& segment : tape.Segments()) {
    if (segment.kind == SegmentKind::Tone)
      text << segment.halfCycles << "x" << segment.frequencyHz << " ";
    else
      text << "gap " << segment.seconds << " ";
  }
  return text.str();
}

std::string Played(const std::string& image, std::string* warnings = nullptr) {
  TapeTarget target;
  std::ostringstream warned;
  Tool_ns::PlayImage(UefImageFromBytes(image, "test.uef"), target, &warned);
  if (warnings != nullptr)
    *warnings = warned.str();
  return Describe(target.tape);
}

std::string ErrorOf(const std::string& image) {
  TapeTarget target;
  try {
    Tool_ns::PlayImage(UefImageFromBytes(image, "test.uef"), target, nullptr);
  } catch (const ToolError& error) {
    return error.what();
  }
  return "no error";
}

std::vector<UefChunk> ChunksOf(const UefImage& image, std::string& damage) {
  std::vector<UefChunk> chunks;
  UefChunks reader(image);
  UefChunk chunk;
  while (reader.Next(chunk))
    chunks.push_back(chunk);
  damage = reader.Damage();
  return chunks;
}

const std::string kTwoChunks =
    Image({Chunk(0x0110, Le16(100)), Chunk(0x0000, std::string("made by hand") + '\0')});

TEST(UefReader, ReadsPlainAndGzipImagesAlike) {
  for (const bool compressed : {false, true}) {
    SCOPED_TRACE(compressed);
    const UefImage image =
        UefImageFromBytes(compressed ? Gzip(kTwoChunks) : kTwoChunks, "test.uef");
    EXPECT_EQ(image.compressed, compressed);
    EXPECT_EQ(image.bytes, kTwoChunks);
    EXPECT_EQ(image.minorVersion, 10);
    EXPECT_EQ(image.damage, "");
    std::string damage;
    const auto chunks = ChunksOf(image, damage);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(damage, "");
    EXPECT_EQ(chunks[0].offset, 12u);
    EXPECT_EQ(chunks[0].id, 0x0110);
    EXPECT_EQ(chunks[0].Le16(0), 100);
    EXPECT_EQ(chunks[1].offset, 20u);
    EXPECT_EQ(chunks[1].length, 13u);
  }
}

TEST(UefReader, RefusesWhatIsNoImage) {
  for (const std::string& bytes :
       {std::string(), std::string("UEF File"), std::string("RIFF....WAVEfmt "),
        Gzip("not an image at all"), std::string("UEF File!\0\x0A", 11)}) {
    EXPECT_THROW(UefImageFromBytes(bytes, "x.uef"), ToolError) << bytes;
  }
}

TEST(UefReader, ReportsTheOffsetOfDamageAndKeepsWhatCameBefore) {
  const std::string whole = Image({Chunk(0x0110, Le16(5)), Chunk(0x0100, std::string(40, 'x'))});
  std::string damage;

  // A chunk declaring more than the image holds; its length is never allocated.
  std::string lying = whole;
  lying.replace(22, 4, Le32(0xFFFFFFF0u));
  auto chunks = ChunksOf(UefImageFromBytes(lying, "x"), damage);
  EXPECT_EQ(chunks.size(), 1u);
  EXPECT_EQ(damage,
            "chunk 0x0100 at offset 0x000014 declares 4294967280 bytes, but only 40 follow");

  // Cut inside a chunk's head.
  chunks = ChunksOf(UefImageFromBytes(whole.substr(0, 23), "x"), damage);
  EXPECT_EQ(chunks.size(), 1u);
  EXPECT_NE(damage.find("offset 0x000014"), std::string::npos) << damage;

  // Truncated gzip: what was recovered is listed, and the gzip damage named.
  const std::string packed = Gzip(whole);
  const UefImage cut = UefImageFromBytes(packed.substr(0, packed.size() - 12), "x");
  EXPECT_NE(cut.damage.find("ends early"), std::string::npos) << cut.damage;
  EXPECT_EQ(cut.bytes, whole.substr(0, cut.bytes.size()));
  ChunksOf(cut, damage);
  EXPECT_NE(damage.find("ends early"), std::string::npos) << damage;

  // Corrupt gzip.
  std::string corrupt = packed;
  corrupt[corrupt.size() - 8] = static_cast<char>(corrupt[corrupt.size() - 8] ^ 0x55);  // CRC
  EXPECT_NE(UefImageFromBytes(corrupt, "x").damage.find("corrupt"), std::string::npos);
}

TEST(UefPlayer, DataCarrierAndGapsPlayAsTheTapeWriterWritesThem) {
  const TapeBuilder_ns::BlockSpec block{"A", 0x1900, 0x8023, 0, 0x80, {1, 2, 3}};
  const std::string image =
      Image({Chunk(0x0111, Le16(30) + Le16(40)), BlockChunk(block), Chunk(0x0110, Le16(7)),
             Chunk(0x0112, Le16(1200)), Chunk(0x0116, Float(2.5f)), Chunk(0x0100, "\x55")});
  const Tape expected = TapeWriter()
                            .Carrier(30)
                            .DummyByte()
                            .Carrier(40)
                            .Block(block)
                            .Carrier(7)
                            .Gap(0.5)
                            .Gap(2.5)
                            .Byte(0x55)
                            .Take();
  EXPECT_EQ(Played(image), Describe(expected));
}

TEST(UefPlayer, BaseFrequencyAndBaudRateChangeTheWaves) {
  // 1300 Hz base: a 0 bit is one 1300 Hz cycle, a 1 bit two of 2600 Hz; 0 keeps the base.
  EXPECT_EQ(Played(Image({Chunk(0x0113, Float(1300.0f)), Chunk(0x0110, Le16(2)),
                          Chunk(0x0113, Float(0.0f)), Chunk(0x0100, "\x01")})),
            "4x2600 2x1300 4x2600 14x1300 4x2600 ");
  // 300 baud: every bit lasts four times as long; back to 1200 baud afterwards.
  EXPECT_EQ(Played(Image({Chunk(0x0117, Le16(300)), Chunk(0x0100, "\xFE"),
                          Chunk(0x0117, Le16(1200)), Chunk(0x0100, "\xFF")})),
            "16x1200 128x2400 2x1200 36x2400 ");
}

TEST(UefPlayer, DefinedFormatHasItsDataBitsParityAndStopBits) {
  // 0x03 in 7 data bits with even parity (two ones: parity 0) and 2 stop bits; then 0x01 with
  // odd parity (one one: parity 0), 1 stop bit and the extra short wave of a negative count.
  const std::string even =
      "\x07"
      "E"
      "\x02"
      "\x03";
  const std::string odd = std::string(
      "\x08"
      "O"
      "\xFF"
      "\x01",
      4);
  const Tape expected = TapeWriter()
                            .Bit(false)
                            .Bit(true)
                            .Bit(true)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)  // parity
                            .Bit(true)
                            .Bit(true)
                            .Bit(false)
                            .Bit(true)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)
                            .Bit(false)  // parity
                            .Bit(true)
                            .Carrier(1)
                            .Take();
  EXPECT_EQ(Played(Image({Chunk(0x0104, even), Chunk(0x0104, odd)})), Describe(expected));
}

TEST(UefPlayer, SecurityCyclesFollowTheirBitsAndHalfCycleMarks) {
  // Five cycles 1 0 1 1 0: the first and last as half cycles ('P').
  EXPECT_EQ(Played(Image({Chunk(0x0114, Le24(5) + "PP" + "\xB0")})),
            "1x2400 2x1200 4x2400 1x1200 ");
  EXPECT_EQ(Played(Image({Chunk(0x0114, Le24(2) + "WW" + "\x40")})), "2x1200 2x2400 ");
  // Marks other than 'P' (archived images hold some) are whole cycles, as emulators take them.
  EXPECT_EQ(Played(Image({Chunk(0x0114, Le24(2) + std::string("\0w", 2) + "\x40")})),
            "2x1200 2x2400 ");
}

TEST(UefPlayer, ExplicitBitsArePlayedFromTheLeastSignificantUpToTheUnusedOnes) {
  // 0x0D = 1 0 1 1 0 0 0 0 from the least significant; the last four unused.
  EXPECT_EQ(Played(Image({Chunk(0x0102, "\x04\x0D")})), "4x2400 2x1200 8x2400 ");
  // A byte of bits 0 and 1 alternating, then three bits 1 1 0 of the next.
  EXPECT_EQ(Played(Image({Chunk(0x0102, "\x05\xAA\x03")})),
            "2x1200 4x2400 2x1200 4x2400 2x1200 4x2400 2x1200 12x2400 2x1200 ");
  EXPECT_NE(ErrorOf(Image({Chunk(0x0102, "\x08\xFF")})).find("unused bits"), std::string::npos);
  EXPECT_NE(ErrorOf(Image({Chunk(0x0102, "\x01")})).find("unused bits"), std::string::npos);
  EXPECT_EQ(Played(Image({Chunk(0x0102, std::string(1, '\0'))})), "");
}

TEST(UefPlayer, SkipsInformationSilentlyAndOtherChunksWithOneWarningEach) {
  std::string warnings;
  const std::string played =
      Played(Image({Chunk(0x0000, "origin"), Chunk(0x0120, "marker"), Chunk(0x0115, "ab"),
                    Chunk(0x0110, Le16(1)), Chunk(0x0115, "cd"), Chunk(0xFF00, "")}),
             &warnings);
  EXPECT_EQ(played, "2x2400 ");
  EXPECT_EQ(warnings,
            "varnstow-tool: warning: skipping chunk 0x0115 (phase change) at offset "
            "0x000024, and any later ones like it\n"
            "varnstow-tool: warning: skipping chunk 0xFF00 (unknown) at offset 0x00003C, and "
            "any later ones like it\n");
}

TEST(UefPlayer, RefusesWhatItCannotRenderNamingTheChunk) {
  EXPECT_EQ(ErrorOf(Image({Chunk(0x0116, Float(31536000.0f))})),
            "chunk 0x0116 at offset 0x00000C: a gap of 3.1536e+07 seconds is longer than an hour");
  EXPECT_EQ(ErrorOf(Image({Chunk(0x0110, Le16(1)), Chunk(0x0110, "\x05")})),
            "chunk 0x0110 at offset 0x000014: it is 1 bytes long, too short for its 2 bytes of "
            "fields");
  EXPECT_NE(ErrorOf(Image({Chunk(0x0116, Float(-1.0f))})).find("not a length of time"),
            std::string::npos);
  EXPECT_NE(ErrorOf(Image({Chunk(0x0117, Le16(2400))})).find("baud rate of 2400"),
            std::string::npos);
  EXPECT_NE(ErrorOf(Image({Chunk(0x0113, Float(1e30f))})).find("base frequency"),
            std::string::npos);
  EXPECT_NE(ErrorOf(Image({Chunk(0x0114, Le24(0xFFFFFF) + "WW" + "\xFF")})).find("only 8"),
            std::string::npos);
  EXPECT_NE(ErrorOf(Image({Chunk(0x0104, "\x09N\x01")})).find("data bits"), std::string::npos);
  EXPECT_EQ(ErrorOf(Image({Chunk(0x0110, Le16(1)), Chunk(0x0100, "abc")}).substr(0, 28)),
            "the image is damaged: chunk 0x0100 at offset 0x000014 declares 3 bytes, but only 2 "
            "follow");
}

}  // namespace
