// varnstow-tool recover: the passes against varnstow itself, the merge of passes that each
// miss something, the image it writes and the report.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>

#include "render/Tape_builder.h"
#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Temp_folder.h"
#include "tool/Commands.h"
#include "tool/Recover.h"
#include "tool/Wav_files.h"

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

// The image of the blocks alone (--blocks-only), which these tests compare block by block;
// the whole tape's image is tested with the transcription.
Recovered Recover(const std::string& recording, const std::string& image,
                  std::vector<std::string> options = {}) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  std::vector<std::string> arguments = {recording, "-o", image, "-c", "--blocks-only"};
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
  EXPECT_TRUE(Holds(csw.report, "Pass 3 (demodulator)")) << csw.report;
  EXPECT_FALSE(Holds(csw.report, "Pass 4")) << csw.report;

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
  ASSERT_EQ(Tool_ns::RecoverCommand(
                {folder / "tape.wav", "-o", folder / "packed.uef", "--blocks-only"}, io),
            0);
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
                                       Tool_ns::TapeTime(ends[3]) + "  passes 1 3 4 5\n"))
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
                    "\"readDifferently\": 0, \"repaired\": 0, \"voted\": 0, \"bestPass\": 1, "
                    "\"bestPassBlocks\": 4, \"lastBlockNotFound\": 0}"))
      << json.report;
}

// True when text is one JSON value and nothing else, in ASCII alone: the report escapes
// every other character.
bool WholeAsciiJson(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; }) &&
         nlohmann::json::accept(text);
}

TEST(RecoverReport, JsonIsWellFormedWhateverTheNamesHold) {
  TempFolder folder;
  const std::string name = "Q\"B\\\x07\xE9";
  const Tape tape = StandardTape({FileSpec{name, 0x1900, 0x1900, Data(300, 4)}});
  WriteWav(folder / "odd.wav", RenderSamples(tape, Clean()), 44100);
  const Recovered json = Recover(folder / "odd.wav", folder / "out.uef", {"--json"});
  EXPECT_TRUE(WholeAsciiJson(json.report)) << json.report;
  EXPECT_TRUE(Holds(json.report, R"("name": "Q\"B\\\u0007\u00E9")")) << json.report;
  // Read back, the name's bytes are Latin-1 characters, and the members are in their order.
  const auto parsed = nlohmann::ordered_json::parse(json.report);
  EXPECT_EQ(parsed["files"][0]["name"], "Q\"B\\\x07\xC3\xA9");
  std::vector<std::string> keys;
  for (const auto& member : parsed.items())
    keys.push_back(member.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"recording", "format", "sampleRate", "seconds", "takes",
                                            "image", "passes", "files", "total"}));
  const Recovered text = Recover(folder / "odd.wav", folder / "out.uef");
  EXPECT_TRUE(Holds(text.report, "File \"Q\"B\\??\", load address 00001900")) << text.report;

  // The recording's and the image's names are this machine's: UTF-8 stays UTF-8, and bytes
  // that are not UTF-8 are read as Latin-1.
  for (const std::string& recordingName :
       {std::string("caf\xC3\xA9.wav"), std::string("caf\xE9.wav")}) {
    std::filesystem::copy_file(folder / "odd.wav", folder / recordingName);
    const auto named = nlohmann::json::parse(
        Recover(folder / recordingName, folder / ("out " + recordingName + ".uef"), {"--json"})
            .report);
    EXPECT_EQ(named["recording"], folder / "caf\xC3\xA9.wav");
    EXPECT_EQ(named["image"], folder / "out caf\xC3\xA9.wav.uef");
  }

  // The damaged tape's report, with its passes, gaps and blocks: the totals count what the
  // files hold.
  const auto blocks = FileBlocks("DAMAGED", 0x1900, 0x8023, Data(6 * 256, 5));
  WriteWavOf(folder / "tape.wav", DamagedFile(blocks));
  const std::string damaged = Recover(folder / "tape.wav", folder / "out.uef", {"--json"}).report;
  ASSERT_TRUE(WholeAsciiJson(damaged)) << damaged;
  const auto report = nlohmann::json::parse(damaged);
  size_t found = 0;
  size_t missing = 0;
  for (const auto& file : report["files"]) {
    found += file["blocks"].size();
    missing += file["missing"].size();
  }
  EXPECT_EQ(report["total"]["blocks"], found) << damaged;
  EXPECT_EQ(report["total"]["missing"], missing) << damaged;
  EXPECT_EQ(report["total"]["files"], report["files"].size()) << damaged;
}

std::string Failure(const std::vector<std::string>& arguments,
                    int (*command)(const std::vector<std::string>&,
                                   Tool_ns::ToolStreams&) = Tool_ns::RecoverCommand) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  try {
    command(arguments, io);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no failure";
}

// CSW and RAW recordings are refused as varnstow refuses them; WAV files, which recover takes
// in every form prepare takes, as prepare refuses them.
TEST(RecoverBadInput, RefusesWhatVarnstowOrPrepareRefusesWithTheSameMessage) {
  TempFolder folder;
  const std::vector<uint8_t> header = TapeBuilder_ns::WavHeader(44100, 1000, true);
  const std::string wav(header.begin(), header.end());
  TestSupport::WriteFile(folder / "short.wav", wav.substr(0, 30));
  TestSupport::WriteFile(folder / "empty.csw", "");
  for (const char* name : {"empty.csw", "absent.raw"}) {
    const auto converted =
        TestSupport::RunVarnstow(folder.Path(), {"-i", folder / name, "-o", "x"});
    const std::string message = Failure({folder / name, "-o", folder / "out.uef"});
    EXPECT_TRUE(Holds(converted.errors, message))
        << name << ": " << converted.errors << " / " << message;
    EXPECT_FALSE(TestSupport::FileExists(folder / "out.uef")) << name;
  }
  const std::string prepared =
      Failure({folder / "short.wav", "-o", folder / "prepared.wav"}, Tool_ns::PrepareCommand);
  EXPECT_EQ(Failure({folder / "short.wav", "-o", folder / "out.uef"}), prepared);
  EXPECT_NE(prepared, "no failure");
  EXPECT_FALSE(TestSupport::FileExists(folder / "out.uef"));
  EXPECT_TRUE(Holds(Failure({folder / "short.wav", "-o", folder / "short.wav"}), "overwrite"));
  EXPECT_TRUE(Holds(Failure({folder / "short.wav", "-o", folder / "./short.wav"}), "overwrite"));
  EXPECT_EQ(ReadFile(folder / "short.wav"), wav.substr(0, 30));
  EXPECT_TRUE(Holds(Failure({folder / "short.wav"}), "needs -o"));
  EXPECT_TRUE(
      Holds(Failure({folder / "tape.mp3", "-o", folder / "out.uef"}), ".csw, .wav or .raw"));
  EXPECT_TRUE(Holds(Failure({folder / "a.raw", "-f", "0", "-o", "x.uef"}), "--frequency"));
  EXPECT_TRUE(Holds(Failure({folder / "a.raw", "-t", "x", "-o", "x.uef"}), "--type"));
  EXPECT_TRUE(Holds(Failure({folder / "a.raw", "-o", "x.uef", "--whole-tape", "--blocks-only"}),
                    "not both"));
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

namespace {

// The demodulator's passes, and several takes of one tape.

std::vector<std::vector<uint8_t>> BlocksOfFiles(const std::vector<FileSpec>& files) {
  std::vector<std::vector<uint8_t>> blocks;
  for (const FileSpec& file : files) {
    for (const BlockSpec& block : FileBlocks(file.name, file.load, file.exec, file.data))
      blocks.push_back(BlockBytes(block));
  }
  return blocks;
}

TEST(RecoverDemodulator, NoiseThatDefeatsEveryPassOfVarnstowLeavesEveryBlock) {
  TempFolder folder;
  const std::vector<FileSpec> files = {FileSpec{"NOISY", 0x1900, 0x8023, Data(3 * 256, 11)}};
  RenderOptions options;
  options.amplitude = 30;
  options.noiseStdDev = NoiseStdDevForSnr(options.amplitude, options.shape, 8.0);
  WriteWav(folder / "noisy.wav", RenderSamples(StandardTape(files), options), 44100);

  const Recovered result = Recover(folder / "noisy.wav", folder / "out.uef");
  for (const char* pass :
       {"Pass 1 (sign, normal phase): 0 good blocks", "Pass 2 (sign, shifted phase): 0 good blocks",
        "Pass 3 (peak, normal phase): 0 good blocks", "Pass 4 (peak, shifted phase): 0 good blocks",
        "Pass 5 (demodulator): 3 good blocks"})
    EXPECT_TRUE(Holds(result.report, pass)) << result.report;
  EXPECT_EQ(DataChunks(result.chunks), BlocksOfFiles(files));
  // Nor does varnstow itself, with or without -d.
  for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"-d"}}) {
    std::vector<std::string> arguments = {"-i", "noisy.wav", "-o", "plain.uef", "-c"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    ASSERT_EQ(TestSupport::RunVarnstow(folder.Path(), arguments).exitCode, 0);
    EXPECT_TRUE(DataChunks(ParseChunks(ReadFile(folder / "plain.uef"))).empty());
  }
}

TEST(RecoverDemodulator, FindsNoFewerBlocksThanVarnstowWithAnyOfItsOptions) {
  // A tape damaged so that each of varnstow's ways misses something (a DC offset beyond the
  // waves' peaks among it, which -d mends).
  TempFolder folder;
  const auto blocks = FileBlocks("DAMAGED", 0x1900, 0x8023, Data(6 * 256, 5));
  WriteWavOf(folder / "tape.wav", DamagedFile(blocks));
  const Recovered result = Recover(folder / "tape.wav", folder / "out.uef");
  const size_t recovered = DataChunks(result.chunks).size();
  EXPECT_EQ(recovered, blocks.size());
  for (const std::vector<std::string>& extra : std::vector<std::vector<std::string>>{
           {}, {"-p"}, {"-l", "p"}, {"-l", "p", "-p"}, {"-d"}, {"-d", "-p"}}) {
    TestSupport::WriteFile(folder / "copy.wav", ReadFile(folder / "tape.wav"));
    std::vector<std::string> arguments = {"-i", "copy.wav", "-o", "plain.uef", "-c"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    ASSERT_EQ(TestSupport::RunVarnstow(folder.Path(), arguments).exitCode, 0);
    EXPECT_GE(recovered, DataChunks(ParseChunks(ReadFile(folder / "plain.uef"))).size())
        << extra.size();
  }
}

TEST(RecoverDemodulator, TakesA16BitStereoCaptureDirectly) {
  // 48 kHz, 16 bits, two channels: the left holds the tape, upside down, 42 dB below full
  // scale (in 8 bits its waves would be a step or two high), under mains hum and hiss; the
  // right only hiss.
  TempFolder folder;
  const std::vector<FileSpec> files = {FileSpec{"CAPTURE", 0x1900, 0x8023, Data(600, 12)}};
  RenderOptions options;
  options.sampleRate = 48000;
  options.amplitude = 100;
  const std::vector<int8_t> tape = RenderSamples(StandardTape(files), options);
  std::mt19937 random(5);
  std::normal_distribution<double> hiss(0.0, 0.0004);
  std::vector<double> frames;
  for (size_t i = 0; i < tape.size(); ++i) {
    const double t = static_cast<double>(i) / 48000;
    const double hum = 0.02 * std::sin(2 * 3.14159265358979 * 50 * t);
    frames.push_back(-tape[i] / 127.0 * 0.008 + hum + hiss(random));
    frames.push_back(hiss(random));
  }
  ToolTest::WavLayout layout;
  layout.channels = 2;
  layout.rate = 48000;
  layout.bits = 16;
  TestSupport::WriteFile(folder / "capture.wav", ToolTest::WavFile(layout, frames));

  const Recovered result = Recover(folder / "capture.wav", folder / "out.uef");
  EXPECT_TRUE(Holds(result.report, "Pass 1 (demodulator, left channel): 3 good blocks"))
      << result.report;
  EXPECT_TRUE(Holds(result.report, "Pass 2 (demodulator, right channel): 0 good blocks"))
      << result.report;
  EXPECT_TRUE(Holds(result.report, "Pass 3 (demodulator, channels mixed): 3 good blocks"))
      << result.report;
  EXPECT_FALSE(Holds(result.report, "Pass 4")) << result.report;
  EXPECT_EQ(DataChunks(result.chunks), BlocksOfFiles(files));
}

TEST(RecoverDemodulator, A300BaudFileGoesIntoTheImageWithItsRate) {
  TempFolder folder;
  const auto fast = FileBlocks("FAST", 0x1900, 0x1900, Data(100, 13));
  const auto slow = FileBlocks("SLOW", 0x2000, 0x2000, Data(100, 14));
  TapeWriter writer;
  writer.Gap(0.5).CarrierSeconds(2.0).Block(fast[0]).CarrierSeconds(2.0);
  for (uint8_t value : BlockBytes(slow[0])) {
    writer.Cycles(1200, 4);
    for (int b = 0; b < 8; ++b)
      (value >> b & 1) != 0 ? writer.Cycles(2400, 8) : writer.Cycles(1200, 4);
    writer.Cycles(2400, 8);
  }
  writer.CarrierSeconds(1.0).Gap(0.5);
  WriteWav(folder / "tape.wav", RenderSamples(writer.Take(), Clean()), 44100);

  const Recovered result = Recover(folder / "tape.wav", folder / "out.uef");
  EXPECT_TRUE(Holds(result.report, "  pass 5  (300 baud)\n")) << result.report;
  // The rate is set to 300 before the slow block's tone and back to 1200 after it.
  std::vector<std::string> order;
  for (const TestSupport::Chunk& chunk : result.chunks) {
    if (chunk.id == 0x0117)
      order.push_back(std::to_string(static_cast<uint8_t>(chunk.data[0]) |
                                     static_cast<uint8_t>(chunk.data[1]) << 8));
    else if (chunk.id == 0x0100)
      order.push_back(chunk.data.substr(1, 4));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"FAST", "300", "SLOW", "1200"}));
}

TEST(RecoverTakes, BlocksOfEveryTakeAreMergedAndThoseFailedInEachAreCombined) {
  // Two recordings of one tape, each with the signal lost in places: block 1 is lost in the
  // first take only; block 3 has a stretch of its data lost in each take, a different one.
  TempFolder folder;
  const auto blocks = FileBlocks("TAKES", 0x1900, 0x1900, Data(5 * 256, 15));
  TapeWriter writer;
  writer.Gap(0.5);
  std::vector<double> starts;
  for (const BlockSpec& block : blocks) {
    writer.CarrierSeconds(1.0);
    starts.push_back(writer.Result().DurationSeconds());
    writer.Block(block);
  }
  writer.CarrierSeconds(0.5).Gap(0.5);
  const Tape tape = writer.Take();
  RenderOptions first = Clean();
  first.dropouts = {{starts[1] + 1.0, 0.2}, {starts[3] + 0.6, 0.02}};
  RenderOptions second = Clean();
  second.noiseSeed = 2;
  second.dropouts = {{starts[3] + 1.6, 0.02}};
  WriteWav(folder / "one.wav", RenderSamples(tape, first), 44100);
  WriteWav(folder / "two.wav", RenderSamples(tape, second), 44100);

  const Recovered one = Recover(folder / "one.wav", folder / "one.uef");
  EXPECT_EQ(DataChunks(one.chunks).size(), 3u) << one.report;

  std::istringstream in;
  std::ostringstream out, err;
  Tool_ns::ToolStreams io{in, out, err};
  ASSERT_EQ(Tool_ns::RecoverCommand({folder / "one.wav", folder / "two.wav", "-o",
                                     folder / "both.uef", "-c", "--blocks-only"},
                                    io),
            0);
  const std::string report = out.str();
  const auto image = DataChunks(ParseChunks(ReadFile(folder / "both.uef")));
  EXPECT_EQ(image, BytesOf(blocks)) << report;
  EXPECT_TRUE(Holds(report, "Take 2: recording ")) << report;
  EXPECT_TRUE(Holds(report, "Pass 6 (take 2, sign, normal phase)")) << report;
  EXPECT_TRUE(Holds(report, "5 blocks found, none missing")) << report;
  EXPECT_TRUE(Holds(report, "combined from failed readings")) << report;
  EXPECT_TRUE(Holds(report, ", 1 combined from failed readings; the best single pass")) << report;
}

}  // namespace

namespace {

TEST(RecoverRealTapes, WithTheDemodulatorNothingIsLostAndSwarmsSlowBlockIsFound) {
  const std::string corpus = std::string(VARNSTOW_SOURCE_DIR) + "/../shared/corpus/real/";
  // The good blocks of each: those varnstow's passes find, and Swarm's block at 300 baud.
  const std::vector<std::pair<std::string, size_t>> tapes = {
      {"Arcadians_Acornsoft.csw", 82},
      {"Fortress_Pace.csw", 90},
      {"JetSetWilly_Tynesoft_.csw", 96},
      {"Starquake_BubbleBusSoftware_B_TapeSideLabel_.csw", 55},
      {"Swarm_Computer_Concepts.csw", 38},
      {"TheWayOfTheExplodingFist_MelbourneHouse_B_Side1_.csw", 12},
      {"Uridium.csw", 102}};
  TempFolder folder;
  for (const auto& [name, count] : tapes) {
    Tool_ns::RecordingSettings recording;
    recording.name = corpus + name;
    recording.kind = Tool_ns::RecordingKind::kCsw;
    std::vector<std::vector<uint8_t>> converted;
    for (const Tool_ns::PassSettings& pass : Tool_ns::PassesFor(recording.kind)) {
      for (auto& block : ProperBlocks(Tool_ns::RunPass(recording, pass)))
        converted.push_back(std::move(block));
    }
    const Recovered result = Recover(corpus + name, folder / "out.uef");
    const auto image = DataChunks(result.chunks);
    EXPECT_EQ(image.size(), count) << name;
    // (The image holds a block as the pass that read it read it, with any bytes after it.)
    for (const auto& block : converted) {
      EXPECT_TRUE(std::any_of(image.begin(), image.end(), [&](const std::vector<uint8_t>& chunk) {
        return chunk.size() >= block.size() &&
               std::equal(block.begin(), block.end(), chunk.begin());
      })) << name;
    }
    // The demodulator alone reads every block with a name that varnstow reads.
    const auto demodulated = ProperBlocks(
        Tool_ns::RunDemodulatorPass(recording, Tool_ns::DemodulatorPasses(1).front(), std::cerr));
    for (const auto& block : converted) {
      if (block.size() > 1 && block[1] != 0) {
        EXPECT_NE(std::find(demodulated.begin(), demodulated.end(), block), demodulated.end())
            << name;
      }
    }
    EXPECT_EQ(Holds(result.report, "(300 baud)"), name == "Swarm_Computer_Concepts.csw") << name;
  }
}

}  // namespace
