// What the programs tell a user about the way forward, run as programs: the converter's lines
// on standard error after a refused recording, an image without blocks and a log that cannot be
// written, each after the converter's own messages and never in its report or log; and the
// companion tool taking the recordings people make.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Temp_folder.h"
#include "tool/Uef_images.h"
#include "tool/Wav_files.h"

namespace {

using TapeBuilder_ns::FileSpec;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::ReadTextFile;
using TestSupport::RunResult;
using TestSupport::RunVarnstow;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

// Runs varnstow-tool in folder, its temporary files in folder/tmp (made here).
RunResult RunTool(const std::string& folder, const std::vector<std::string>& arguments) {
  TestSupport::RunOptions options;
  options.program = VARNSTOW_TOOL_EXE;
  options.arguments = arguments;
  options.workingFolder = folder;
  std::filesystem::create_directories(folder + "/tmp");
  options.environment = {
      {"TMPDIR", folder + "/tmp"}, {"TMP", folder + "/tmp"}, {"TEMP", folder + "/tmp"}};
  return TestSupport::Run(options);
}

const std::string kCorpus = std::string(VARNSTOW_SOURCE_DIR) + "/../shared/corpus/real";

// The data chunks of an image file, gzip-compressed as the programs write it by default.
std::vector<std::string> DataChunks(const std::string& path) {
  std::vector<std::string> blocks;
  const std::string image = TestSupport::GunzipFile(path);
  for (const auto& chunk : TestSupport::ChunksWithId(TestSupport::ParseChunks(image), 0x0100))
    blocks.push_back(chunk.data);
  return blocks;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i)
    data[i] = static_cast<uint8_t>((i * 7) ^ seed);
  return data;
}

const FileSpec kFile{"GAME", 0x1900, 0x8023, Data(600, 3)};
constexpr size_t kBlocks = 3;

std::vector<int8_t> TapeSamples(uint32_t rate = 44100, int phase = 0) {
  TapeBuilder_ns::RenderOptions options;
  options.sampleRate = rate;
  options.phaseDegrees = phase;
  options.noiseStdDev = 1.5;
  return TapeBuilder_ns::RenderSamples(TapeBuilder_ns::StandardTape({kFile}), options);
}

// The tape as a sound program records it: 16-bit stereo, the tape quietly in the right channel
// above a DC level, a weaker copy with hum in the left.
std::string StereoCapture(const ToolTest::WavLayout& layout, int phase = 0) {
  const std::vector<int8_t> samples = TapeSamples(layout.rate, phase);
  std::vector<double> frames;
  for (size_t i = 0; i < samples.size(); ++i) {
    for (uint16_t c = 0; c < layout.channels; ++c) {
      const double tape = samples[i] / 128.0;
      frames.push_back(c + 1 == layout.channels
                           ? 0.05 + tape * 0.3
                           : 0.02 * ((i / 300) % 2 == 0 ? 1 : -1) + tape * 0.05);
    }
  }
  return ToolTest::WavFile(layout, frames);
}

// The words of a command line written with double quotes around names holding blanks.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any)
        words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any)
    words.push_back(word);
  return words;
}

// The command line that follows lead in text, up to the first of the given ends.
std::vector<std::string> CommandAfter(const std::string& text, const std::string& lead,
                                      const std::string& ends) {
  const size_t at = text.find(lead);
  if (at == std::string::npos)
    return {};
  const size_t start = at + lead.size();
  size_t end = start;
  bool quoted = false;
  while (end < text.size() && (quoted || ends.find(text[end]) == std::string::npos)) {
    quoted = text[end] == '"' ? !quoted : quoted;
    ++end;
  }
  return Words(text.substr(start, end - start));
}

// ---------------------------------------------------------------------------
// The converter

TEST(ConverterGuidance, WavSampleFormsGetThePrepareCommandAfterTheirMessage) {
  struct Case {
    ToolTest::WavLayout layout;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{2, 44100, 16, false, false}, "Stereo and 16 bit samples not supported"},
      {{1, 44100, 16, false, false}, "16 bit samples not supported"},
      {{2, 44100, 8, false, false}, "Stereo samples not supported"},
      {{1, 48000, 24, false, false}, "WAV file neither 8 bit nor 16 bit"},
      {{2, 44100, 32, true, false}, "WAV file uses unsupported data format"},
      {{2, 44100, 16, false, true}, "WAV file uses unsupported data format"},
      {{3, 44100, 16, false, false}, "WAV file neither stereo nor mono"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + std::string(" ") + std::to_string(c.layout.bits));
    TempFolder folder;
    WriteFile(folder / "side a.wav", StereoCapture(c.layout));
    const RunResult refused = RunVarnstow(folder.Path(), {"-i", "side", "a.wav", "-b"});
    EXPECT_EQ(refused.exitCode, 0);
    EXPECT_EQ(refused.output, "\a");
    // The converter's message comes first, unchanged, then one line with the way forward.
    const std::string first = "\n" + std::string(c.message) + ".\n";
    ASSERT_EQ(refused.errors.substr(0, first.size()), first) << refused.errors;
    const std::string advice = refused.errors.substr(first.size());
    EXPECT_EQ(Count(advice, "\n"), 1u) << advice;
    EXPECT_EQ(advice.back(), '\n');
    EXPECT_TRUE(Holds(advice, "varnstow-tool recover \"side a.wav\" -o \"side a.uef\"")) << advice;
    EXPECT_FALSE(FileExists(folder / "side a.log"));

    // The commands it gives work as they stand: prepare, then the converter reads every block.
    const std::vector<std::string> prepare = CommandAfter(advice, "varnstow-tool ", ",");
    ASSERT_EQ(prepare.size(), 4u) << advice;
    EXPECT_EQ(prepare[0], "prepare");
    EXPECT_EQ(prepare[1], "side a.wav");
    const RunResult prepared = RunTool(folder.Path(), prepare);
    ASSERT_EQ(prepared.exitCode, 0) << prepared.errors;
    const std::vector<std::string> convert = CommandAfter(advice, "run varnstow ", "(");
    ASSERT_EQ(convert.size(), 4u) << advice;
    std::vector<std::string> arguments = convert;
    arguments.push_back("-b");
    const RunResult converted = RunVarnstow(folder.Path(), arguments);
    EXPECT_EQ(converted.exitCode, 0);
    EXPECT_EQ(converted.errors, "");
    EXPECT_EQ(Count(converted.output, "Checksum ok"), kBlocks) << converted.output;
    EXPECT_EQ(DataChunks((folder / convert[3])).size(), kBlocks);
  }
}

TEST(ConverterGuidance, OtherRefusalsOfAWavFileGetNoAdvice) {
  TempFolder folder;
  // Compressed (ADPCM), which prepare cannot read either, and 12-bit samples.
  std::string adpcm = StereoCapture({1, 44100, 16, false, false});
  adpcm[20] = 2;
  WriteFile(folder / "adpcm.wav", adpcm);
  std::string twelve = StereoCapture({1, 44100, 16, false, false});
  twelve[34] = 12;
  WriteFile(folder / "twelve.wav", twelve);
  WriteFile(folder / "short.wav", "RIFF");
  for (const auto& [name, message] :
       {std::pair{"adpcm.wav", "\nWAV file uses unsupported data format."},
        std::pair{"twelve.wav", "\nWAV file neither 8 bit nor 16 bit."},
        std::pair{"short.wav", "\nFile reading error."}}) {
    const RunResult refused = RunVarnstow(folder.Path(), {"-i", name});
    EXPECT_EQ(refused.errors, message) << name;
  }
}

TEST(ConverterGuidance, SoundFormatsItDoesNotReadGetTheWayToWav) {
  TempFolder folder;
  for (const std::string name : {"side a.flac", "tape.ogg", "tape.mp3", "TAPE.AIFF", "tape.aif"}) {
    SCOPED_TRACE(name);
    WriteFile(folder / name, "not read");
    std::vector<std::string> arguments = {"-i"};
    for (const std::string& word : Words(name))
      arguments.push_back(word);
    const RunResult refused = RunVarnstow(folder.Path(), arguments);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.output, "INVALID OPTION.");
    EXPECT_EQ(Count(refused.errors, "\n"), 1u) << refused.errors;
    const std::string stem = name.substr(0, name.rfind('.'));
    const std::string wav =
        stem.find(' ') == std::string::npos ? stem + ".wav" : "\"" + stem + ".wav\"";
    EXPECT_TRUE(Holds(refused.errors, "save the recording as WAV")) << refused.errors;
    EXPECT_TRUE(Holds(refused.errors, "varnstow-tool prepare " + wav + " -o ")) << refused.errors;
    EXPECT_TRUE(Holds(refused.errors, "varnstow-tool recover " + wav)) << refused.errors;
  }
  // Other names and other mistakes: the converter's answer alone.
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"-i", "tape.xyz"},
                                                    {"-i", "tape.flacs"},
                                                    {"-i", "tape.wav", "-x"}}) {
    const RunResult refused = RunVarnstow(folder.Path(), arguments);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.output, "INVALID OPTION.");
    EXPECT_EQ(refused.errors, "") << arguments[1];
  }
}

TEST(ConverterGuidance, AnImageWithoutBlocksSaysWhatToTry) {
  TempFolder folder;
  TapeBuilder_ns::WriteWav(folder / "inverted.wav", TapeSamples(44100, 180), 44100);
  TapeBuilder_ns::WriteWav(folder / "good.wav", TapeSamples(), 44100);
  // Without -p the inverted tape gives nothing: the report is as ever, the advice after it.
  const RunResult empty = RunVarnstow(folder.Path(), {"-i", "inverted.wav", "-b"});
  EXPECT_EQ(empty.exitCode, 0);
  EXPECT_EQ(Count(empty.output, "Checksum ok"), 0u);
  EXPECT_EQ(ReadTextFile(folder / "inverted.log"), empty.output);
  EXPECT_EQ(Count(empty.errors, "\n"), 1u) << empty.errors;
  EXPECT_TRUE(Holds(empty.errors, "no block was found")) << empty.errors;
  EXPECT_TRUE(Holds(empty.errors, "with -p")) << empty.errors;
  const std::vector<std::string> recover = CommandAfter(empty.errors, "varnstow-tool ", ",");
  ASSERT_EQ(recover.size(), 4u) << empty.errors;
  EXPECT_EQ(recover[0], "recover");
  EXPECT_EQ(recover[1], "inverted.wav");
  EXPECT_NE(recover[3], "inverted.uef");  // the image just written is not replaced
  const RunResult recovered = RunTool(folder.Path(), recover);
  EXPECT_EQ(recovered.exitCode, 0) << recovered.errors;
  EXPECT_EQ(DataChunks((folder / recover[3])).size(), kBlocks);
  // With -p, as it says, every block.
  const RunResult shifted = RunVarnstow(folder.Path(), {"-i", "inverted.wav", "-b", "-p"});
  EXPECT_EQ(Count(shifted.output, "Checksum ok"), kBlocks);
  EXPECT_EQ(shifted.errors, "");

  // A normal tape read with -p suggests leaving it out; a tape with blocks gets no advice.
  const RunResult wrong = RunVarnstow(folder.Path(), {"-i", "good.wav", "-b", "-p"});
  EXPECT_EQ(Count(wrong.output, "Checksum ok"), 0u);
  EXPECT_TRUE(Holds(wrong.errors, "without -p")) << wrong.errors;
  EXPECT_EQ(RunVarnstow(folder.Path(), {"-i", "good.wav", "-b"}).errors, "");
}

// The log's name taken by a folder, a read-only folder, a full disk: the report still shows
// on the console, the reason once on standard error, and the run ends as ever.
TEST(ConverterGuidance, ALogThatCannotBeWrittenIsSaidAndTheReportStillShows) {
  TempFolder folder;
  TapeBuilder_ns::WriteWav(folder / "tape.wav", TapeSamples(), 44100);
  const RunResult normal = RunVarnstow(folder.Path(), {"-i", "tape.wav", "-b", "-o", "normal"});
  ASSERT_EQ(Count(normal.output, "Checksum ok"), kBlocks);
  const std::string report = normal.output.substr(normal.output.find("Found"));
  std::filesystem::remove(folder / "tape.log");

  auto expectReportedWithout = [&](const RunResult& run, const char* why) {
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Holds(run.output, "Varnstow Corvel V1.7.\n\nCommand line:\n")) << run.output;
    EXPECT_TRUE(Holds(run.output, report)) << run.output;
    EXPECT_EQ(Count(run.errors, "\n"), 1u) << run.errors;
    EXPECT_TRUE(Holds(run.errors, std::string("the log file tape.log ") + why)) << run.errors;
  };

  std::filesystem::create_directory(folder / "tape.log");
  const RunResult folderLog = RunVarnstow(folder.Path(), {"-i", "tape.wav", "-b", "-o", "a"});
  expectReportedWithout(folderLog, "could not be created");
  EXPECT_EQ(DataChunks((folder / "a")).size(), kBlocks);
  std::filesystem::remove(folder / "tape.log");

  // A failure after the header still ends with its own message first (where a folder opens
  // as a file, so that the run gets as far as the log; on Windows it does not).
  std::filesystem::create_directory(folder / "dir.raw");
  std::filesystem::create_directory(folder / "dir.log");
  const RunResult failed = RunVarnstow(folder.Path(), {"-i", "dir.raw"});
  if (Holds(failed.errors, "Could not find dir.raw")) {
    EXPECT_EQ(failed.errors.substr(0, 25), "\nCould not find dir.raw.\n");
    EXPECT_TRUE(Holds(failed.errors, "the log file dir.log could not be created")) << failed.errors;
  }

  // A device in the log's place (here one that is always full) is not written to: the log is
  // written beside its name and renamed into place, which would replace the device.
  if (std::filesystem::exists("/dev/full")) {
    std::filesystem::create_symlink("/dev/full", folder / "tape.log");
    const RunResult full = RunVarnstow(folder.Path(), {"-i", "tape.wav", "-b", "-o", "b"});
    expectReportedWithout(full, "could not be created");
    EXPECT_EQ(DataChunks((folder / "b")).size(), kBlocks);
    std::filesystem::remove(folder / "tape.log");
  }

  TempFolder other;
  std::filesystem::create_directory(other / "locked");
  TapeBuilder_ns::WriteWav(other / "locked/tape.wav", TapeSamples(), 44100);
  std::filesystem::permissions(other / "locked", std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  if (TestSupport::FolderPermissionsApply()) {
    const RunResult locked =
        RunVarnstow(other.Path(), {"-i", "locked/tape.wav", "-b", "-o", "c.uef"});
    EXPECT_EQ(locked.exitCode, 0);
    EXPECT_TRUE(Holds(locked.output, report)) << locked.output;
    EXPECT_TRUE(Holds(locked.errors, "the log file locked/tape.log could not be created"))
        << locked.errors;
    EXPECT_EQ(DataChunks((other / "c.uef")).size(), kBlocks);
  }
  std::filesystem::permissions(other / "locked", std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
}

// ---------------------------------------------------------------------------
// varnstow-tool histogram

// The arguments after "run varnstow with " in a summary; empty when there is none.
std::vector<std::string> Suggestion(const std::string& summary) {
  return CommandAfter(summary, "run varnstow with ", "\n");
}

// The line of text that starts with lead.
std::string LineStarting(const std::string& text, const std::string& lead) {
  const size_t at = text.find(lead);
  return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

size_t BlocksWith(const std::string& folder, const std::string& recording,
                  std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"-i", recording, "-b", "-o", "check.uef"});
  return Count(RunVarnstow(folder, arguments).output, "Checksum ok");
}

// A 16-bit stereo capture of an inverted tape: measured as prepare makes it, in both phases,
// and the summary says that -p reads it.
TEST(HistogramGuidance, TakesAStereoCaptureAndSuggestsThePhaseThatReadsIt) {
  TempFolder folder;
  WriteFile(folder / "capture.wav", StereoCapture({2, 44100, 16, false, false}, 180));
  const RunResult run = RunTool(folder.Path(), {"histogram", "capture.wav", "-o", "waves.svg"});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  EXPECT_TRUE(Holds(ReadFile(folder / "waves.svg"), "<svg"));
  EXPECT_TRUE(Holds(run.output,
                    "'capture.wav': read as varnstow-tool prepare makes it: the right "
                    "channel (the larger signal), "))
      << run.output;
  EXPECT_TRUE(Holds(run.output,
                    "blocks varnstow reads: 0 in the normal phase, 3 in the shifted "
                    "phase\n"))
      << run.output;
  EXPECT_EQ(Suggestion(run.output), std::vector<std::string>{"-p"}) << run.output;
  EXPECT_FALSE(Holds(run.output, "warning")) << run.output;
  // The temporary copy is gone.
  EXPECT_TRUE(std::filesystem::is_empty(folder / "tmp"));

  // The same waves as the copy prepare writes, measured by histogram as it is.
  ASSERT_EQ(
      RunTool(folder.Path(), {"prepare", "capture.wav", "-o", "ready.wav", "--quiet"}).exitCode, 0);
  const RunResult ready = RunTool(folder.Path(), {"histogram", "ready.wav", "-o", "ready.svg"});
  EXPECT_FALSE(Holds(ready.output, "prepare makes it")) << ready.output;
  EXPECT_EQ(LineStarting(ready.output, "waves measured"),
            LineStarting(run.output, "waves measured"));
  EXPECT_EQ(LineStarting(ready.output, "the shifted phase"),
            LineStarting(run.output, "the shifted phase"));
  EXPECT_EQ(BlocksWith(folder.Path(), "ready.wav", Suggestion(run.output)), kBlocks);

  // --channel takes a channel by name or number; one the recording lacks is a usage error.
  const RunResult left =
      RunTool(folder.Path(), {"histogram", "capture.wav", "-o", "left.svg", "--channel", "left"});
  EXPECT_TRUE(Holds(left.output, "prepare makes it: the left channel, ")) << left.output;
  const RunResult second =
      RunTool(folder.Path(), {"histogram", "capture.wav", "-o", "two.svg", "--channel", "2"});
  EXPECT_TRUE(Holds(second.output, "prepare makes it: the right channel, ")) << second.output;
  const RunResult third =
      RunTool(folder.Path(), {"histogram", "capture.wav", "-o", "three.svg", "--channel", "3"});
  EXPECT_EQ(third.exitCode, 2);
  EXPECT_TRUE(Holds(third.errors, "has 2")) << third.errors;
  EXPECT_FALSE(FileExists(folder / "three.svg"));
  EXPECT_EQ(RunTool(folder.Path(), {"histogram", "ready.wav", "-o", "x.svg", "--channel", "right"})
                .exitCode,
            2);

  // --quiet: the picture, and nothing on the console.
  const RunResult quiet =
      RunTool(folder.Path(), {"histogram", "capture.wav", "-o", "quiet.svg", "--quiet"});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.output, "");
  EXPECT_EQ(quiet.errors, "");
  EXPECT_EQ(ReadFile(folder / "quiet.svg"), ReadFile(folder / "waves.svg"));
}

// On the inverted real tapes the other phase reads every block; a -s that reads none is not
// suggested.
TEST(HistogramGuidance, OnTheInvertedRealTapesSuggestsMinusPAndNoSpeed) {
  for (const auto& [name, blocks] : {std::pair{"Swarm_Computer_Concepts.csw", size_t{37}},
                                     std::pair{"Uridium.csw", size_t{102}}}) {
    SCOPED_TRACE(name);
    const std::string path = kCorpus + "/" + name;
    ASSERT_TRUE(FileExists(path)) << "the real tapes are expected in " << kCorpus;
    TempFolder folder;
    WriteFile(folder / name, ReadFile(path));
    const RunResult run = RunTool(folder.Path(), {"histogram", name, "-o", "waves.svg"});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const std::vector<std::string> suggestion = Suggestion(run.output);
    EXPECT_EQ(suggestion, std::vector<std::string>{"-p"}) << run.output;
    EXPECT_TRUE(Holds(run.output, "varnstow needs no -s")) << run.output;
    EXPECT_FALSE(Holds(run.output, "warning")) << run.output;
    EXPECT_EQ(BlocksWith(folder.Path(), name, suggestion), blocks);
  }
}

TEST(HistogramGuidance, SuggestsSpeedOnlyWhereItReadsMoreAndWarnsOfNoise) {
  TempFolder folder;
  TapeBuilder_ns::RenderOptions options;
  const auto tape = TapeBuilder_ns::StandardTape({kFile});
  // 22% slow: nothing is read without -s, everything with the -s suggested.
  options.speed = 0.78;
  TapeBuilder_ns::WriteWav(folder / "slow.wav", TapeBuilder_ns::RenderSamples(tape, options),
                           44100);
  const RunResult slow = RunTool(folder.Path(), {"histogram", "slow.wav", "-o", "slow.svg"});
  const std::vector<std::string> suggestion = Suggestion(slow.output);
  ASSERT_EQ(suggestion.size(), 3u) << slow.output;
  EXPECT_EQ(suggestion[0] + suggestion[1], "-s1");
  EXPECT_EQ(BlocksWith(folder.Path(), "slow.wav", {}), 0u);
  EXPECT_EQ(BlocksWith(folder.Path(), "slow.wav", suggestion), kBlocks);

  // 5% fast: the long window is off centre, but every block is read already.
  options.speed = 1.05;
  TapeBuilder_ns::WriteWav(folder / "fast.wav", TapeBuilder_ns::RenderSamples(tape, options),
                           44100);
  const RunResult fast = RunTool(folder.Path(), {"histogram", "fast.wav", "-o", "fast.svg"});
  EXPECT_TRUE(Suggestion(fast.output).empty()) << fast.output;
  EXPECT_TRUE(Holds(fast.output, "would centre the long window but reads no more blocks (3)"))
      << fast.output;
  EXPECT_FALSE(Holds(fast.output, "warning")) << fast.output;

  // Heavy noise: most waves are stray ones, and the summary warns of it.
  options.speed = 1.0;
  options.noiseStdDev = 60;
  TapeBuilder_ns::WriteWav(folder / "noisy.wav", TapeBuilder_ns::RenderSamples(tape, options),
                           44100);
  const RunResult noisy = RunTool(folder.Path(), {"histogram", "noisy.wav", "-o", "noisy.svg"});
  EXPECT_EQ(noisy.exitCode, 0);
  EXPECT_TRUE(Holds(noisy.output, "are neither long nor short: the recording is noisy"))
      << noisy.output;
}

// ---------------------------------------------------------------------------
// varnstow-tool recover

std::string NoiseWav(size_t samples) {
  std::vector<int8_t> noise(samples);
  uint32_t state = 12345;
  for (int8_t& sample : noise) {
    state = state * 1103515245u + 12345u;
    sample = static_cast<int8_t>(static_cast<int>((state >> 16) % 201) - 100);
  }
  const std::vector<uint8_t> wav = TapeBuilder_ns::EncodeWav(noise, 44100);
  return std::string(wav.begin(), wav.end());
}

TEST(RecoverGuidance, NothingFoundSaysWhatToTryAndQuietSaysNothing) {
  TempFolder folder;
  WriteFile(folder / "noise.wav", NoiseWav(300000));
  const RunResult run = RunTool(folder.Path(), {"recover", "noise.wav", "-o", "noise.uef"});
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_TRUE(Holds(run.output, "Total: 0 good blocks in 0 files, 0 missing;")) << run.output;
  EXPECT_EQ(Count(run.errors, "\n"), 1u) << run.errors;
  EXPECT_TRUE(Holds(run.errors, "varnstow-tool: no pass found a block, so 'noise.uef' holds none"))
      << run.errors;
  EXPECT_TRUE(FileExists(folder / "noise.uef"));
  // The histogram it points to runs as written, and tells of the noise.
  const std::vector<std::string> histogram = CommandAfter(run.errors, "with varnstow-tool ", "(");
  ASSERT_EQ(histogram.size(), 4u) << run.errors;
  EXPECT_EQ(histogram[0], "histogram");
  const RunResult drawn = RunTool(folder.Path(), histogram);
  EXPECT_EQ(drawn.exitCode, 0) << drawn.errors;
  EXPECT_TRUE(Holds(drawn.output, "the recording is noisy")) << drawn.output;
  // The JSON report too is followed by the advice.
  const RunResult json =
      RunTool(folder.Path(), {"recover", "noise.wav", "-o", "noise.uef", "--json"});
  EXPECT_EQ(json.output.substr(0, 1), "{");
  EXPECT_EQ(json.errors, run.errors);

  // A tape whose blocks are found gets no advice; --quiet writes the same image and says
  // nothing, found or not.
  TapeBuilder_ns::WriteWav(folder / "tape.wav", TapeSamples(), 44100);
  const RunResult found = RunTool(folder.Path(), {"recover", "tape.wav", "-o", "tape.uef"});
  EXPECT_EQ(found.errors, "");
  EXPECT_EQ(DataChunks(folder / "tape.uef").size(), kBlocks);
  for (const char* name : {"tape.wav", "noise.wav"}) {
    const RunResult quiet = RunTool(folder.Path(), {"recover", name, "-o", "quiet.uef", "--quiet"});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.output, "") << name;
    EXPECT_EQ(quiet.errors, "") << name;
    EXPECT_EQ(DataChunks(folder / "quiet.uef"),
              DataChunks(folder / (std::string(name) == "tape.wav" ? "tape.uef" : "noise.uef")));
  }
}

// The totals count what the files count: the missing blocks, and the files whose last block
// was not found.
TEST(RecoverGuidance, TotalsAgreeWithTheFiles) {
  const std::string path = kCorpus + "/Swarm_Computer_Concepts.csw";
  ASSERT_TRUE(FileExists(path)) << "the real tapes are expected in " << kCorpus;
  TempFolder folder;
  WriteFile(folder / "swarm.csw", ReadFile(path));
  // And a tape cut off inside its last block.
  const std::vector<int8_t> samples = TapeSamples();
  TapeBuilder_ns::WriteWav(
      folder / "cut.wav",
      std::vector<int8_t>(samples.begin(),
                          samples.begin() + static_cast<long>(samples.size() * 8 / 10)),
      44100);
  for (const char* name : {"swarm.csw", "cut.wav"}) {
    SCOPED_TRACE(name);
    const RunResult run = RunTool(folder.Path(), {"recover", name, "-o", "out.uef"});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    size_t missing = 0, withoutLast = 0;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("File \"", 0) != 0)
        continue;
      const size_t at = line.find(" missing");
      const std::string count =
          at == std::string::npos ? "" : line.substr(line.rfind(' ', at - 1) + 1, at);
      if (!count.empty() && count.rfind("none", 0) != 0)
        missing += std::stoul(count);
      withoutLast += Holds(line, "last block not found") ? 1u : 0u;
    }
    // Swarm's files are all complete now that its block at 300 baud is read; the cut tape
    // lacks the end of its last file.
    const size_t expected = std::string(name) == "cut.wav" ? 1u : 0u;
    EXPECT_EQ(withoutLast, expected) << run.output;
    const std::string total = LineStarting(run.output, "Total: ");
    EXPECT_TRUE(Holds(
        total, ", " + std::to_string(missing) +
                   (expected == 1 ? " missing, last block not found in 1 file;" : " missing;")))
        << total;
    const RunResult json = RunTool(folder.Path(), {"recover", name, "-o", "out.uef", "--json"});
    EXPECT_TRUE(Holds(json.output, "\"missing\": " + std::to_string(missing) + ", "))
        << json.output;
    EXPECT_TRUE(Holds(json.output, "\"lastBlockNotFound\": " + std::to_string(expected) + "}"))
        << json.output;
    EXPECT_EQ(Count(json.output, "\"lastBlockFound\": false"), expected);
  }
}

}  // namespace
