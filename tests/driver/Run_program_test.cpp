// The run driver: the program run as a whole for its header, log and failures, and the input
// file check in-process.
#include "driver/Run_program.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/Command_line.h"
#include "platform/File_system.h"
#include "support/Process.h"
#include "support/Settings.h"
#include "support/Temp_folder.h"

namespace {

using TestSupport::FileExists;
using TestSupport::ReadTextFile;
using TestSupport::RunResult;
using TestSupport::RunVarnstow;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

const std::string kSilence(4000, '\0');

// The header up to its date line, for a run with these arguments.
std::string HeaderStart(const std::string& arguments) {
  return std::string("Varnstow Corvel V1.7.\n\nCommand line:\n") + VARNSTOW_EXE + " " + arguments +
         "\n\n";
}

// The local time as YYYYMMDDHHMM, to compare with the header's date line.
std::string MinuteNow() {
  const std::time_t now = std::time(nullptr);
  const std::tm parts = *std::localtime(&now);  // only this thread reads the clock
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d%H%M", &parts);
  return text;
}

// Checks that text starts with the date block at position at, with a time between two
// readings of the clock, and returns the position after it.
size_t ExpectDateBlock(const std::string& text, size_t at, const std::string& earliest,
                       const std::string& latest) {
  static const std::regex pattern(
      "Date and time \\(D/M/Y\\):\n([0-9]{2})/([0-9]{2})/([0-9]{4})   ([0-9]{2}):([0-9]{2})\n\n");
  std::smatch match;
  const std::string rest = text.substr(at);
  if (!std::regex_search(rest, match, pattern, std::regex_constants::match_continuous)) {
    ADD_FAILURE() << "no date block in: " << rest;
    return text.size();
  }
  const std::string stamp =
      match[3].str() + match[2].str() + match[1].str() + match[4].str() + match[5].str();
  EXPECT_LE(earliest, stamp);
  EXPECT_LE(stamp, latest);
  return at + static_cast<size_t>(match.length(0));
}

TEST(RunHeader, GoesToConsoleAndLogInOrder) {
  TempFolder folder;
  WriteFile(folder / "tape.raw", kSilence);
  const std::string before = MinuteNow();
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c", "-p"});
  const std::string after = MinuteNow();
  EXPECT_EQ(result.exitCode, 0);
  // Silence holds no block: standard error says so, and nothing of it is in the log.
  EXPECT_EQ(result.errors.substr(0, 29), "varnstow: no block was found,");

  const std::string log = ReadTextFile(folder / "tape.log");
  const std::string start = HeaderStart("-i tape.raw -c -p");
  ASSERT_EQ(log.substr(0, start.size()), start);  // no settings folder: no signature lines
  const size_t end = ExpectDateBlock(log, start.size(), before, after);
  const std::string phase = "Phase shift changed to +180 or +270.\n";
  EXPECT_EQ(log.substr(end, phase.size()), phase);
  // The console saw the same, character for character.
  EXPECT_EQ(result.output.substr(0, end + phase.size()), log.substr(0, end + phase.size()));

  // Without -p there is no phase line.
  ASSERT_EQ(RunVarnstow(folder.Path(), {"-i", "tape.raw"}).exitCode, 0);
  EXPECT_EQ(ReadTextFile(folder / "tape.log").find("Phase shift"), std::string::npos);
}

TEST(RunHeader, ShowsTheStoredSignatureWhenTheSettingsFolderExists) {
  TempFolder folder;
  WriteFile(folder / "tape.raw", kSilence);
  TestSupport::CreateSettingsKey(folder.Path());

  // The folder without a value: the line and two empty lines.
  const std::string start = HeaderStart("-i tape.raw");
  ASSERT_EQ(RunVarnstow(folder.Path(), {"-i", "tape.raw"}).exitCode, 0);
  const std::string emptySignature = start + "Creator's signature:\n\n\nDate and time";
  EXPECT_EQ(ReadTextFile(folder / "tape.log").substr(0, emptySignature.size()), emptySignature);

  TestSupport::StoreSignature(folder.Path(), "Ren\xc3\xa9 d'Ar  chive");
  const RunResult stored = RunVarnstow(folder.Path(), {"-i", "tape.raw"});
  const std::string withSignature =
      start + "Creator's signature:\nRen\xc3\xa9 d'Ar  chive\n\nDate and time";
  EXPECT_EQ(ReadTextFile(folder / "tape.log").substr(0, withSignature.size()), withSignature);
  EXPECT_EQ(stored.output.substr(0, withSignature.size()), withSignature);
}

TEST(RunHeader, NewSignatureIsStoredAndShownInTheSameRun) {
  TempFolder folder;
  WriteFile(folder / "tape.raw", kSilence);
  ASSERT_EQ(RunVarnstow(folder.Path(), {"-g", "New", "Name", "-i", "tape.raw"}).exitCode, 0);
  EXPECT_EQ(TestSupport::StoredSignature(folder.Path()), "New Name");
  const std::string expected =
      HeaderStart("-g New Name -i tape.raw") + "Creator's signature:\nNew Name\n\nDate and time";
  EXPECT_EQ(ReadTextFile(folder / "tape.log").substr(0, expected.size()), expected);
}

TEST(RunFailure, MissingInputLeavesNoLog) {
  TempFolder folder;
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "missing.raw"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "\nCould not open missing.raw.");
  EXPECT_EQ(result.output, "\a");
  EXPECT_FALSE(FileExists(folder / "missing.log"));
  EXPECT_FALSE(FileExists(folder / "missing.uef"));
}

// An image named after the recording, or another name of it, would replace the recording.
TEST(RunFailure, OutputNamingTheInputIsRefusedAndTheRecordingKept) {
  TempFolder folder;
  WriteFile(folder / "tape.raw", kSilence);
  for (const std::string& output : {std::string("tape.raw"), std::string("./tape.raw")}) {
    const RunResult result = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-o", output});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.errors,
              "\nThe output file would replace the input file tape.raw.  Give another name with "
              "-o.");
    EXPECT_EQ(TestSupport::ReadFile(folder / "tape.raw"), kSilence) << output;
    EXPECT_FALSE(FileExists(folder / "tape.log"));
  }
  // Another file is written as usual (silence: without blocks, as standard error says).
  EXPECT_EQ(RunVarnstow(folder.Path(), {"-i", "tape.raw", "-o", "tape.uef"}).errors.substr(0, 29),
            "varnstow: no block was found,");
  EXPECT_TRUE(FileExists(folder / "tape.uef"));
}

// Whether a folder opens as a file: on POSIX it does (reading it fails later), on Windows not.
bool FoldersOpenAsFiles(const std::string& folder) {
  return std::ifstream(folder).is_open();
}

TEST(RunFailure, InputThatIsAFolderIsReportedAfterTheHeader) {
  TempFolder folder;
  std::filesystem::create_directory(folder / "dir.raw");
  const RunResult result = RunVarnstow(folder.Path(), {"-i", "dir.raw"});
  EXPECT_EQ(result.exitCode, 0);
  if (!FoldersOpenAsFiles(folder / "dir.raw")) {
    // Windows: the input does not open, so the run ends before the header.
    EXPECT_EQ(result.errors, "\nCould not open dir.raw.");
    EXPECT_EQ(result.output, "\a");
    EXPECT_FALSE(FileExists(folder / "dir.log"));
    return;
  }
  EXPECT_EQ(result.errors, "\nCould not find dir.raw.");
  const std::string log = ReadTextFile(folder / "dir.log");
  ASSERT_EQ(log.substr(0, 21), "Varnstow Corvel V1.7.");
  EXPECT_EQ(log.substr(log.size() - 2), "\n\n");  // the date block ends the log
  EXPECT_EQ(result.output, log + "\a");
}

TEST(RunFailure, LogThatCannotBeCreatedLeavesTheConsoleAndSaysSo) {
  TempFolder folder;
  WriteFile(folder / "tape.raw", kSilence);
  std::filesystem::create_directory(folder / "tape.log");  // the log's name is taken by a folder
  const RunResult run = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-p"});
  EXPECT_EQ(run.exitCode, 0);
  const std::string start = HeaderStart("-i tape.raw -p");
  EXPECT_EQ(run.output.substr(0, start.size()), start);
  EXPECT_NE(run.output.find("Phase shift changed to +180 or +270.\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.errors.find("\nvarnstow: the log file tape.log could not be created;"),
            std::string::npos)
      << run.errors;

  // A failure after the header still reaches standard error first: a folder as the input where
  // folders open as files, else (Windows) a name in the wrong case.
  std::string input = "dir.raw";
  std::string failure = "\nCould not find dir.raw.";
  std::filesystem::create_directory(folder / "dir.raw");
  std::filesystem::create_directory(folder / "dir.log");
  if (!FoldersOpenAsFiles(folder / "dir.raw")) {
    WriteFile(folder / "Case.raw", kSilence);
    std::filesystem::create_directory(folder / "case.log");
    input = "case.raw";
    failure = "\nWrong case of letter in input file name.";
  }
  const RunResult failed = RunVarnstow(folder.Path(), {"-i", input});
  EXPECT_EQ(failed.exitCode, 0);
  EXPECT_EQ(failed.output.substr(0, 21), "Varnstow Corvel V1.7.");
  EXPECT_EQ(failed.output.back(), '\a');
  EXPECT_EQ(failed.errors, failure + "\nvarnstow: the log file " +
                               input.substr(0, input.size() - 3) +
                               "log could not be created; the report went to the console only\n");
}

TEST(RunFailure, UsageAndInvalidOptionsEndBeforeAnythingIsOpened) {
  TempFolder folder;
  WriteFile(folder / "tape.raw", kSilence);
  const RunResult usage = RunVarnstow(folder.Path(), {});
  EXPECT_EQ(usage.exitCode, 1);
  EXPECT_EQ(usage.output.substr(0, 25), "\nVarnstow Corvel V1.7.\n\n[");
  EXPECT_EQ(usage.errors, "");

  const RunResult invalid = RunVarnstow(folder.Path(), {"-i", "tape.raw", "-x"});
  EXPECT_EQ(invalid.exitCode, 2);
  EXPECT_EQ(invalid.output, "INVALID OPTION.");
  EXPECT_EQ(invalid.errors, "");
  EXPECT_FALSE(FileExists(folder / "tape.log"));
}

TEST(RunFailure, HostileArgumentsEndWithAnOrdinaryExitCode) {
  TempFolder folder;
  WriteFile(folder / "tape.raw", kSilence);
  const std::string huge(TestSupport::LongestArgument(), 'y');
  const std::vector<std::vector<std::string>> vectors = {
      {"-i", "tape.raw", "-g", huge}, {"-o", huge},      {"", "", ""},
      {"-i", "\xc3\xa9\xff\x80.raw"}, {"-\x80", "\xfe"}, {"-i", "tape.raw", "-s", huge, huge},
  };
  for (const auto& arguments : vectors) {
    const RunResult result = RunVarnstow(folder.Path(), arguments);
    EXPECT_EQ(result.signal, 0) << arguments[0];
    EXPECT_TRUE(result.exitCode >= 0 && result.exitCode <= 2) << result.exitCode;
  }
  // The long signature was stored whole.
  EXPECT_EQ(TestSupport::StoredSignature(folder.Path()), huge);
}

// The input file check, in-process.
class InputFileCheck : public ::testing::Test {
 protected:
  void SetUp() override { MainProgram_ns::RunSettings = {}; }

  static std::string FailureOf(const std::string& input) {
    MainProgram_ns::RunSettings.InputName = input;
    try {
      MainProgram_ns::CheckInputFile();
    } catch (const std::runtime_error& failure) {
      return failure.what();
    }
    return "";
  }

  TempFolder folder_;
};

TEST_F(InputFileCheck, AcceptsAnExistingFileNamedInItsStoredCase) {
  WriteFile(folder_ / "Tape.raw", "x");
  EXPECT_EQ(FailureOf(folder_ / "Tape.raw"), "");
  if (FileExists(folder_ / "tape.raw")) {
    // A file system that ignores case (Windows'): another spelling finds the same file, and
    // is refused. Only the file's own name counts, whichever separator comes before it.
    for (const std::string name : {"tape.raw", "TAPE.RAW", "Tape.RAW"}) {
      EXPECT_EQ(FailureOf(folder_ / name), "Wrong case of letter in input file name") << name;
    }
    std::filesystem::create_directory(folder_ / "Sub");
    WriteFile(folder_ / "Sub/Side.raw", "x");
    EXPECT_EQ(FailureOf(folder_ / "sub/Side.raw"), "");
    EXPECT_EQ(FailureOf(folder_ / "sub/side.raw"), "Wrong case of letter in input file name");
    if (std::string(Platform_ns::PathSeparators()).find('\\') != std::string::npos) {
      EXPECT_EQ(FailureOf(folder_ / "sub\\Side.raw"), "");
      EXPECT_EQ(FailureOf(folder_ / "sub\\side.raw"), "Wrong case of letter in input file name");
    }
    return;
  }
  WriteFile(folder_ / "tape.raw", "x");
  WriteFile(folder_ / "TAPE.RAW", "x");
  for (const std::string name : {"Tape.raw", "tape.raw", "TAPE.RAW"}) {
    EXPECT_EQ(FailureOf(folder_ / name), "") << name;
  }
}

TEST_F(InputFileCheck, MissingFilesAndFoldersAreNotFound) {
  EXPECT_EQ(FailureOf(folder_ / "none.raw"), "Could not find " + (folder_ / "none.raw"));
  std::filesystem::create_directory(folder_ / "sub.raw");
  EXPECT_EQ(FailureOf(folder_ / "sub.raw"), "Could not find " + (folder_ / "sub.raw"));
  EXPECT_EQ(FailureOf(""), "Could not find ");
}

}  // namespace
