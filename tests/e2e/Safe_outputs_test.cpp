// The user's recordings and earlier outputs are never lost, through the real programs: -d run
// several times at once in one folder, on files of every kind (read-only, with another mode
// and owner, a symbolic link, a file with two names, a WAV file with chunks after its data, a
// sparse RAW file beyond 4 GiB), outputs that would be one of the inputs or each other, and
// varnstow-tool prepare interrupted while it writes, and recover as its image takes its name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dcoffset/Dc_offset_fixing_functions.h"
#include "platform/File_system.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"
#include "support/Process.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"
#include "tool/Commands.h"
#include "tool/Uef_images.h"

namespace {

using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::RunningProcess;
using TestSupport::RunOptions;
using TestSupport::RunResult;
using TestSupport::RunVarnstow;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

const char kFixed[] = "DC offsets successfully fixed.";

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) {
    data[i] = static_cast<uint8_t>(i * 13 + seed);
  }
  return data;
}

// A drifting tape of one file as signed RAW bytes; seed makes each one different.
std::string DriftingRaw(size_t length, uint8_t seed) {
  TapeBuilder_ns::RenderOptions options;
  options.driftAmplitude = 20 + seed;
  options.driftFrequencyHz = 3;
  const auto samples = TapeBuilder_ns::RenderSamples(
      TapeBuilder_ns::StandardTape({{"TAPE", 0x1900, 0x1900, Data(length, seed)}}), options);
  return std::string(samples.begin(), samples.end());
}

// What the correction makes of bytes as the file name (its extension says RAW or WAV), worked
// out in this process in a folder of its own.
std::string CorrectedInProcess(const std::string& name, const std::string& bytes) {
  TempFolder folder;
  const std::string path = folder / name;
  WriteFile(path, bytes);
  if (name.substr(name.size() - 4) == ".wav") {
    SoundInput_ns::WAVSound source;
    source.Open(path);
    DCOffsetFunctions_ns::FixDCOffsets(source, path);
  } else {
    SoundInput_ns::RAWSound source;
    source.Open(path);
    DCOffsetFunctions_ns::FixDCOffsets(source, path);
  }
  return ReadFile(path);
}

std::vector<std::string> FolderContents(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

RunOptions VarnstowOptions(const TempFolder& folder, const std::vector<std::string>& arguments) {
  RunOptions options;
  options.arguments = arguments;
  options.workingFolder = folder.Path();
  options.environment = {{"XDG_CONFIG_HOME", folder / "config"}, {"HOME", folder.Path()}};
  return options;
}

RunResult RunTool(const std::string& folder, const std::vector<std::string>& arguments) {
  RunOptions options;
  options.program = VARNSTOW_TOOL_EXE;
  options.arguments = arguments;
  options.workingFolder = folder;
  return TestSupport::Run(options);
}

// The stderr of a run that ended with message.
std::string Failure(const std::string& message) {
  return "\n" + message + ".";
}

// -------------------------------------------------------------------------------------------
// -d

TEST(SafeCorrection, RunsAtOnceInOneFolderEachEndWithTheirOwnRecording) {
  constexpr int kRuns = 3;
  std::vector<std::string> originals;
  std::vector<std::string> corrected;
  for (int i = 0; i < kRuns; ++i) {
    std::string bytes;
    while (bytes.size() < 3000000) {
      bytes += DriftingRaw(3000, static_cast<uint8_t>(i * 7));
    }
    originals.push_back(bytes);
    corrected.push_back(CorrectedInProcess("tape.raw", bytes));
    ASSERT_NE(corrected.back(), bytes);
  }
  for (int round = 0; round < 3; ++round) {
    TempFolder folder;
    // Someone's file that happens to have the name the temporary file once had.
    WriteFile(folder / "DCOffsetsFixed.raw", "not the program's");
    for (int i = 0; i < kRuns; ++i) {
      WriteFile(folder / ("tape" + std::to_string(i) + ".raw"), originals[size_t(i)]);
    }
    std::vector<std::unique_ptr<RunningProcess>> runs;
    for (int i = 0; i < kRuns; ++i) {
      runs.push_back(std::make_unique<RunningProcess>(
          VarnstowOptions(folder, {"-i", "tape" + std::to_string(i) + ".raw", "-d"})));
    }
    for (int i = 0; i < kRuns; ++i) {
      const std::string name = "tape" + std::to_string(i);
      const RunResult result = runs[size_t(i)]->Wait();
      EXPECT_EQ(result.errors, "") << name;
      EXPECT_NE(result.output.find(kFixed), std::string::npos) << name;
      EXPECT_TRUE(ReadFile(folder / (name + ".raw")) == corrected[size_t(i)])
          << name << " is not its own corrected recording (round " << round << ")";
    }
    EXPECT_EQ(ReadFile(folder / "DCOffsetsFixed.raw"), "not the program's");
    EXPECT_EQ(FolderContents(folder.Path()),
              (std::vector<std::string>{"DCOffsetsFixed.raw", "tape0.log", "tape0.raw", "tape0.uef",
                                        "tape1.log", "tape1.raw", "tape1.uef", "tape2.log",
                                        "tape2.raw", "tape2.uef"}));
  }
}

TEST(SafeCorrection, KeepsTheModeAndOwnerOfTheRecording) {
  const std::string original = DriftingRaw(2000, 1);
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  WriteFile(path, original);
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const bool superuser = geteuid() == 0;
  if (superuser) {
    ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
  }
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-d"});
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(ReadFile(path), CorrectedInProcess("tape.raw", original));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  if (superuser) {
    EXPECT_EQ(info.st_uid, 4321u);
    EXPECT_EQ(info.st_gid, 4322u);
  } else {
    EXPECT_EQ(info.st_uid, geteuid());
  }
}

TEST(SafeCorrection, RefusesAReadOnlyRecordingBeforeAnyWork) {
  const std::string original = DriftingRaw(2000, 2);
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  WriteFile(path, original);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-d"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, Failure("Cannot fix DC offsets in the read-only file tape.raw.  Make "
                                   "it writable and run again with the -d switch"));
  EXPECT_EQ(ReadFile(path), original);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0444u);
  EXPECT_EQ(FolderContents(folder.Path()), (std::vector<std::string>{"tape.log", "tape.raw"}));
}

TEST(SafeCorrection, FollowsASymbolicLinkAndKeepsIt) {
  const std::string original = DriftingRaw(2000, 3);
  TempFolder folder;
  std::filesystem::create_directory(folder / "store");
  WriteFile(folder / "store/real.raw", original);
  std::filesystem::create_symlink("store/real.raw", folder / "link.raw");
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "link.raw", "-d"});
  EXPECT_EQ(result.errors, "");
  EXPECT_NE(result.output.find(kFixed), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "link.raw"));
  EXPECT_EQ(std::filesystem::read_symlink(folder / "link.raw"), "store/real.raw");
  EXPECT_EQ(ReadFile(folder / "store/real.raw"), CorrectedInProcess("tape.raw", original));
  EXPECT_EQ(FolderContents(folder / "store"), std::vector<std::string>{"real.raw"});
}

TEST(SafeCorrection, RefusesARecordingWithOtherNames) {
  // Replacing one name would leave the other with the old recording: refused.
  const std::string original = DriftingRaw(2000, 4);
  TempFolder folder;
  WriteFile(folder / "tape.raw", original);
  std::filesystem::create_hard_link(folder / "tape.raw", folder / "also.raw");
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-d"});
  EXPECT_EQ(result.errors,
            Failure("Cannot fix DC offsets in tape.raw, which has other names (hard links).  "
                    "Copy it to a file of its own and run again with the -d switch"));
  EXPECT_EQ(ReadFile(folder / "tape.raw"), original);
  EXPECT_EQ(std::filesystem::hard_link_count(folder / "tape.raw"), 2u);
  EXPECT_TRUE(std::filesystem::equivalent(folder / "tape.raw", folder / "also.raw"));
  EXPECT_EQ(FolderContents(folder.Path()),
            (std::vector<std::string>{"also.raw", "tape.log", "tape.raw"}));
}

TEST(SafeCorrection, WavFilesKeepTheChunksAfterTheirData) {
  const std::string raw = DriftingRaw(2000, 5);
  const std::vector<int8_t> samples(raw.begin(), raw.end());
  const auto encoded = TapeBuilder_ns::EncodeWav(samples, 44100);
  std::string bytes(encoded.begin(), encoded.end());
  const std::string list = std::string("LIST") + std::string("\x0c\0\0\0", 4) + "INFOISFT\0\0\0\0";
  bytes += list;
  const uint32_t riff = static_cast<uint32_t>(bytes.size() - 8);
  for (int i = 0; i < 4; ++i) {
    bytes[size_t(4 + i)] = static_cast<char>((riff >> (8 * i)) & 0xFF);
  }
  TempFolder folder;
  WriteFile(folder / "tape.wav", bytes);
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.wav", "-d"});
  EXPECT_EQ(result.errors, "");
  const std::string now = ReadFile(folder / "tape.wav");
  ASSERT_EQ(now.size(), bytes.size());
  EXPECT_EQ(now.substr(0, 44), bytes.substr(0, 44));
  EXPECT_EQ(now.substr(44 + samples.size()), bytes.substr(44 + samples.size()));
  EXPECT_EQ(now.substr(now.size() - list.size()), list);
  EXPECT_NE(now.substr(44, samples.size()), bytes.substr(44, samples.size()));
  EXPECT_EQ(now, CorrectedInProcess("tape.wav", bytes));
}

// A sparse RAW file of length bytes whose last bytes are tail: zeros (a hole, no disk used)
// before them.
void WriteSparseRaw(const std::string& path, uint64_t length, const std::string& tail) {
  WriteFile(path, "");
  std::filesystem::resize_file(path, length - tail.size());
  std::ofstream file(path, std::ios::binary | std::ios::app);
  file.write(tail.data(), static_cast<std::streamsize>(tail.size()));
}

std::string LastBytes(const std::string& path, size_t count) {
  std::ifstream file(path, std::ios::binary);
  file.seekg(-static_cast<std::streamoff>(count), std::ios::end);
  std::string bytes(count, '\0');
  file.read(&bytes[0], static_cast<std::streamsize>(count));
  return bytes;
}

TEST(SafeCorrection, RawFilesBeyond2And4GiBAreCorrectedWhole) {
#if defined(__SANITIZE_ADDRESS__)
  // Six gigabytes of samples corrected and decoded: minutes in an unoptimised, instrumented
  // build. The optimised builds run it.
  GTEST_SKIP() << "too slow under the sanitizers";
#endif
  // Beyond 2 GiB the length no longer fits a signed 32-bit number, beyond 4 GiB not even an
  // unsigned one. The correction of the samples near the end is that of a short file of
  // zeros followed by the same samples.
  const std::string tail = DriftingRaw(400, 6).substr(0, 1000);
  const std::string shortFile = std::string(200, '\0') + tail;
  const std::string expected = CorrectedInProcess("tape.raw", shortFile);
  for (const uint64_t length : {(uint64_t{1} << 31) + 1000, (uint64_t{1} << 32) + 1000}) {
    TempFolder folder;
    WriteSparseRaw(folder / "tape.raw", length, tail);
    const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-d", "-c"});
    // No failure; a file of zeros holds no block, which the run says after its report.
    EXPECT_EQ(result.errors.rfind("varnstow: no block was found", 0), 0u) << result.errors;
    EXPECT_NE(result.output.find(kFixed), std::string::npos) << length;
    EXPECT_EQ(std::filesystem::file_size(folder / "tape.raw"), length);
    EXPECT_TRUE(LastBytes(folder / "tape.raw", expected.size()) == expected) << length;
    EXPECT_EQ(FolderContents(folder.Path()),
              (std::vector<std::string>{"tape.log", "tape.raw", "tape.uef"}));
  }
}

// -------------------------------------------------------------------------------------------
// Outputs

TEST(SafeOutputs, TheImageAndTheLogAreNeverOneFile) {
  TempFolder folder;
  WriteFile(folder / "side.raw", DriftingRaw(300, 7));
  WriteFile(folder / "side.log", "the log of an earlier run");
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "side.raw", "-o", "side.log"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, Failure("The image and the log would both be the file side.log.  "
                                   "Give another name with -o"));
  EXPECT_EQ(ReadFile(folder / "side.log"), "the log of an earlier run");
  EXPECT_EQ(FolderContents(folder.Path()), (std::vector<std::string>{"side.log", "side.raw"}));

  // Another name of the log's file.
  std::filesystem::create_hard_link(folder / "side.log", folder / "image.uef");
  const RunResult linked = RunVarnstow(folder.Path(), {"-i", "side.raw", "-o", "image.uef"});
  EXPECT_EQ(linked.errors, Failure("The image and the log would both be the file side.log.  "
                                   "Give another name with -o"));
  EXPECT_EQ(ReadFile(folder / "side.log"), "the log of an earlier run");
}

TEST(SafeOutputs, AnImageAndALogAreReplacedOnlyWhole) {
  TempFolder folder;
  WriteFile(folder / "tape.raw", DriftingRaw(300, 8));
  WriteFile(folder / "tape.uef", "an earlier image");
  WriteFile(folder / "tape.log", "an earlier log");
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.raw"});
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(ReadFile(folder / "tape.log"), result.output);
  EXPECT_NE(ReadFile(folder / "tape.uef"), "an earlier image");
  EXPECT_EQ(FolderContents(folder.Path()),
            (std::vector<std::string>{"tape.log", "tape.raw", "tape.uef"}));
}

TEST(SafeOutputs, RenderNeverWritesOverItsImage) {
  TempFolder folder;
  const std::string bytes = ToolTest::Image({ToolTest::Chunk(0x0110, ToolTest::Le16(2000)),
                                             ToolTest::Chunk(0x0116, ToolTest::Float(1.0f))});
  WriteFile(folder / "game.uef", bytes);
  std::filesystem::create_hard_link(folder / "game.uef", folder / "other.wav");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"render", "game.uef", "-o", "game.uef", "--format", "wav"},
        std::vector<std::string>{"render", "game.uef", "-o", "other.wav"},
        std::vector<std::string>{"render", "game.uef", "-o", "./game.uef", "--format", "raw"}}) {
    const RunResult result = RunTool(folder.Path(), arguments);
    EXPECT_EQ(result.exitCode, 2) << arguments[3];
    EXPECT_EQ(result.errors,
              "varnstow-tool: the output would overwrite the input; give another name\n");
    EXPECT_EQ(ReadFile(folder / "game.uef"), bytes) << arguments[3];
  }
  EXPECT_EQ(FolderContents(folder.Path()), (std::vector<std::string>{"game.uef", "other.wav"}));
}

// A WAV file of 8-bit mono samples, mostly a sparse hole of silence: long to read and to
// write, cheap to make.
void WriteLongWav(const std::string& path, uint32_t samples) {
  const auto header = TapeBuilder_ns::WavHeader(44100, samples, samples % 2 != 0);
  std::string start(header.begin(), header.end());
  const std::string tape = DriftingRaw(3000, 10);
  for (const char sample : tape) {
    start += static_cast<char>(static_cast<uint8_t>(sample) ^ 0x80u);
  }
  WriteFile(path, start);
  std::filesystem::resize_file(path, header.size() + samples + samples % 2);
}

TEST(SafeOutputs, InterruptedPrepareLeavesNoPartialRecording) {
  TempFolder folder;
  WriteLongWav(folder / "capture.wav", 40000000);
  // How long prepare takes here: the interruptions fall into its first pass (reading), its
  // second (writing) and near its end.
  const auto start = std::chrono::steady_clock::now();
  const RunResult whole = RunTool(folder.Path(), {"prepare", "capture.wav", "-o", "whole.wav"});
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
  ASSERT_EQ(whole.exitCode, 0) << whole.errors;
  std::filesystem::remove(folder / "whole.wav");

  int interrupted = 0;
  for (const int signal : {SIGINT, SIGTERM}) {
    for (const double share : {0.2, 0.7}) {
      for (const bool earlier : {false, true}) {
        if (earlier) {
          WriteFile(folder / "tape.wav", "an earlier recording");
        }
        RunOptions options;
        options.program = VARNSTOW_TOOL_EXE;
        options.arguments = {"prepare", "capture.wav", "-o", "tape.wav"};
        options.workingFolder = folder.Path();
        RunningProcess process(options);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(static_cast<long>(static_cast<double>(took) * share)));
        process.Signal(signal);
        const RunResult result = process.Wait();
        const std::string moment = std::to_string(share) + " of " + std::to_string(took) + " ms";
        if (result.signal == 0) {
          // Finished before the signal came: the whole recording is there.
          EXPECT_EQ(result.exitCode, 0) << moment;
          ASSERT_TRUE(FileExists(folder / "tape.wav"));
          EXPECT_EQ(std::filesystem::file_size(folder / "tape.wav"),
                    std::filesystem::file_size(folder / "capture.wav"))
              << moment;
        } else {
          ++interrupted;
          EXPECT_EQ(result.signal, signal) << moment;
          if (earlier) {
            EXPECT_EQ(ReadFile(folder / "tape.wav"), "an earlier recording") << moment;
          } else {
            EXPECT_FALSE(FileExists(folder / "tape.wav")) << moment;
          }
        }
        const std::vector<std::string> names = FolderContents(folder.Path());
        EXPECT_EQ(names.size(), FileExists(folder / "tape.wav") ? 2u : 1u) << moment;
        std::filesystem::remove(folder / "tape.wav");
      }
    }
  }
  EXPECT_GT(interrupted, 0) << "every run ended before its signal";
}

// Signals the process where the written image would take its name.
Platform_ns::FileResult SignalInsteadOfRenaming(const std::string&, const std::string&) {
  std::raise(SIGTERM);
  return Platform_ns::FileResult{Platform_ns::FileError::kOther, "not renamed"};
}

// Runs recover on folder/tape.raw as varnstow-tool does, with its handler of interruptions,
// and SIGTERM comes when the image's temporary file is whole, before its rename; the handler
// ends the process. For a death test: the command runs in a child process of the test.
void RecoverSignalledBeforeTheRename(const std::string& folder, bool compress) {
  Platform_ns::RemoveTemporaryFilesOnInterruption();
  Platform_ns::TheFileOperations.Replace = SignalInsteadOfRenaming;
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  std::vector<std::string> arguments = {folder + "/tape.raw", "-o", folder + "/tape.uef"};
  if (!compress) {
    arguments.push_back("-c");
  }
  Tool_ns::RecoverCommand(arguments, io);
}

TEST(SafeOutputs, InterruptedRecoverLeavesNoTemporaryImage) {
  TempFolder folder;
  TapeBuilder_ns::WriteRaw(
      folder / "tape.raw",
      TapeBuilder_ns::RenderSamples(
          TapeBuilder_ns::StandardTape({{"TAPE", 0x1900, 0x1900, Data(600, 3)}}), {}),
      true);
  for (const bool compress : {true, false}) {
    for (const bool earlier : {false, true}) {
      if (earlier) {
        WriteFile(folder / "tape.uef", "an earlier image");
      }
      EXPECT_EXIT(RecoverSignalledBeforeTheRename(folder.Path(), compress),
                  testing::KilledBySignal(SIGTERM), "");
      const std::vector<std::string> names = FolderContents(folder.Path());
      if (earlier) {
        EXPECT_EQ(ReadFile(folder / "tape.uef"), "an earlier image") << compress;
        EXPECT_EQ(names, (std::vector<std::string>{"tape.raw", "tape.uef"})) << compress;
        std::filesystem::remove(folder / "tape.uef");
      } else {
        EXPECT_EQ(names, std::vector<std::string>{"tape.raw"}) << compress;
      }
    }
  }
}

}  // namespace
