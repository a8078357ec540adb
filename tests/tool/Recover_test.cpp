// varnstow-tool recover: the passes against varnstow itself, the merge of passes that each
// miss something, the image it writes and the report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "render/TapeBuilder.h"
#include "support/Decoding.h"
#include "support/Process.h"
#include "support/TempFolder.h"
#include "tool/Commands.h"
#include "tool/Recover.h"

namespace {

using namespace TapeBuilder_ns;
using TestSupport::ChunksWithId;
using TestSupport::ParseChunks;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using Tool_ns::FoundBlock;
using Tool_ns::PassResult;

std::vector<uint8_t> Data(size_t count, uint8_t seed) {
  std::vector<uint8_t> data(count);
  for (size_t i = 0; i < count; ++i)
    data[i] = static_cast<uint8_t>(i * 7 + seed + i / 256);
  return data;
}

// A recording made of pieces, each a stretch of tape rendered in its own way (the pieces
// meet inside carrier tone or silence).
struct Piece {
  Tape tape;
  RenderOptions options;
};

void WriteWavOf(const std::string& path, const std::vector<Piece>& pieces) {
  std::vector<int8_t> samples;
  for (const Piece& piece : pieces) {
    const std::vector<int8_t> part = RenderSamples(piece.tape, piece.options);
    samples.insert(samples.end(), part.begin(), part.end());
  }
  WriteWav(path, samples, 44100);
}

RenderOptions Clean() {
  RenderOptions options;
  options.amplitude = 40;
  return options;
}

RenderOptions Rendered(double phase, WaveShape shape, double snrDb, double dcOffset) {
  RenderOptions options = Clean();
  options.phaseDegrees = phase;
  options.shape = shape;
  options.noiseStdDev = snrDb > 0 ? NoiseStdDevForSnr(options.amplitude, shape, snrDb) : 0.0;
  options.dcOffset = dcOffset;
  return options;
}

// One file of six blocks, damaged so that blocks 1 to 4 are each read by one pass alone (found
// by trying, in pass order sign/normal, sign/shifted, peak/normal, peak/shifted): block 1 is
// square waves in a burst of noise, blocks 2 and 3 are recorded at another level (a DC offset
// beyond the peaks of the waves) and at different phases, and half-way, from block 4 on, the
// signal is upside down, with block 4 again in noise. Blocks 0 and 5 are clean.
std::vector<Piece> DamagedFile(const std::vector<BlockSpec>& blocks) {
  const std::vector<RenderOptions> damage = {
      Rendered(0, WaveShape::Square, 30, 0), Rendered(90, WaveShape::Sine, 0, 50),
      Rendered(270, WaveShape::Sine, 0, 50), Rendered(180, WaveShape::Square, 30, 0),
      Rendered(180, WaveShape::Sine, 0, 0)};
  std::vector<Piece> pieces;
  TapeWriter start;
  start.Gap(0.5).CarrierSeconds(1.0).DummyByte().CarrierSeconds(4.1).Block(blocks[0]);
  pieces.push_back({start.Take(), Clean()});
  for (size_t b = 1; b < blocks.size(); ++b) {
    TapeWriter writer;
    writer.CarrierSeconds(0.9).Block(blocks[b]);
    if (b + 1 == blocks.size())
      writer.CarrierSeconds(0.5).Gap(0.5);
    pieces.push_back({writer.Take(), damage[b - 1]});
  }
  return pieces;
}

std::vector<std::vector<uint8_t>> BytesOf(const std::vector<BlockSpec>& blocks) {
  std::vector<std::vector<uint8_t>> bytes;
  for (const BlockSpec& block : blocks)
    bytes.push_back(BlockBytes(block));
  return bytes;
}

struct Recovered {
  std::string report;
  std::vector<TestSupport::Chunk> chunks;
};

Recovered Recover(const std::string& recording, const std::string& image,
                  std::vector<std::string> options = {}) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  std::vector<std::string> arguments = {recording, "-o", image, "-c"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  EXPECT_EQ(Tool_ns::RecoverCommand(arguments, io), 0);
  return {out.str(), ParseChunks(ReadFile(image))};
}

std::vector<std::vector<uint8_t>> DataChunks(const std::vector<TestSupport::Chunk>& chunks) {
  std::vector<std::vector<uint8_t>> blocks;
  for (const TestSupport::Chunk& chunk : ChunksWithId(chunks, 0x0100))
    blocks.emplace_back(chunk.data.begin(), chunk.data.end());
  return blocks;
}

// The blocks a pass found, proper (without bytes read after the data CRC).
std::vector<std::vector<uint8_t>> ProperBlocks(const PassResult& pass) {
  std::vector<std::vector<uint8_t>> blocks;
  for (const FoundBlock& found : pass.blocks) {
    const size_t length = Tool_ns::IdentifyBlock(found.bytes).length;
    blocks.emplace_back(found.bytes.begin(), found.bytes.begin() + static_cast<long>(length));
  }
  return blocks;
}

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(RecoverMerge, GetsEveryBlockThatSurvivesInOnlyOnePass) {
  TempFolder folder;
  const auto blocks = FileBlocks("DAMAGED", 0x1900, 0x8023, Data(6 * 256, 5));
  WriteWavOf(folder / "tape.wav", DamagedFile(blocks));

  Tool_ns::RecordingSettings recording;
  recording.name = folder / "tape.wav";
  recording.kind = Tool_ns::RecordingKind::kWav;
  const auto passes = Tool_ns::PassesFor(recording.kind);
  ASSERT_EQ(passes.size(), 4u);
  // Each damaged block is read by one pass alone (blocks 1 to 4 by passes 1, 3, 4 and 2): no
  // single pass gets the whole file.
  const size_t onlyPass[] = {0, 0, 2, 3, 1};
  for (size_t p = 0; p < passes.size(); ++p) {
    const auto found = ProperBlocks(Tool_ns::RunPass(recording, passes[p]));
    for (size_t b = 1; b <= 4; ++b) {
      EXPECT_EQ(std::count(found.begin(), found.end(), BlockBytes(blocks[b])),
                p == onlyPass[b] ? 1 : 0)
          << "pass " << p + 1 << ", block " << b;
    }
  }

  const Recovered result = Recover(folder / "tape.wav", folder / "out.uef");
  EXPECT_EQ(DataChunks(result.chunks), BytesOf(blocks));
  EXPECT_TRUE(Holds(result.report, "File \"DAMAGED\", load address 00001900")) << result.report;
  EXPECT_TRUE(Holds(result.report, "6 blocks found, none missing")) << result.report;
  EXPECT_TRUE(Holds(result.report, "  block 02  ")) << result.report;
  EXPECT_TRUE(Holds(result.report, "Total: 6 good blocks in 1 file, 0 missing")) << result.report;
}

// Every pass decodes as varnstow run with the same options: the same blocks in the same order.
TEST(RecoverPasses, EachPassFindsWhatVarnstowFindsWithThoseOptions) {
  TempFolder folder;
  const auto blocks = FileBlocks("DAMAGED", 0x1900, 0x8023, Data(6 * 256, 5));
  WriteWavOf(folder / "tape.wav", DamagedFile(blocks));
  // A CSW recording whose signal turns upside down between its two files.
  TapeWriter writer;
  writer.Append(StandardTape({FileSpec{"UPRIGHT", 0x1900, 0x1900, Data(600, 1)}}));
  writer.HalfCycles(2400, 1);
  writer.Append(StandardTape({FileSpec{"FLIPPED", 0x1900, 0x1900, Data(600, 2)}}));
  WriteCsw(folder / "tape.csw", RenderPulses(writer.Take(), 44100), 44100, CswCompression::Rle);

  for (const std::string name : {"tape.wav", "tape.csw"}) {
    Tool_ns::RecordingSettings recording;
    recording.name = folder / name;
    recording.kind =
        name == "tape.wav" ? Tool_ns::RecordingKind::kWav : Tool_ns::RecordingKind::kCsw;
    for (const Tool_ns::PassSettings& pass : Tool_ns::PassesFor(recording.kind)) {
      std::vector<std::string> arguments = {"-i", name, "-o", "pass.uef", "-c", "-b"};
      if (pass.method == MainProgram_ns::MeasureMethod::kPeak)
        arguments.insert(arguments.end(), {"-l", "p"});
      if (!pass.normalPhase)
        arguments.push_back("-p");
      ASSERT_EQ(TestSupport::RunVarnstow(folder.Path(), arguments).exitCode, 0);
      const auto expected = DataChunks(ParseChunks(ReadFile(folder / "pass.uef")));
      std::vector<std::vector<uint8_t>> found;
      for (const FoundBlock& block : Tool_ns::RunPass(recording, pass).blocks)
        found.push_back(block.bytes);
      EXPECT_EQ(found, expected) << name << ", " << Tool_ns::Describe(pass);
      EXPECT_FALSE(found.empty()) << name << ", " << Tool_ns::Describe(pass);
    }
  }
}

TEST(RecoverPasses, CswAndRawRecordingsAreReadAsVarnstowReadsThem) {
  TempFolder folder;
  const auto file = FileSpec{"PULSES", 0x1900, 0x1900, Data(700, 9)};
  const Tape tape = StandardTape({file});
  WriteCsw(folder / "tape.csw", RenderPulses(tape, 44100), 44100, CswCompression::ZRle);
  RenderOptions options = Clean();
  options.sampleRate = 22050;
  WriteRaw(folder / "tape.raw", RenderSamples(tape, options), false);

  const auto expected = BytesOf(FileBlocks("PULSES", 0x1900, 0x1900, file.data));
  const Recovered csw = Recover(folder / "tape.csw", folder / "csw.uef");
  EXPECT_EQ(DataChunks(csw.chunks), expected);
  EXPECT_TRUE(Holds(csw.report, "Pass 2 (CSW pulses, shifted phase)")) << csw.report;
  EXPECT_FALSE(Holds(csw.report, "Pass 3")) << csw.report;

  const Recovered raw =
      Recover(folder / "tape.raw", folder / "raw.uef", {"-f", "22050", "--type", "u"});
  EXPECT_EQ(DataChunks(raw.chunks), expected);
  EXPECT_TRUE(Holds(raw.report, "RAW, 22050 samples per second")) << raw.report;
  // Read as signed samples at the default rate, the same bytes give nothing.
  const Recovered wrong = Recover(folder / "tape.raw", folder / "wrong.uef");
  EXPECT_TRUE(DataChunks(wrong.chunks).empty());
}

// The image has varnstow's layout: origin texts, the tone with the dummy byte before the first
// block, a 2400-cycle tone before the others, and after each file's last block a 12000-cycle
// tone and a 10-second gap.
TEST(RecoverImage, HasTheTonesAndGapsOfVarnstowsImages) {
  TempFolder folder;
  const Tape tape = StandardTape({FileSpec{"ONE", 0x1900, 0x1900, Data(300, 1)},
                                  FileSpec{"TWO", 0x2000, 0x2000, Data(10, 2)}});
  WriteWav(folder / "tape.wav", RenderSamples(tape, Clean()), 44100);
  ASSERT_EQ(TestSupport::RunVarnstow(folder.Path(), {"-i", "tape.wav", "-c", "-b"}).exitCode, 0);
  const auto converted = ParseChunks(ReadFile(folder / "tape.uef"));
  const Recovered result = Recover(folder / "tape.wav", folder / "out.uef");

  std::vector<uint16_t> ids;
  for (const auto& chunk : result.chunks)
    ids.push_back(chunk.id);
  EXPECT_EQ(ids, (std::vector<uint16_t>{0x0000, 0x0000, 0x0000, 0x0111, 0x0100, 0x0110, 0x0100,
                                        0x0110, 0x0116, 0x0110, 0x0100, 0x0110, 0x0116}));
  // Apart from the origin texts, the same chunks as varnstow's own image.
  auto tail = [](const std::vector<TestSupport::Chunk>& chunks) {
    std::vector<std::pair<uint16_t, std::string>> rest;
    for (const auto& chunk : chunks) {
      if (chunk.id != 0x0000)
        rest.emplace_back(chunk.id, chunk.data);
    }
    return rest;
  };
  EXPECT_EQ(tail(result.chunks), tail(converted));
  EXPECT_EQ(result.chunks[0].data, std::string("Varnstow Corvel V1.7.") + '\0');
  EXPECT_EQ(result.chunks[1].data, std::string("The input format was WAV.") + '\0');

  // Compressed unless -c is given.
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  ASSERT_EQ(Tool_ns::RecoverCommand({folder / "tape.wav", "-o", folder / "packed.uef"}, io), 0);
  EXPECT_EQ(ReadFile(folder / "packed.uef").substr(0, 2), "\x1F\x8B");
  EXPECT_EQ(TestSupport::GunzipFile(folder / "packed.uef"), ReadFile(folder / "out.uef"));
}

// Blocks found by the passes, made by hand: where they lie and how they were read.
FoundBlock Found(const BlockSpec& block, double start, double end) {
  return FoundBlock{BlockBytes(block), start, end};
}

PassResult PassOf(std::vector<FoundBlock> blocks, double length = 600.0) {
  PassResult pass;
  pass.sampleRate = 44100;
  pass.lengthSeconds = length;
  pass.blocks = std::move(blocks);
  return pass;
}

TEST(RecoverMerge, KeepsEachBlockOnceAndRepeatsOfAFileApart) {
  const auto file = FileBlocks("GAME", 0x1900, 0x1900, Data(512, 3));
  // Two passes read the same stretch a little apart in time; the file is on the tape twice.
  const auto recovery =
      Tool_ns::MergePasses({PassOf({Found(file[0], 10.0, 12.3), Found(file[1], 13.2, 15.5),
                                    Found(file[0], 100.0, 102.3)}),
                            PassOf({Found(file[0], 10.01, 12.31), Found(file[1], 13.21, 15.51),
                                    Found(file[1], 103.2, 105.5)})});
  ASSERT_EQ(recovery.blocks.size(), 4u);
  ASSERT_EQ(recovery.files.size(), 2u);
  EXPECT_EQ(recovery.blocks[0].passes, (std::vector<size_t>{0, 1}));
  EXPECT_EQ(recovery.blocks[2].passes, (std::vector<size_t>{0}));
  EXPECT_EQ(recovery.blocks[3].passes, (std::vector<size_t>{1}));
  EXPECT_DOUBLE_EQ(recovery.blocks[2].startSeconds, 100.0);
  for (const auto& recovered : recovery.files) {
    EXPECT_TRUE(recovered.missing.empty());
    EXPECT_TRUE(recovered.lastFound);
  }
}

TEST(RecoverMerge, WherePassesDisagreeTheVersionMostOfThemReadIsKept) {
  const auto file = FileBlocks("DATA", 0x1900, 0x1900, Data(200, 3));
  BlockSpec other = file[0];
  other.data[17] ^= 0x40;  // both CRCs still pass: a different reading of the block
  auto withTail = BlockBytes(file[0]);
  withTail.push_back(0x55);  // bytes read after the data CRC are not the block's
  const auto recovery = Tool_ns::MergePasses({PassOf({Found(other, 10.0, 12.0)}),
                                              PassOf({Found(file[0], 10.0, 12.0)}),
                                              PassOf({FoundBlock{withTail, 10.0, 12.0}})});
  ASSERT_EQ(recovery.blocks.size(), 1u);
  const auto& block = recovery.blocks[0];
  EXPECT_TRUE(block.disagreement);
  EXPECT_EQ(block.keptPasses, (std::vector<size_t>{1, 2}));
  EXPECT_EQ(block.passes, (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(block.bytes, BlockBytes(file[0]));

  // A tie goes to the earliest pass.
  const auto tie = Tool_ns::MergePasses(
      {PassOf({Found(other, 10.0, 12.0)}), PassOf({Found(file[0], 10.0, 12.0)})});
  ASSERT_EQ(tie.blocks.size(), 1u);
  EXPECT_EQ(tie.blocks[0].bytes, BlockBytes(other));
  EXPECT_EQ(tie.blocks[0].keptPasses, (std::vector<size_t>{0}));

  // Trailing bytes alone are no disagreement.
  const auto same = Tool_ns::MergePasses(
      {PassOf({Found(file[0], 10.0, 12.0)}), PassOf({FoundBlock{withTail, 10.0, 12.0}})});
  EXPECT_FALSE(same.blocks[0].disagreement);
}

TEST(RecoverMerge, MissingBlocksAreNumberedAndPlaced) {
  const auto file = FileBlocks("LONG", 0x1900, 0x1900, Data(6 * 256, 3));
  const auto recovery = Tool_ns::MergePasses({PassOf(
      {Found(file[0], 10.0, 12.3), Found(file[3], 19.5, 21.8), Found(file[4], 22.7, 25.0)}, 40.0)});
  ASSERT_EQ(recovery.files.size(), 1u);
  EXPECT_EQ(recovery.files[0].missing, (std::vector<uint16_t>{1, 2}));
  EXPECT_FALSE(recovery.files[0].lastFound);

  EXPECT_EQ(Tool_ns::TapeTime(0.0), "0:00.0");
  EXPECT_EQ(Tool_ns::TapeTime(65.34), "1:05.3");
  EXPECT_EQ(Tool_ns::TapeTime(59.96), "1:00.0");
  EXPECT_EQ(Tool_ns::TapeTime(3725.0), "62:05.0");
}

// Tapes that number their blocks on from one file to the next, or start a file above 0,
// have no missing blocks where the numbers could not have fitted in the time between.
TEST(RecoverMerge, NumberingThatCouldNotFitIsNoMissingBlock) {
  BlockSpec loader{"LOADER", 0x1900, 0x1900, 0, kFlagLastBlock, Data(256, 1)};
  BlockSpec part1{"PART1", 0x4E00, 0x4E00, 0x100, 0, Data(256, 2)};
  BlockSpec part2{"PART2", 0x4E00, 0x4E00, 0x101, kFlagLastBlock, Data(256, 3)};
  BlockSpec late{"LATE", 0x2000, 0x2000, 2, 0, Data(256, 4)};
  const auto recovery =
      Tool_ns::MergePasses({PassOf({Found(loader, 10.0, 12.3), Found(part1, 20.0, 22.3),
                                    Found(part2, 23.2, 25.5), Found(late, 40.0, 42.3)})});
  ASSERT_EQ(recovery.files.size(), 3u);
  EXPECT_EQ(recovery.files[1].blocks.size(), 2u);  // PART1 and PART2 are one file
  EXPECT_EQ(recovery.files[1].firstNumber, 0x100);
  EXPECT_TRUE(recovery.files[1].missing.empty());
  // Two blocks fit in the 14.5 seconds before LATE's block 2: they are missing.
  EXPECT_EQ(recovery.files[2].missing, (std::vector<uint16_t>{0, 1}));
}

TEST(RecoverReport, GivesWhereTheMissingBlocksLieAndTheTotals) {
  TempFolder folder;
  // Block 2 of five is lost to a drop-out in every pass.
  const auto blocks = FileBlocks("HOLE", 0x1900, 0x1900, Data(5 * 256, 7));
  TapeWriter writer;
  writer.Gap(0.5).CarrierSeconds(5.1);
  std::vector<double> starts;
  std::vector<double> ends;
  for (size_t b = 0; b < blocks.size(); ++b) {
    if (b > 0)
      writer.CarrierSeconds(0.9);
    starts.push_back(writer.Result().DurationSeconds());
    writer.Block(blocks[b]);
    ends.push_back(writer.Result().DurationSeconds());
  }
  writer.CarrierSeconds(0.5).Gap(0.5);
  RenderOptions options = Clean();
  options.dropouts.push_back({starts[2] + 0.5, 0.3});
  WriteWav(folder / "tape.wav", RenderSamples(writer.Take(), options), 44100);

  const Recovered result = Recover(folder / "tape.wav", folder / "out.uef");
  EXPECT_EQ(DataChunks(result.chunks).size(), 4u);
  EXPECT_TRUE(Holds(result.report, "4 blocks found, 1 missing\n")) << result.report;
  const std::string gap = "  missing: block 02, between " + Tool_ns::TapeTime(ends[1]) + " and " +
                          Tool_ns::TapeTime(starts[3]) + "\n";
  EXPECT_TRUE(Holds(result.report, gap)) << result.report << "expected " << gap;
  EXPECT_TRUE(Holds(result.report, "  block 03  " + Tool_ns::TapeTime(starts[3]) + " to " +
                                       Tool_ns::TapeTime(ends[3]) + "  passes 1 3 4\n"))
      << result.report;
  EXPECT_TRUE(Holds(result.report, "Pass 2 (sign, shifted phase): 0 good blocks\n"))
      << result.report;
  EXPECT_TRUE(Holds(result.report,
                    "Total: 4 good blocks in 1 file, 1 missing; the best single "
                    "pass (1) found 4"))
      << result.report;

  const Recovered json = Recover(folder / "tape.wav", folder / "out.uef", {"--json"});
  EXPECT_TRUE(Holds(json.report, "\"missing\": [2]")) << json.report;
  EXPECT_TRUE(Holds(json.report, "\"gaps\": [\n       {\"firstBlock\": 2, \"lastBlock\": 2, "))
      << json.report;
  EXPECT_TRUE(Holds(json.report,
                    "\"total\": {\"blocks\": 4, \"files\": 1, \"missing\": 1, "
                    "\"readDifferently\": 0, \"bestPass\": 1, \"bestPassBlocks\": 4, "
                    "\"lastBlockNotFound\": 0}"))
      << json.report;
}

// A strict reader of JSON text: true when text is one JSON value and nothing else.
class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}
  bool Whole() {
    Space();
    if (!Value())
      return false;
    Space();
    return at_ == text_.size();
  }

 private:
  void Space() {
    while (at_ < text_.size() && std::string(" \t\n\r").find(text_[at_]) != std::string::npos)
      ++at_;
  }
  bool Literal(const char* word) {
    const std::string w(word);
    if (text_.compare(at_, w.size(), w) != 0)
      return false;
    at_ += w.size();
    return true;
  }
  bool String() {
    if (!Literal("\""))
      return false;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"')
        return true;
      if (c < 0x20 || c >= 0x80)  // the report writes only ASCII
        return false;
      if (c == '\\') {
        if (at_ >= text_.size())
          return false;
        const char e = text_[at_++];
        if (e == 'u') {
          for (int i = 0; i < 4; ++i) {
            if (at_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_++])))
              return false;
          }
        } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
          return false;
        }
      }
    }
    return false;
  }
  bool Number() {
    const size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-')
      ++at_;
    while (at_ < text_.size() &&
           (std::isdigit(static_cast<unsigned char>(text_[at_])) || text_[at_] == '.' ||
            text_[at_] == 'e' || text_[at_] == 'E' || text_[at_] == '+' || text_[at_] == '-'))
      ++at_;
    return at_ > start && std::isdigit(static_cast<unsigned char>(text_[at_ - 1]));
  }
  template <class Item>
  bool Sequence(char close, Item item) {
    Space();
    if (at_ < text_.size() && text_[at_] == close) {
      ++at_;
      return true;
    }
    for (;;) {
      Space();
      if (!item())
        return false;
      Space();
      if (at_ >= text_.size())
        return false;
      const char c = text_[at_++];
      if (c == close)
        return true;
      if (c != ',')
        return false;
    }
  }
  bool Value() {
    if (at_ >= text_.size())
      return false;
    switch (text_[at_]) {
      case '{':
        ++at_;
        return Sequence('}', [this] {
          if (!String())
            return false;
          Space();
          return Literal(":") && (Space(), Value());
        });
      case '[':
        ++at_;
        return Sequence(']', [this] { return Value(); });
      case '"':
        return String();
      case 't':
        return Literal("true");
      case 'f':
        return Literal("false");
      case 'n':
        return Literal("null");
      default:
        return Number();
    }
  }

  const std::string& text_;
  size_t at_ = 0;
};

TEST(RecoverReport, JsonIsWellFormedWhateverTheNamesHold) {
  EXPECT_TRUE(JsonReader(R"({"a": [1, -2.5, true, null, "x\"\u00E9"], "b": {}})").Whole());
  for (const char* broken : {R"({"a": 1,})", R"({"a" 1})", "[1, 2", "\"\x01\"", "{} {}"})
    EXPECT_FALSE(JsonReader(broken).Whole()) << broken;

  TempFolder folder;
  const std::string name = "Q\"B\\\x07\xE9";
  const Tape tape = StandardTape({FileSpec{name, 0x1900, 0x1900, Data(300, 4)}});
  WriteWav(folder / "odd.wav", RenderSamples(tape, Clean()), 44100);
  const Recovered json = Recover(folder / "odd.wav", folder / "out.uef", {"--json"});
  EXPECT_TRUE(JsonReader(json.report).Whole()) << json.report;
  EXPECT_TRUE(Holds(json.report, R"("name": "Q\"B\\\u0007\u00E9")")) << json.report;
  const Recovered text = Recover(folder / "odd.wav", folder / "out.uef");
  EXPECT_TRUE(Holds(text.report, "File \"Q\"B\\??\", load address 00001900")) << text.report;

  // The damaged tape's report, with its passes, gaps and blocks.
  const auto blocks = FileBlocks("DAMAGED", 0x1900, 0x8023, Data(6 * 256, 5));
  WriteWavOf(folder / "tape.wav", DamagedFile(blocks));
  EXPECT_TRUE(
      JsonReader(Recover(folder / "tape.wav", folder / "out.uef", {"--json"}).report).Whole());
}

std::string Failure(const std::vector<std::string>& arguments) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  try {
    Tool_ns::RecoverCommand(arguments, io);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no failure";
}

TEST(RecoverBadInput, RefusesWhatVarnstowRefusesWithTheSameMessage) {
  TempFolder folder;
  const std::vector<uint8_t> header = TapeBuilder_ns::WavHeader(44100, 1000, true);
  const std::string wav(header.begin(), header.end());
  TestSupport::WriteFile(folder / "short.wav", wav.substr(0, 30));
  TestSupport::WriteFile(folder / "empty.csw", "");
  for (const char* name : {"short.wav", "empty.csw", "absent.raw"}) {
    const auto converted =
        TestSupport::RunVarnstow(folder.Path(), {"-i", folder / name, "-o", "x"});
    const std::string message = Failure({folder / name, "-o", folder / "out.uef"});
    EXPECT_TRUE(Holds(converted.errors, message))
        << name << ": " << converted.errors << " / " << message;
    EXPECT_FALSE(TestSupport::FileExists(folder / "out.uef")) << name;
  }
  EXPECT_TRUE(Holds(Failure({folder / "short.wav", "-o", folder / "short.wav"}), "overwrite"));
  EXPECT_TRUE(Holds(Failure({folder / "short.wav", "-o", folder / "./short.wav"}), "overwrite"));
  EXPECT_EQ(ReadFile(folder / "short.wav"), wav.substr(0, 30));
  EXPECT_TRUE(Holds(Failure({folder / "short.wav"}), "needs -o"));
  EXPECT_TRUE(
      Holds(Failure({folder / "tape.mp3", "-o", folder / "out.uef"}), ".csw, .wav or .raw"));
  EXPECT_TRUE(Holds(Failure({folder / "a.raw", "-f", "0", "-o", "x.uef"}), "--frequency"));
  EXPECT_TRUE(Holds(Failure({folder / "a.raw", "-t", "x", "-o", "x.uef"}), "--type"));
}

// The recordings of real tapes beside the project: recover keeps at least what the best single
// pass finds, and the blocks found (pinned, so that a change in the decoding shows).
TEST(RecoverRealTapes, FindsAtLeastWhatTheBestPassFinds) {
  const std::string corpus = std::string(VARNSTOW_SOURCE_DIR) + "/../shared/corpus/real/";
  const std::vector<std::pair<std::string, size_t>> tapes = {
      {"Arcadians_Acornsoft.csw", 82},
      {"Fortress_Pace.csw", 90},
      {"JetSetWilly_Tynesoft_.csw", 96},
      {"Starquake_BubbleBusSoftware_B_TapeSideLabel_.csw", 55},
      {"Swarm_Computer_Concepts.csw", 37},
      {"TheWayOfTheExplodingFist_MelbourneHouse_B_Side1_.csw", 12},
      {"Uridium.csw", 102}};
  for (const auto& [name, blocks] : tapes) {
    ASSERT_TRUE(TestSupport::FileExists(corpus + name)) << corpus + name;
    Tool_ns::RecordingSettings recording;
    recording.name = corpus + name;
    recording.kind = Tool_ns::RecordingKind::kCsw;
    std::vector<PassResult> passes;
    size_t best = 0;
    for (const Tool_ns::PassSettings& pass : Tool_ns::PassesFor(recording.kind)) {
      passes.push_back(Tool_ns::RunPass(recording, pass));
      best = std::max(best, passes.back().blocks.size());
    }
    const auto recovery = Tool_ns::MergePasses(passes);
    EXPECT_GE(recovery.blocks.size(), best) << name;
    EXPECT_EQ(recovery.blocks.size(), blocks) << name;
  }
}

}  // namespace
