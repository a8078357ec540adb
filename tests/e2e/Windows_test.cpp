// Whole runs of the Windows program where Windows differs: the signature in the registry, the
// file check on a file system that ignores case, the console's control events, text files
// with "\r\n" line ends, and the sound card through waveIn.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Wave_input.h"
#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Settings.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using TapeBuilder_ns::FileSpec;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::ReadTextFile;
using TestSupport::RunResult;
using TestSupport::RunVarnstow;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) {
    data[i] = static_cast<uint8_t>((i * 11) ^ seed);
  }
  return data;
}

const std::vector<FileSpec> kFiles = {{"WINDOWS", 0x1900, 0x8023, Data(300, 7)}};

void WriteTape(const std::string& path) {
  TapeBuilder_ns::WriteRaw(path,
                           TapeBuilder_ns::RenderSamples(TapeBuilder_ns::StandardTape(kFiles),
                                                         TapeBuilder_ns::RenderOptions{}),
                           true);
}

std::vector<std::string> OriginTexts(const std::string& image) {
  std::vector<std::string> texts;
  for (const auto& chunk : TestSupport::ChunksWithId(TestSupport::ParseChunks(image), 0x0000)) {
    texts.push_back(chunk.data);
  }
  return texts;
}

TEST(WindowsRun, TheSignatureIsKeptInTheRegistryForLaterRuns) {
  TempFolder folder;
  WriteTape(folder / "tape.raw");
  ASSERT_EQ(RunVarnstow(folder.Path(), {"-g", "A.", "Archivist", "-o", "first", "-i", "tape.raw"})
                .exitCode,
            0);
  EXPECT_EQ(TestSupport::StoredSignature(""), "A. Archivist");

  // A later run without -g reads it back from the registry.
  const RunResult later = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"});
  EXPECT_EQ(later.exitCode, 0);
  EXPECT_EQ(later.errors, "");
  const std::string header = "Creator's signature:\nA. Archivist\n\nDate and time";
  EXPECT_NE(later.output.find(header), std::string::npos) << later.output;
  EXPECT_NE(ReadTextFile(folder / "tape.log").find(header), std::string::npos);
  EXPECT_EQ(OriginTexts(ReadFile(folder / "tape.uef")),
            (std::vector<std::string>{std::string("Varnstow Corvel V1.7.") + '\0',
                                      std::string("A. Archivist") + '\0',
                                      std::string("The input format was RAW.") + '\0'}));

  // One stored by someone else (the registry editor, say) is used the same way; -g alone clears
  // it.
  TestSupport::StoreSignature("", "From regedit");
  ASSERT_EQ(RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"}).exitCode, 0);
  EXPECT_EQ(OriginTexts(ReadFile(folder / "tape.uef"))[1], std::string("From regedit") + '\0');
  ASSERT_EQ(RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c", "-g"}).exitCode, 0);
  EXPECT_TRUE(TestSupport::SignatureStored(""));
  EXPECT_EQ(TestSupport::StoredSignature(""), "");
  EXPECT_EQ(OriginTexts(ReadFile(folder / "tape.uef")).size(), 2u);

  // A value that is not a string counts as no signature.
  TestSupport::StoreUnreadableSignature("");
  ASSERT_EQ(RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"}).exitCode, 0);
  EXPECT_EQ(OriginTexts(ReadFile(folder / "tape.uef")).size(), 2u);
}

TEST(WindowsRun, MissingFilesAndTheWrongCaseHaveTheirMessages) {
  TempFolder folder;
  WriteTape(folder / "Tape.raw");
  std::filesystem::create_directory(folder / "Sub");
  WriteTape(folder / "Sub/Side.raw");

  const RunResult missing = RunVarnstow(folder.Path(), {"-i", "missing.raw"});
  EXPECT_EQ(missing.exitCode, 0);
  EXPECT_EQ(missing.errors, "\nCould not open missing.raw.");
  EXPECT_FALSE(FileExists(folder / "missing.log"));

  // The file opens (Windows ignores the case), but its name is not written as it is stored.
  for (const std::string name : {"tape.raw", "TAPE.RAW", "sub/side.raw", "Sub\\side.raw"}) {
    const RunResult wrongCase = RunVarnstow(folder.Path(), {"-i", name, "-o", "out", "-c"});
    EXPECT_EQ(wrongCase.exitCode, 0) << name;
    EXPECT_EQ(wrongCase.errors, "\nWrong case of letter in input file name.") << name;
    EXPECT_EQ(wrongCase.output.substr(0, 21), "Varnstow Corvel V1.7.") << name;
    EXPECT_FALSE(FileExists(folder / "out")) << name;
  }
  // The folders' case does not matter, nor which separator comes before the name.
  for (const std::string name : {"Tape.raw", "sub/Side.raw", "SUB\\Side.raw"}) {
    const RunResult right = RunVarnstow(folder.Path(), {"-i", name, "-o", "out", "-c"});
    EXPECT_EQ(right.errors, "") << name;
    EXPECT_NE(right.output.find("Found :    WINDOWS 01\tChecksum ok, last block flag\n"),
              std::string::npos)
        << name;
    EXPECT_TRUE(FileExists(folder / "out")) << name;
  }
}

TEST(WindowsRun, TheLogIsAWindowsTextFile) {
  TempFolder folder;
  WriteTape(folder / "tape.raw");
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"});
  EXPECT_EQ(result.exitCode, 0);
  const std::string report =
      "Found :    WINDOWS 00\tChecksum ok\r\n"
      "Found :    WINDOWS 01\tChecksum ok, last block flag\r\n";
  const std::string log = ReadFile(folder / "tape.log");
  ASSERT_GE(log.size(), report.size());
  EXPECT_EQ(log.substr(log.size() - report.size()), report);
  // Every line ends so, and nothing else has a carriage return.
  size_t returns = 0;
  size_t feeds = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    returns += log[i] == '\r' ? 1u : 0u;
    feeds += log[i] == '\n' ? 1u : 0u;
    if (log[i] == '\n') {
      EXPECT_TRUE(i > 0 && log[i - 1] == '\r') << i;
    }
  }
  EXPECT_EQ(returns, feeds);
}

std::vector<std::string> FolderContents(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(WindowsRun, DcCorrectionReplacesOnlyWhatItMay) {
  TempFolder folder;
  WriteTape(folder / "tape.raw");
  const std::string original = ReadFile(folder / "tape.raw");

  // A file with the read-only attribute is refused and kept.
  std::filesystem::permissions(folder / "tape.raw", std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::group_read |
                                                        std::filesystem::perms::others_read);
  const RunResult readOnly = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-d"});
  EXPECT_EQ(readOnly.errors,
            "\nCannot fix DC offsets in the read-only file tape.raw.  Make it writable and run "
            "again with the -d switch.");
  EXPECT_EQ(ReadFile(folder / "tape.raw"), original);
  std::filesystem::permissions(folder / "tape.raw", std::filesystem::perms::all);

  // Corrected in place, beside someone's file of the old temporary name, which is kept.
  WriteFile(folder / "DCOffsetsFixed.raw", "someone's");
  const RunResult fixed = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-d"});
  EXPECT_EQ(fixed.errors, "");
  EXPECT_NE(fixed.output.find("DC offsets successfully fixed."), std::string::npos);
  EXPECT_NE(ReadFile(folder / "tape.raw"), original);
  EXPECT_EQ(std::filesystem::file_size(folder / "tape.raw"), original.size());
  EXPECT_EQ(ReadFile(folder / "DCOffsetsFixed.raw"), "someone's");
  EXPECT_EQ(FolderContents(folder.Path()),
            (std::vector<std::string>{"DCOffsetsFixed.raw", "tape.log", "tape.raw", "tape.uef"}));

  // A file with a second name is refused, where the file system has hard links.
  std::error_code error;
  std::filesystem::create_hard_link(folder / "tape.raw", folder / "also.raw", error);
  if (!error) {
    const std::string before = ReadFile(folder / "tape.raw");
    const RunResult linked = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-d"});
    EXPECT_EQ(linked.errors,
              "\nCannot fix DC offsets in tape.raw, which has other names (hard links).  Copy it "
              "to a file of its own and run again with the -d switch.");
    EXPECT_EQ(ReadFile(folder / "tape.raw"), before);
    EXPECT_EQ(ReadFile(folder / "also.raw"), before);
  }
}

TEST(WindowsRun, TheImageAndTheLogAreNeverOneFileWhateverTheCase) {
  TempFolder folder;
  WriteTape(folder / "side.raw");
  WriteFile(folder / "side.log", "an earlier log");
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "side.raw", "-o", "SIDE.LOG"});
  EXPECT_EQ(result.errors,
            "\nThe image and the log would both be the file side.log.  Give another name with -o.");
  EXPECT_EQ(ReadFile(folder / "side.log"), "an earlier log");
}

TEST(WindowsRun, ControlCDuringTheDcCorrectionLeavesTheRecordingAsItWas) {
  TempFolder folder;
  WriteTape(folder / "long.raw");
  const std::string start = ReadFile(folder / "long.raw");
  // Silence after the tape, long enough to be interrupted while it is corrected.
  std::filesystem::resize_file(folder / "long.raw", 400000000);
  TestSupport::RunOptions options;
  options.arguments = {"-i", "long.raw", "-d"};
  options.workingFolder = folder.Path();
  TestSupport::RunningProcess process(options);
  for (int i = 0; i < 20000 && process.OutputSoFar().find("Fixing DC offsets") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  process.Signal(SIGINT);
  const RunResult result = process.Wait();
  EXPECT_EQ(result.errors, "\nExecution interrupted.");
  EXPECT_EQ(result.output.find("DC offsets successfully fixed."), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(folder / "long.raw"), 400000000u);
  EXPECT_EQ(ReadFile(folder / "long.raw").substr(0, start.size()), start);
  EXPECT_EQ(FolderContents(folder.Path()), (std::vector<std::string>{"long.log", "long.raw"}));
}

// About ten minutes of tape: long enough to be interrupted while it decodes.
void WriteLongTape(const std::string& path) {
  const auto once =
      TapeBuilder_ns::RenderSamples(TapeBuilder_ns::StandardTape({{"LONG", 0, 0, Data(8000, 1)}}),
                                    TapeBuilder_ns::RenderOptions{});
  std::vector<int8_t> samples;
  while (samples.size() < 26000000) {
    samples.insert(samples.end(), once.begin(), once.end());
  }
  TapeBuilder_ns::WriteRaw(path, samples, true);
}

// A long conversion that is interrupted once its first block is reported.
class Interrupted {
 public:
  explicit Interrupted(const TempFolder& folder) : folder_(folder) {
    TestSupport::RunOptions options;
    options.arguments = {"-i", "long.raw"};
    options.workingFolder = folder.Path();
    process_ = std::make_unique<TestSupport::RunningProcess>(options);
    for (int i = 0; i < 20000 && process_->OutputSoFar().find("Found :") == std::string::npos;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void Signal(int signalNumber) { process_->Signal(signalNumber); }

  // Waits for the end of the run and checks what it left: the reason at the end of the log and
  // the console, "Execution interrupted" on standard error and no image.
  void ExpectStoppedFor(const std::string& reason) {
    const RunResult result = process_->Wait();
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.errors, "\nExecution interrupted.");
    ASSERT_FALSE(result.output.empty());
    EXPECT_EQ(result.output.back(), '\a');
    EXPECT_NE(result.output.find("Found :       LONG 00"), std::string::npos);
    const std::string log = ReadTextFile(folder_ / "long.log");
    ASSERT_GE(log.size(), reason.size());
    EXPECT_EQ(log.substr(log.size() - reason.size()), reason);
    EXPECT_EQ(result.output, log + "\a");
    EXPECT_FALSE(FileExists(folder_ / "long.uef"));
  }

 private:
  const TempFolder& folder_;
  std::unique_ptr<TestSupport::RunningProcess> process_;
};

TEST(WindowsRun, ControlCEndsTheRunWithoutAnImage) {
  TempFolder folder;
  WriteLongTape(folder / "long.raw");
  Interrupted run(folder);
  run.Signal(SIGINT);
  run.ExpectStoppedFor("\nControl C");
}

TEST(WindowsRun, ControlBreakEndsTheRunWithoutAnImage) {
  TempFolder folder;
  WriteLongTape(folder / "long.raw");
  Interrupted run(folder);
  try {
    run.Signal(SIGBREAK);
  } catch (const std::runtime_error& failure) {
    GTEST_SKIP() << "this console cannot send Control-Break (Wine's cannot): " << failure.what();
  }
  run.ExpectStoppedFor("\nControl Break");
}

// Standard error without the lines that ALSA itself writes there (under Wine, whose sound
// driver uses ALSA).
std::string WithoutAlsaMessages(const std::string& errors) {
  std::string kept;
  size_t start = 0;
  while (start < errors.size()) {
    size_t end = errors.find('\n', start);
    end = end == std::string::npos ? errors.size() : end + 1;
    const std::string line = errors.substr(start, end - start);
    if (line.rfind("ALSA lib ", 0) != 0) {
      kept += line;
    }
    start = end;
  }
  return kept;
}

// Under Wine this runs as a test of its own, windows_live_recording_tests, with Wine's ALSA
// driver and a capture device that records silence (tests/data/wine_capture.conf).
TEST(WindowsRun, TheSoundCardRecordsUntilQIsTyped) {
  if (Platform_ns::SystemWaveInput().DeviceCount() == 0) {
    GTEST_SKIP() << "no wave input device";
  }
  TempFolder folder;
  TestSupport::RunOptions options;
  options.arguments = {"-o", "live", "-c"};
  options.workingFolder = folder.Path();
  // A key that does not stop the recording, then one that does.
  options.standardInput = "xq";
  const RunResult result = TestSupport::Run(options);
  EXPECT_EQ(result.exitCode, 0);
  // Silence holds no block, which standard error says after the run.
  EXPECT_EQ(WithoutAlsaMessages(result.errors),
            "varnstow: no block was found, so live.uef holds none; try the other phase (run again "
            "with -p)\n");
  const std::string log = ReadTextFile(folder / "live.log");
  EXPECT_EQ(log.substr(0, 21), "Varnstow Corvel V1.7.");
  EXPECT_EQ(result.output, log);
  // Silence holds no blocks: the image has its origin chunks and nothing else.
  EXPECT_EQ(OriginTexts(ReadFile(folder / "live.uef")),
            (std::vector<std::string>{std::string("Varnstow Corvel V1.7.") + '\0',
                                      std::string("The input format was sound card.") + '\0'}));
  EXPECT_EQ(TestSupport::ParseChunks(ReadFile(folder / "live.uef")).size(), 2u);
}

TEST(WindowsRun, TheSoundCardWithoutDevicesSaysSo) {
  if (Platform_ns::SystemWaveInput().DeviceCount() > 0) {
    GTEST_SKIP() << "this machine has wave input devices";
  }
  TempFolder folder;
  const RunResult result = RunVarnstow(folder.Path(), {"-o", "live"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "\nNo wave input devices installed.");
  EXPECT_EQ(result.output.back(), '\a');
  EXPECT_FALSE(FileExists(folder / "live"));
  EXPECT_FALSE(FileExists(folder / "live.uef"));
}

}  // namespace
