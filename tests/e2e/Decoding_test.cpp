// Whole runs of the program on generated recordings: exact images, report lines, options.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using TapeBuilder_ns::BlockBytes;
using TapeBuilder_ns::FileBlocks;
using TapeBuilder_ns::FileSpec;
using TapeBuilder_ns::RenderOptions;
using TapeBuilder_ns::RenderSamples;
using TapeBuilder_ns::StandardTape;
using TestSupport::ChunksWithId;
using TestSupport::FileExists;
using TestSupport::ParseChunks;
using TestSupport::ReadFile;
using TestSupport::ReadTextFile;
using TestSupport::RunVarnstow;
using TestSupport::TempFolder;

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i)
    data[i] = static_cast<uint8_t>((i * 7) ^ seed);
  return data;
}

const std::vector<FileSpec> kTwoFiles = {{"GAME", 0x1900, 0x8023, Data(700, 3)},
                                         {"SCORES", 0x3000, 0x3000, Data(300, 9)}};

std::string Chunk(uint16_t id, const std::string& data) {
  std::string bytes{static_cast<char>(id & 0xFF), static_cast<char>(id >> 8)};
  const auto length = static_cast<uint32_t>(data.size());
  for (int i = 0; i < 4; ++i)
    bytes += static_cast<char>((length >> (8 * i)) & 0xFF);
  return bytes + data;
}

std::string Le16(uint16_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

// The image the program must write for these files, read from a RAW recording with no
// signature stored.
std::string ExpectedImage(const std::vector<FileSpec>& files, const std::string& format) {
  std::string image("UEF File!\0\x0A\x00", 12);
  image += Chunk(0x0000, std::string("Varnstow Corvel V1.7.") + '\0');
  image += Chunk(0x0000, "The input format was " + format + "." + '\0');
  bool first = true;
  for (const FileSpec& file : files) {
    for (const auto& block : FileBlocks(file.name, file.load, file.exec, file.data)) {
      image += first ? Chunk(0x0111, Le16(2400) + Le16(9600)) : Chunk(0x0110, Le16(2400));
      first = false;
      const auto bytes = BlockBytes(block);
      image += Chunk(0x0100, std::string(bytes.begin(), bytes.end()));
    }
    image += Chunk(0x0110, Le16(12000)) + Chunk(0x0116, std::string("\x00\x00\x20\x41", 4));
  }
  return image;
}

void WriteRecording(const std::string& path, const TapeBuilder_ns::Tape& tape,
                    const RenderOptions& options = RenderOptions{}) {
  TapeBuilder_ns::WriteRaw(path, RenderSamples(tape, options), true);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

TEST(Conversion, CleanTapeGivesTheExactImageAndReport) {
  TempFolder folder;
  WriteRecording(folder / "tape.raw", StandardTape(kTwoFiles));
  const auto result = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(ReadFile(folder / "tape.uef"), ExpectedImage(kTwoFiles, "RAW"));

  const std::string report =
      "Found :       GAME 00\tChecksum ok\n"
      "Found :       GAME 01\tChecksum ok\n"
      "Found :       GAME 02\tChecksum ok, last block flag\n"
      "Found :     SCORES 00\tChecksum ok\n"
      "Found :     SCORES 01\tChecksum ok, last block flag\n";
  const std::string log = ReadTextFile(folder / "tape.log");
  EXPECT_EQ(log.substr(log.size() - report.size()), report);
  EXPECT_EQ(result.output, log);  // the console saw exactly what the log holds

  // Compressed by default: the gzip file holds the same image.
  const auto compressed = RunVarnstow(folder.Path(), {"-i", "tape.raw"});
  EXPECT_EQ(compressed.exitCode, 0);
  EXPECT_EQ(TestSupport::GunzipFile(folder / "tape.uef"), ExpectedImage(kTwoFiles, "RAW"));
}

TEST(Conversion, SignatureIsAnOriginChunkBetweenBannerAndFormat) {
  TempFolder folder;
  WriteRecording(folder / "tape.raw", StandardTape({kTwoFiles[1]}));
  ASSERT_EQ(RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c", "-g", "A. Archivist"}).exitCode, 0);
  const auto chunks = ChunksWithId(ParseChunks(ReadFile(folder / "tape.uef")), 0x0000);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].data, std::string("Varnstow Corvel V1.7.") + '\0');
  EXPECT_EQ(chunks[1].data, std::string("A. Archivist") + '\0');
  EXPECT_EQ(chunks[2].data, std::string("The input format was RAW.") + '\0');
}

TEST(Conversion, RecordingWithoutBlocksGivesHeaderAndOriginChunksOnly) {
  TempFolder folder;
  std::vector<int8_t> noise(200000);
  uint32_t state = 12345;
  for (auto& sample : noise) {
    state = state * 1103515245u + 12345u;
    sample = static_cast<int8_t>(state >> 24);
  }
  TapeBuilder_ns::WriteRaw(folder / "noise.raw", noise, true);
  const auto result = RunVarnstow(folder.Path(), {"-i", "noise.raw", "-c"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(ReadFile(folder / "noise.uef"), ExpectedImage({}, "RAW"));
  EXPECT_EQ(Count(result.output, "Found : "), 0u);
}

TEST(Conversion, PeakMethodAndUnsignedSamplesAt48000) {
  TempFolder folder;
  RenderOptions options;
  options.sampleRate = 48000;
  const auto samples = RenderSamples(StandardTape(kTwoFiles), options);
  TapeBuilder_ns::WriteRaw(folder / "tape.raw", samples, false);
  const auto result =
      RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c", "-l", "p", "-f", "48000", "-t", "u"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(ReadFile(folder / "tape.uef"), ExpectedImage(kTwoFiles, "RAW"));
}

TEST(Conversion, ShiftedPhaseNeedsDashP) {
  TempFolder folder;
  RenderOptions options;
  options.phaseDegrees = 180;
  WriteRecording(folder / "tape.raw", StandardTape(kTwoFiles), options);
  const auto plain = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"});
  EXPECT_LT(Count(plain.output, "Found : "), 4u);
  const auto shifted = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c", "-p"});
  EXPECT_NE(shifted.output.find("Phase shift changed to +180 or +270.\n"), std::string::npos);
  EXPECT_EQ(ReadFile(folder / "tape.uef"), ExpectedImage(kTwoFiles, "RAW"));
}

TEST(Conversion, CalibrationForALaterFileRecordedSlower) {
  // The second file was recorded at three quarters of the speed: its long waves are 900 Hz,
  // outside what 1200 Hz allows, until -s tells the program so from file 2 on.
  TempFolder folder;
  auto first = RenderSamples(StandardTape({kTwoFiles[0]}), RenderOptions{});
  RenderOptions slow;
  slow.speed = 0.75;
  const auto second = RenderSamples(StandardTape({kTwoFiles[1]}), slow);
  first.insert(first.end(), second.begin(), second.end());
  TapeBuilder_ns::WriteRaw(folder / "tape.raw", first, true);

  const auto plain = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"});
  EXPECT_EQ(Count(plain.output, "SCORES"), 0u);
  const auto calibrated = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c", "-s", "2", "900"});
  EXPECT_EQ(calibrated.exitCode, 0);
  EXPECT_EQ(ReadFile(folder / "tape.uef"), ExpectedImage(kTwoFiles, "RAW"));
}

TEST(Conversion, MissedBlockIsReportedWithABellUnlessSilenced) {
  TempFolder folder;
  TapeBuilder_ns::TapeWriter writer;
  writer.Gap(0.5).Carrier(2400);
  const auto blocks = FileBlocks("PART", 0, 0, Data(1024, 5));
  for (size_t i : {0u, 1u, 3u})
    writer.Block(blocks[i]).Carrier(600).Gap(0.2).Carrier(1000);
  writer.Gap(0.5);
  WriteRecording(folder / "tape.raw", writer.Take());
  const auto beeping = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"});
  EXPECT_NE(beeping.output.find("PART 01\tChecksum ok\nMissed a block.\n\a"), std::string::npos);
  EXPECT_EQ(ReadTextFile(folder / "tape.log").find('\a'), std::string::npos);
  const auto quiet = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c", "-b"});
  EXPECT_NE(quiet.output.find("Missed a block.\nFound :       PART 03"), std::string::npos);
  EXPECT_EQ(quiet.output.find('\a'), std::string::npos);
}

TEST(Conversion, InterruptionEndsTheRunWithoutAnImage) {
  TempFolder folder;
  // About ten minutes of tape, long enough to be interrupted while it decodes.
  const auto once = RenderSamples(StandardTape({{"LONG", 0, 0, Data(8000, 1)}}), RenderOptions{});
  std::vector<int8_t> samples;
  while (samples.size() < 26000000)
    samples.insert(samples.end(), once.begin(), once.end());
  TapeBuilder_ns::WriteRaw(folder / "long.raw", samples, true);

  TestSupport::RunOptions options;
  options.arguments = {"-i", "long.raw"};
  options.workingFolder = folder.Path();
  options.environment = {{"XDG_CONFIG_HOME", folder / "config"}};
  TestSupport::RunningProcess process(options);
  // Wait until the run is past its header, then interrupt.
  for (int i = 0; i < 20000 && process.OutputSoFar().find("Found :") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  process.Signal(SIGINT);
  const auto result = process.Wait();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "\nExecution interrupted.");
  EXPECT_EQ(result.output.back(), '\a');
  const std::string log = ReadTextFile(folder / "long.log");
  const std::string reason = "\nControl C";
  ASSERT_GE(log.size(), reason.size());
  EXPECT_EQ(log.substr(log.size() - reason.size()), reason);
  EXPECT_FALSE(FileExists(folder / "long.uef"));
}

TEST(Conversion, FailedWriteLeavesNoImage) {
  if (!TestSupport::CanLimitFileSize()) {
    GTEST_SKIP() << "the write failure comes from a file size limit, which only POSIX has";
  }
  TempFolder folder;
  WriteRecording(folder / "tape.raw", StandardTape(kTwoFiles));
  for (const bool compress : {false, true}) {
    TestSupport::RunOptions options;
    options.arguments = {"-i", "tape.raw", "-o", "out.uef"};
    if (!compress)
      options.arguments.push_back("-c");
    options.workingFolder = folder.Path();
    options.environment = {{"XDG_CONFIG_HOME", folder / "config"}};
    options.fileSizeLimit = 600;  // smaller than the image, even compressed
    const auto result = TestSupport::Run(options);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.errors == "\nError writing UEF file on drive." ||
                result.errors == "\nCould not close UEF file on drive.")
        << result.errors;
    EXPECT_FALSE(FileExists(folder / "out.uef")) << (compress ? "compressed" : "plain");
  }
}

}  // namespace
