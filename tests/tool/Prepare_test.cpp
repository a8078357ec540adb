// varnstow-tool prepare, run in-process on WAV files of every kind.
#include <gtest/gtest.h>

#include <sstream>

#include "support/Temp_folder.h"
#include "tool/Commands.h"
#include "tool/Wav_files.h"

namespace {

using namespace ToolTest;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

struct Prepared {
  std::string samples;  // the output's 8-bit samples
  std::string header;   // its first 44 bytes
  std::string report;   // standard error
};

Prepared Prepare(const std::string& wav, std::vector<std::string> options = {}) {
  TempFolder folder;
  WriteFile(folder / "in.wav", wav);
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  std::vector<std::string> arguments = {folder / "in.wav", "-o", folder / "out.wav"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  EXPECT_EQ(Tool_ns::PrepareCommand(arguments, io), 0);
  const std::string written = ReadFile(folder / "out.wav");
  Prepared result;
  result.header = written.substr(0, 44);
  result.samples = written.substr(44);
  result.report = err.str();
  return result;
}

std::string Failure(const std::string& wav, std::vector<std::string> options = {}) {
  try {
    Prepare(wav, options);
  } catch (const Tool_ns::ToolError& error) {
    return error.what();
  }
  return "no failure";
}

// Eight frames of a pattern that every format holds exactly: peaks of 0.5 either side of a DC
// level of -0.125, and halfway values.
std::vector<double> Pattern() {
  return {0.375, -0.625, 0.125, -0.375, 0.375, -0.625, 0.125, -0.375};
}

// The pattern made 8-bit: centred, its peaks at +-127, the halfway values at +-63.5, rounded
// away from 0; stored unsigned.
const std::string kPrepared = "\xFF\x01\xC0\x40\xFF\x01\xC0\x40";

// The pattern in the loud channel, an eighth of it (plus a DC level) in the others.
std::vector<double> Frames(uint16_t channels, uint16_t loud) {
  std::vector<double> frames;
  for (double value : Pattern()) {
    for (uint16_t c = 0; c < channels; ++c)
      frames.push_back(c == loud ? value : 0.25 + value / 8);
  }
  return frames;
}

TEST(Prepare, EveryFormatGivesTheLouderChannelCentredAndScaled) {
  std::vector<WavLayout> layouts;
  for (const int bits : {8, 16, 24, 32})
    layouts.push_back({2, 48000, static_cast<uint16_t>(bits), false, false});
  layouts.push_back({2, 22050, 32, true, false});
  layouts.push_back({2, 96000, 64, true, false});
  layouts.push_back({2, 44100, 24, false, true});
  layouts.push_back({2, 44100, 32, true, true});
  for (const WavLayout& layout : layouts) {
    for (const uint16_t loud : {uint16_t{0}, uint16_t{1}}) {
      SCOPED_TRACE(std::to_string(layout.bits) + (layout.floatingPoint ? " float" : " int") +
                   (layout.extensible ? " extensible" : "") + ", loud channel " +
                   std::to_string(loud));
      const Prepared prepared = Prepare(WavFile(layout, Frames(2, loud)));
      EXPECT_EQ(prepared.samples, kPrepared);
      // 8-bit mono PCM at the input's rate.
      EXPECT_EQ(prepared.header.substr(20, 4), Le16(1) + Le16(1));
      EXPECT_EQ(prepared.header.substr(24, 4), Le32(layout.rate));
      EXPECT_EQ(prepared.header.substr(34, 2), Le16(8));
      EXPECT_EQ(prepared.header.substr(40, 4), Le32(8));
      EXPECT_NE(prepared.report.find(loud == 0 ? "the left channel (the larger signal)"
                                               : "the right channel (the larger signal)"),
                std::string::npos)
          << prepared.report;
    }
  }
}

TEST(Prepare, ChannelOptionChoosesTheChannelOrTheMix) {
  const WavLayout layout{3, 44100, 16, false, false};
  EXPECT_EQ(Prepare(WavFile(layout, Frames(3, 2))).samples, kPrepared);
  // The quiet channel is an eighth of the pattern plus DC: centred and scaled it is the pattern.
  EXPECT_EQ(Prepare(WavFile(layout, Frames(3, 2)), {"--channel", "left"}).samples, kPrepared);
  const std::vector<double> loudInTwo = {0.5, -0.5, 0.5, -0.5, 0.5, -0.5,
                                         0.5, -0.5, 0.5, -0.5, 0.5, -0.5};
  const WavLayout stereo{2, 44100, 16, false, false};
  // Left and right cancel out in the mix.
  const std::vector<double> opposed = {0.5, -0.5, 0.25, -0.25, -0.5, 0.5, -0.25, 0.25};
  EXPECT_EQ(Prepare(WavFile(stereo, opposed), {"--channel=mix"}).samples, std::string(4, '\x80'));
  EXPECT_EQ(Prepare(WavFile(stereo, opposed), {"--channel", "right"}).samples, "\x01\x40\xFF\xC0");
  EXPECT_EQ(Prepare(WavFile(stereo, loudInTwo), {"--channel", "mix", "--quiet"}).report, "");
}

TEST(Prepare, RefusesWhatItCannotReadWithAClearMessage) {
  const WavLayout mono{1, 44100, 16, false, false};
  const std::string good = WavFile(mono, Pattern());
  auto with = [&](size_t at, const std::string& bytes) {
    std::string changed = good;
    changed.replace(at, bytes.size(), bytes);
    return changed;
  };
  EXPECT_NE(Failure("not a wav file at all").find("is not a WAV file"), std::string::npos);
  EXPECT_NE(Failure(with(0, "RIFX")).find("big-endian"), std::string::npos);
  EXPECT_NE(Failure(with(20, Le16(2))).find("WAV format 0x0002, not PCM"), std::string::npos);
  EXPECT_NE(Failure(with(34, Le16(12))).find("12-bit samples"), std::string::npos);
  EXPECT_NE(Failure(with(32, Le16(3))).find("block align"), std::string::npos);
  EXPECT_NE(Failure(with(12, "junk")).find("has no format chunk"), std::string::npos);
  EXPECT_NE(Failure(good.substr(0, 48)).find("has no data chunk"), std::string::npos);
  EXPECT_NE(Failure(good, {"--channel", "right"}).find("needs a recording with two channels"),
            std::string::npos);
  EXPECT_NE(Failure(good, {"--channel", "centre"}).find("--channel must be"), std::string::npos);
  const WavLayout floats{1, 44100, 32, true, false};
  EXPECT_NE(Failure(WavFile(floats, {0.5, std::nan(""), 0.25})).find("not a number, in frame 1"),
            std::string::npos);
}

// The input named again, or by another name of the same file, would be overwritten while read.
TEST(Prepare, RefusesAnOutputThatIsTheInputItself) {
  TempFolder folder;
  const std::string wav = "RIFF not even read";
  WriteFile(folder / "in.wav", wav);
  for (const std::string& output : {folder / "in.wav", folder / "./in.wav"}) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    Tool_ns::ToolStreams io{in, out, err};
    try {
      Tool_ns::PrepareCommand({folder / "in.wav", "-o", output}, io);
      ADD_FAILURE() << output << " was accepted";
    } catch (const Tool_ns::UsageError& error) {
      EXPECT_NE(std::string(error.what()).find("would overwrite the input"), std::string::npos);
    }
    EXPECT_EQ(ReadFile(folder / "in.wav"), wav);
  }
}

TEST(Prepare, ReadsADataChunkCutShortUpToTheFilesEnd) {
  const WavLayout mono{1, 44100, 16, false, false};
  const std::string whole = WavFile(mono, Pattern());
  const Prepared prepared = Prepare(whole.substr(0, whole.size() - 8));
  EXPECT_EQ(prepared.samples, kPrepared.substr(0, 4));
  EXPECT_NE(prepared.report.find("declares 16 bytes, but the file holds 8"), std::string::npos)
      << prepared.report;
}

}  // namespace
