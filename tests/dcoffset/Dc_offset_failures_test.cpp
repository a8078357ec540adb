// The DC offset correction when the drive fails under it: the removal of the temporary file
// after a failure, and the rename over the input, both made to fail through the file
// operations, with the messages on standard error and what is left on the drive.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

#include "dcoffset/Dc_offset_fixing_functions.h"
#include "sound/Raw_file_handler.h"
#include "support/File_faults.h"
#include "support/Temp_folder.h"

namespace {

using Platform_ns::FileError;
using SoundInput_ns::RAWSound;
using TestSupport::FileExists;
using TestSupport::FileFaults;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

std::string RandomSamples(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string samples;
  for (size_t i = 0; i < count; ++i) {
    samples += static_cast<char>(random());
  }
  return samples;
}

struct Outcome {
  std::string raised;
  std::string errors;
};

// Corrects path with a fresh RAW source; shortenTo, when not 0, cuts the file after it has
// been opened, so that it ends before the samples it promised.
Outcome Correct(const std::string& path, uintmax_t shortenTo = 0) {
  RAWSound sound;
  sound.Open(path);
  if (shortenTo != 0) {
    std::filesystem::resize_file(path, shortenTo);
  }
  Outcome outcome;
  testing::internal::CaptureStderr();
  try {
    DCOffsetFunctions_ns::FixDCOffsets(sound, path);
    outcome.raised = "(nothing)";
  } catch (const std::runtime_error& failure) {
    outcome.raised = failure.what();
  }
  outcome.errors = testing::internal::GetCapturedStderr();
  return outcome;
}

class DcCorrectionOnAFailingDrive : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(path_, original_); }

  TempFolder folder_;
  const std::string path_ = folder_ / "tape.raw";
  const std::string temporary_ =
      folder_ / ("DCOffsetsFixed-" + Platform_ns::ProcessTag() + "-0.raw");
  const std::string original_ = RandomSamples(3000, 11);
};

TEST_F(DcCorrectionOnAFailingDrive, TemporaryFileRemovedAfterAFailure) {
  FileFaults faults;
  const Outcome outcome = Correct(path_, 2000);
  EXPECT_EQ(outcome.raised, "Unexpected end of file");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(faults.removes, 1);
  EXPECT_EQ(faults.removed, temporary_);
  EXPECT_FALSE(FileExists(temporary_));
  EXPECT_EQ(faults.replaces, 0);
  EXPECT_EQ(ReadFile(path_), original_.substr(0, 2000));
}

TEST_F(DcCorrectionOnAFailingDrive, LongFileEndingEarlyFailsTheSameWay) {
  // Cut far beyond the first pieces that are read and written.
  const std::string original = RandomSamples(200000, 12);
  for (uintmax_t cut : {uintmax_t{65536}, uintmax_t{70000}, uintmax_t{199950}}) {
    WriteFile(path_, original);
    FileFaults faults;
    const Outcome outcome = Correct(path_, cut);
    EXPECT_EQ(outcome.raised, "Unexpected end of file") << cut;
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(faults.removes, 1);
    EXPECT_FALSE(FileExists(temporary_));
    EXPECT_EQ(faults.replaces, 0);
    EXPECT_EQ(ReadFile(path_), original.substr(0, cut));
  }
}

TEST_F(DcCorrectionOnAFailingDrive, TemporaryFileThatCannotBeRemovedIsReported) {
  for (const FileError error : {FileError::kPermissionDenied, FileError::kOther}) {
    WriteFile(path_, original_);
    FileFaults faults;
    faults.removeFails = FileFaults::Because(error, "Refused");
    const Outcome outcome = Correct(path_, 2000);
    EXPECT_EQ(outcome.raised, "Unexpected end of file");
    EXPECT_EQ(outcome.errors, "\nCould not remove the temporary file " + temporary_ + ".");
    // Left where it was written, next to the input, which is as it was.
    EXPECT_TRUE(FileExists(temporary_));
    EXPECT_EQ(ReadFile(path_), original_.substr(0, 2000));
    std::filesystem::remove(temporary_);
  }
}

TEST_F(DcCorrectionOnAFailingDrive, TemporaryFileAlreadyGoneIsNotReported) {
  FileFaults faults;
  faults.removeFails = FileFaults::Because(FileError::kNotFound, "Gone");
  const Outcome outcome = Correct(path_, 2000);
  EXPECT_EQ(outcome.raised, "Unexpected end of file");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(faults.removes, 1);
}

TEST_F(DcCorrectionOnAFailingDrive, EachRenameFailureKeepsTheInputAndSaysWhere) {
  const std::string keptIn =
      ".  The input file is unchanged and the corrected recording is in " + temporary_;
  struct Case {
    FileError error;
    std::string message;
    bool corrected;  // the corrected recording is left under the temporary name
  };
  for (const Case& c :
       {Case{FileError::kPermissionDenied, "OS Permission denied to rename temporary file" + keptIn,
             true},
        Case{FileError::kOther,
             "Could not rename temporary file (Invalid cross-device link)" + keptIn, true},
        Case{FileError::kNotFound, "Could not find the temporary file.  This is an unusual error",
             false}}) {
    WriteFile(path_, original_);
    std::filesystem::remove(temporary_);
    FileFaults faults;
    faults.replaceFails = FileFaults::Because(c.error, "Invalid cross-device link");
    const Outcome outcome = Correct(path_);
    EXPECT_EQ(outcome.raised, c.message);
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(faults.replaces, 1);
    EXPECT_EQ(ReadFile(path_), original_);
    if (c.corrected) {
      // The whole corrected recording: as many samples as the input.
      EXPECT_EQ(ReadFile(temporary_).size(), original_.size());
      EXPECT_EQ(faults.removes, 0);
    }
  }
}

TEST_F(DcCorrectionOnAFailingDrive, PermissionsThatCannotBeCopiedKeepTheInput) {
  // Renamed without its permissions, the corrected file would be open to whoever may create
  // files in the folder, or closed to its owner's group: it is not put in the input's place.
  for (const FileError error : {FileError::kPermissionDenied, FileError::kOther}) {
    WriteFile(path_, original_);
    FileFaults faults;
    faults.copyAttributesFails = FileFaults::Because(error, "Operation not permitted");
    const Outcome outcome = Correct(path_);
    EXPECT_EQ(outcome.raised, "Could not give the corrected recording the permissions of " + path_ +
                                  " (Operation not permitted).  The input file is unchanged");
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(faults.attributeCopies, 1);
    EXPECT_EQ(faults.replaces, 0);
    EXPECT_EQ(faults.removes, 1);
    EXPECT_EQ(faults.removed, temporary_);
    EXPECT_FALSE(FileExists(temporary_));
    EXPECT_EQ(ReadFile(path_), original_);
  }
}

TEST_F(DcCorrectionOnAFailingDrive, TheTemporaryFileIsCreatedNewAndGetsThePermissionsFirst) {
  FileFaults faults;
  const Outcome outcome = Correct(path_);
  EXPECT_EQ(outcome.raised, "(nothing)");
  EXPECT_EQ(faults.created, temporary_);
  EXPECT_EQ(faults.attributeCopies, 1);
  EXPECT_EQ(faults.replaced, path_);
#ifndef _WIN32
  // The real copy: a mode other than the one new files get.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::owner_write |
                                          std::filesystem::perms::group_read);
  FileFaults again;
  EXPECT_EQ(Correct(path_).raised, "(nothing)");
  EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
#endif
}

TEST_F(DcCorrectionOnAFailingDrive, AHealthyDriveReplacesTheInputInOneRename) {
  FileFaults faults;
  const Outcome outcome = Correct(path_);
  EXPECT_EQ(outcome.raised, "(nothing)");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(faults.replaces, 1);
  EXPECT_EQ(faults.removes, 0);
  EXPECT_FALSE(FileExists(temporary_));
  EXPECT_EQ(ReadFile(path_).size(), original_.size());
  EXPECT_NE(ReadFile(path_), original_);
}

}  // namespace
