// varnstow-tool and varnstow run as programs: the round trip image -> recording -> image, the
// command-line conventions, bad input, the bundled sample and prepare feeding the converter.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Temp_folder.h"
#include "tool/Uef_images.h"
#include "tool/Wav_files.h"

namespace {

using TapeBuilder_ns::FileSpec;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::RunResult;
using TestSupport::RunVarnstow;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

RunResult RunTool(const std::string& folder, const std::vector<std::string>& arguments,
                  const std::string& standardInput = "") {
  TestSupport::RunOptions options;
  options.program = VARNSTOW_TOOL_EXE;
  options.arguments = arguments;
  options.workingFolder = folder;
  options.standardInput = standardInput;
  return TestSupport::Run(options);
}

std::vector<std::string> DataChunks(const std::string& image) {
  std::vector<std::string> blocks;
  for (const auto& chunk : TestSupport::ChunksWithId(TestSupport::ParseChunks(image), 0x0100))
    blocks.push_back(chunk.data);
  return blocks;
}

// Same blocks, or how many came back, without dumping kilobytes of block bytes.
::testing::AssertionResult SameBlocks(const std::vector<std::string>& got,
                                      const std::vector<std::string>& expected) {
  if (got == expected)
    return ::testing::AssertionSuccess();
  size_t same = 0;
  for (size_t i = 0; i < got.size() && i < expected.size(); ++i)
    same += got[i] == expected[i] ? 1u : 0u;
  return ::testing::AssertionFailure() << got.size() << " blocks back, " << same << " of the "
                                       << expected.size() << " expected in place";
}

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i)
    data[i] = static_cast<uint8_t>((i * 13) ^ seed);
  return data;
}

const FileSpec kFile{"GAME", 0x1900, 0x8023, Data(400, 5)};

std::vector<std::string> ExpectedBlocks() {
  std::vector<std::string> blocks;
  for (const auto& block :
       TapeBuilder_ns::FileBlocks(kFile.name, kFile.load, kFile.exec, kFile.data))
    blocks.push_back(ToolTest::Bytes(TapeBuilder_ns::BlockBytes(block)));
  return blocks;
}

// An image written by the converter from a synthetic recording, shared by the round trips.
class ConverterImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<TempFolder>();
    const auto tape = TapeBuilder_ns::StandardTape({kFile});
    TapeBuilder_ns::WriteRaw(*folder_ / "source.raw",
                             TapeBuilder_ns::RenderSamples(tape, TapeBuilder_ns::RenderOptions{}),
                             true);
    const RunResult run = RunVarnstow(folder_->Path(), {"-i", "source.raw", "-c", "-b"});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    image_ = ReadFile(*folder_ / "source.uef");
    ASSERT_TRUE(SameBlocks(DataChunks(image_), ExpectedBlocks()));
  }
  static void TearDownTestSuite() { folder_.reset(); }

  // Renders the image with the tool's options, converts the recording with the converter's and
  // returns the data chunks of the image that gives.
  static std::vector<std::string> RenderAndConvert(const std::string& recording,
                                                   std::vector<std::string> render,
                                                   std::vector<std::string> convert) {
    render.insert(render.begin(), {"render", "source.uef", "-o", recording});
    const RunResult rendered = RunTool(folder_->Path(), render);
    EXPECT_EQ(rendered.exitCode, 0) << rendered.errors;
    EXPECT_EQ(rendered.errors, "");
    convert.insert(convert.begin(), {"-i", recording, "-c", "-b", "-o", recording + ".uef"});
    const RunResult converted = RunVarnstow(folder_->Path(), convert);
    EXPECT_EQ(converted.exitCode, 0) << converted.errors;
    return DataChunks(ReadFile(*folder_ / (recording + ".uef")));
  }

  // The round trip with 20 dB of white noise and the speed 2% off either way.
  // White noise 26 dB below the signal: the converter's sign measurement splits cycles at
  // noise crossings near zero, and from about 24 dB down it loses blocks of a WAV recording.
  static void NoisyRoundTrips(const char* format) {
    for (const char* speed : {"2", "-2"}) {
      SCOPED_TRACE(std::string(format) + " at " + speed + "%");
      EXPECT_TRUE(
          SameBlocks(RenderAndConvert(std::string("noisy") + speed + "." + format,
                                      {"--noise-db", "26", "--speed", speed, "--seed", "7"}, {}),
                     DataChunks(image_)));
    }
  }

  static std::unique_ptr<TempFolder> folder_;
  static std::string image_;
};

std::unique_ptr<TempFolder> ConverterImage::folder_;
std::string ConverterImage::image_;

// format ("wav", "raw", "rle" or "zrle" for CSW), phase, rate
class RoundTrip : public ConverterImage,
                  public ::testing::WithParamInterface<std::tuple<const char*, int, int>> {};

TEST_P(RoundTrip, RenderedImageConvertsBackToTheSameBlocks) {
  const std::string format = std::get<0>(GetParam());
  const int phase = std::get<1>(GetParam());
  const int rate = std::get<2>(GetParam());
  const bool csw = format == "rle" || format == "zrle";
  const std::string recording = format + "-" + std::to_string(phase) + "-" + std::to_string(rate) +
                                (csw ? ".csw" : "." + format);
  std::vector<std::string> render = {"--rate", std::to_string(rate), "--phase",
                                     std::to_string(phase)};
  if (csw)
    render.insert(render.end(), {"--csw-compression", format});
  std::vector<std::string> convert;
  if (phase == 180)
    convert.push_back("-p");
  if (format == "raw" && rate != 44100)
    convert.insert(convert.end(), {"-f", std::to_string(rate)});
  EXPECT_TRUE(SameBlocks(RenderAndConvert(recording, render, convert), DataChunks(image_)));
}

INSTANTIATE_TEST_SUITE_P(EveryFormatPhaseAndRate, RoundTrip,
                         ::testing::Combine(::testing::Values("wav", "raw", "rle", "zrle"),
                                            ::testing::Values(0, 180),
                                            ::testing::Values(44100, 48000)));

TEST_F(ConverterImage, WavRoundTripSurvivesNoiseAndSpeedError) {
  NoisyRoundTrips("wav");
}

TEST_F(ConverterImage, CswRoundTripSurvivesNoiseAndSpeedError) {
  NoisyRoundTrips("csw");
}

TEST_F(ConverterImage, StandardInputAndOutputCarryImagesAndRecordings) {
  const std::string& folder = folder_->Path();
  ASSERT_EQ(RunTool(folder, {"render", "source.uef", "-o", "file.raw", "--rate", "8000"}).exitCode,
            0);
  const RunResult piped =
      RunTool(folder, {"render", "-", "-o", "-", "--format", "raw", "--rate", "8000"}, image_);
  EXPECT_EQ(piped.exitCode, 0) << piped.errors;
  EXPECT_EQ(piped.output, ReadFile(*folder_ / "file.raw"));

  const RunResult listed = RunTool(folder, {"list", "-"}, ToolTest::Gzip(image_));
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_NE(listed.output.find("GAME        00001900  00008023       2      400  complete"),
            std::string::npos)
      << listed.output;
}

TEST(ToolCommandLine, HelpVersionAndUsageErrors) {
  TempFolder folder;
  for (const std::vector<std::string>& help : {std::vector<std::string>{"--help"},
                                               {"render", "--help"},
                                               {"list", "-h"},
                                               {"prepare", "--help"}}) {
    const RunResult run = RunTool(folder.Path(), help);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output.rfind("Usage: varnstow-tool", 0), 0u) << run.output;
  }
  EXPECT_EQ(RunTool(folder.Path(), {"--version"}).output, "varnstow-tool " VARNSTOW_VERSION "\n");

  for (const std::vector<std::string>& wrong : {std::vector<std::string>{},
                                                {"play"},
                                                {"render", "a.uef"},
                                                {"render", "a.uef", "-o", "x.mp3"},
                                                {"render", "a.uef", "-o", "x.wav", "--phase", "45"},
                                                {"list", "--fast", "a.uef"},
                                                {"render", "a.uef", "-o", "x.wav", "--rate"},
                                                {"prepare", "-", "-o", "x.wav"}}) {
    const RunResult run = RunTool(folder.Path(), wrong);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.errors.rfind("varnstow-tool: ", 0), 0u) << run.errors;
    EXPECT_EQ(run.output, "");
  }
}

TEST(ToolCommandLine, BadImagesFailWithAMessageAndLeaveNoOutput) {
  using namespace ToolTest;
  TempFolder folder;
  const std::string good = Image({Chunk(0x0110, Le16(100)), Chunk(0x0116, Float(1.0f))});
  WriteFile(folder / "year.uef",
            Image({Chunk(0x0110, Le16(100)), Chunk(0x0116, Float(31536000.0f))}));
  WriteFile(folder / "cut.uef", Gzip(good).substr(0, 20));
  WriteFile(folder / "noise.uef", std::string(5000, '\x8B'));
  WriteFile(folder / "good.uef", good);
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  for (const Case& bad :
       {Case{{"render", "year.uef", "-o", "out.wav"},
             "varnstow-tool: chunk 0x0116 at offset 0x000014: a gap of 3.1536e+07 seconds is "
             "longer than an hour\n"},
        Case{{"render", "cut.uef", "-o", "out.csw"}, nullptr},
        Case{{"list", "noise.uef"},
             "varnstow-tool: 'noise.uef' is not a UEF tape image (it does not start with "
             "\"UEF File!\")\n"},
        Case{{"render", "missing.uef", "-o", "out.raw"},
             "varnstow-tool: cannot open 'missing.uef'\n"},
        Case{{"render", "good.uef", "-o", "no/such/folder/out.raw"},
             "varnstow-tool: cannot create 'no/such/folder/out.raw'\n"}}) {
    SCOPED_TRACE(bad.arguments[1]);
    const RunResult run = RunTool(folder.Path(), bad.arguments);
    EXPECT_EQ(run.exitCode, 1);
    if (bad.message != nullptr)
      EXPECT_EQ(run.errors, bad.message);
    else
      EXPECT_EQ(run.errors.rfind("varnstow-tool: ", 0), 0u) << run.errors;
    EXPECT_FALSE(FileExists(folder / "out.wav") || FileExists(folder / "out.csw") ||
                 FileExists(folder / "out.raw"));
  }
}

TEST(BundledSample, RecordingConvertsToTheBundledImage) {
  TempFolder folder;
  WriteFile(folder / "sample.csw", ReadFile(VARNSTOW_SOURCE_DIR "/examples/sample.csw"));
  const RunResult run = RunVarnstow(folder.Path(), {"-i", "sample.csw", "-c"});
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  const std::string bundled = ReadFile(VARNSTOW_SOURCE_DIR "/examples/sample.uef");
  EXPECT_TRUE(SameBlocks(DataChunks(ReadFile(folder / "sample.uef")), DataChunks(bundled)));
  EXPECT_EQ(DataChunks(bundled).size(), 3u);

  const RunResult listed =
      RunTool(folder.Path(), {"list", VARNSTOW_SOURCE_DIR "/examples/sample.uef"});
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_NE(listed.output.find("HELLO       FFFF1900  FFFF8023       1       34  complete"),
            std::string::npos)
      << listed.output;
}

TEST(PrepareEndToEnd, ModernStereoRecordingConvertsAfterPrepare) {
  TempFolder folder;
  TapeBuilder_ns::RenderOptions options;
  options.sampleRate = 48000;
  options.noiseStdDev = 2;
  const std::vector<int8_t> samples =
      TapeBuilder_ns::RenderSamples(TapeBuilder_ns::StandardTape({kFile}), options);
  // 24-bit stereo: the tape quietly in the right channel above a DC level, hum in the left.
  std::vector<double> frames;
  for (size_t i = 0; i < samples.size(); ++i) {
    frames.push_back(0.02 * ((i / 400) % 2 == 0 ? 1 : -1));
    frames.push_back(0.1 + samples[i] / 128.0 * 0.15);
  }
  WriteFile(folder / "modern.wav", ToolTest::WavFile({2, 48000, 24, false, false}, frames));
  const RunResult prepared = RunTool(folder.Path(), {"prepare", "modern.wav", "-o", "ready.wav"});
  EXPECT_EQ(prepared.exitCode, 0) << prepared.errors;
  EXPECT_NE(prepared.errors.find("the right channel (the larger signal)"), std::string::npos)
      << prepared.errors;
  const RunResult converted = RunVarnstow(folder.Path(), {"-i", "ready.wav", "-c", "-b"});
  EXPECT_EQ(converted.exitCode, 0) << converted.errors;
  EXPECT_TRUE(SameBlocks(DataChunks(ReadFile(folder / "ready.uef")), ExpectedBlocks()));
}

}  // namespace
