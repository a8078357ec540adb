// Writing the tape image to the drive when the drive fails: every row of the failure table for
// the output image, with the messages on standard error and what is left on the drive, for the
// plain and the compressed file. The failures are injected through the file operations.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/File_faults.h"
#include "support/Temp_folder.h"
#include "uef/Wave_analysis.h"

namespace {

using Platform_ns::FileError;
using TestSupport::FileExists;
using TestSupport::FileFaults;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using UEFFormat_ns::UEFFormatWriting;

const FileFaults::Failure kDriveFull = FileFaults::Because(FileError::kOther, "No space left");
const FileFaults::Failure kDenied = FileFaults::Because(FileError::kPermissionDenied, "Denied");

std::vector<uint8_t> RandomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (auto& byte : bytes) {
    byte = static_cast<uint8_t>(random());
  }
  return bytes;
}

// What a save did: the message it raised, what it wrote on standard error, the file, and the
// temporary files left beside it.
struct Outcome {
  std::string raised;
  std::string errors;
  bool fileLeft = false;
  std::vector<std::string> othersLeft;  // their names, without the folder
};

// Saves an image of about imageBytes bytes to path. Large images are random, so that even
// compressed they reach the drive while the image is written, not only when the file is
// closed; a small one reaches it only when it is flushed.
Outcome SaveTo(const std::string& path, bool compress, const FileFaults& faults,
               size_t imageBytes) {
  UEFFormatWriting image;
  image.OpenImage(path, 10, 0);
  const auto data = RandomBytes(imageBytes, 7);
  image.WriteChunk(0x0100, static_cast<uint32_t>(data.size()), data.data());
  Outcome outcome;
  testing::internal::CaptureStderr();
  try {
    UEFFormat_ns::SaveImage(image, compress);
    outcome.raised = "(nothing)";
  } catch (const std::runtime_error& failure) {
    outcome.raised = failure.what();
  }
  outcome.errors = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(image.DriveFileName.empty()) << "an image is saved once at most";
  EXPECT_EQ(faults.opens, 1);
  outcome.fileLeft = FileExists(path);
  const std::filesystem::path file(path);
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    if (entry.path().filename() != file.filename()) {
      outcome.othersLeft.push_back(entry.path().filename().string());
    }
  }
  return outcome;
}

// The parameter: whether the image is compressed.
class SaveFailures : public ::testing::TestWithParam<bool> {
 protected:
  Outcome Save(const FileFaults& faults, size_t imageBytes = 200000) {
    return SaveTo(path_, GetParam(), faults, imageBytes);
  }

  // The image sizes whose bytes reach the drive before the file is closed: a large image
  // always, a small plain one when it is flushed. A small compressed image is held by the
  // compression until the file is closed.
  std::vector<size_t> SizesWritten() const {
    return GetParam() ? std::vector<size_t>{200000} : std::vector<size_t>{200000, 100};
  }

  TempFolder folder_;
  const std::string path_ = folder_ / "tape.uef";
};

TEST_P(SaveFailures, CannotOpenCreatesNothing) {
  FileFaults faults;
  faults.openFails = kDenied;
  const Outcome outcome = Save(faults);
  EXPECT_EQ(outcome.raised, "Could not open output UEF file on drive");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_FALSE(outcome.fileLeft);
  EXPECT_EQ(faults.writes, 0);
  EXPECT_EQ(faults.removes, 0);
}

TEST_P(SaveFailures, WriteFailedCloseFineRemovesTheFile) {
  for (const size_t size : SizesWritten()) {
    FileFaults faults;
    faults.writeFails = kDriveFull;
    faults.writeFailsTo = 1;  // later writes, those of closing too, succeed
    const Outcome outcome = Save(faults, size);
    EXPECT_EQ(outcome.raised, "Error writing UEF file on drive") << size;
    EXPECT_EQ(outcome.errors, "") << size;
    EXPECT_FALSE(outcome.fileLeft) << size;
    EXPECT_EQ(faults.closes, 1) << size;
    EXPECT_EQ(faults.removes, 1) << size;
  }
}

TEST_P(SaveFailures, WriteAndCloseFailedSaysBothAndRemovesTheFile) {
  // The drive stays full, so closing cannot write what is left either; or writing fails once
  // and closing fails of itself.
  for (const bool closeFails : {false, true}) {
    for (const size_t size : SizesWritten()) {
      FileFaults faults;
      faults.writeFails = kDriveFull;
      if (closeFails) {
        faults.writeFailsTo = 1;
        faults.closeFails = kDriveFull;
      }
      const Outcome outcome = Save(faults, size);
      if (!closeFails && size > 1000 && !GetParam()) {
        // Nothing is left to write when a plain image's block write failed: closing succeeds.
        EXPECT_EQ(outcome.errors, "");
      } else {
        EXPECT_EQ(outcome.errors, "\nCould not close UEF file on drive.") << closeFails << size;
      }
      EXPECT_EQ(outcome.raised, "Error writing UEF file on drive") << closeFails << size;
      EXPECT_EQ(faults.removes, 1) << closeFails << size;
      EXPECT_FALSE(outcome.fileLeft) << closeFails << size;
    }
  }
}

TEST_P(SaveFailures, WriteFailedAndRemovalRefusedLeavesTheFile) {
  FileFaults faults;
  faults.writeFails = kDriveFull;
  faults.writeFailsTo = 1;
  faults.removeFails = kDenied;
  const Outcome outcome = Save(faults);
  EXPECT_EQ(outcome.raised, "Error writing UEF file on drive");
  EXPECT_EQ(outcome.errors, "\nOS Permission denied to remove the UEF file on drive.");
  // What could not be removed is the temporary file: the image's own name is never taken by a
  // half-written file.
  EXPECT_FALSE(outcome.fileLeft);
  EXPECT_EQ(outcome.othersLeft,
            std::vector<std::string>{std::filesystem::path(faults.removed).filename().string()});
  EXPECT_EQ(faults.removed, faults.created);
  EXPECT_EQ(faults.removed.rfind(path_ + ".", 0), 0u) << faults.removed;
}

TEST_P(SaveFailures, FailuresKeepAnEarlierImage) {
  for (int failure = 0; failure < 3; ++failure) {
    TestSupport::WriteFile(path_, "the earlier image");
    FileFaults faults;
    if (failure == 0) {
      faults.writeFails = kDriveFull;
    } else if (failure == 1) {
      faults.closeFails = kDriveFull;
    } else {
      faults.replaceFails = FileFaults::Because(FileError::kOther, "Device or resource busy");
    }
    const Outcome outcome = Save(faults);
    EXPECT_EQ(outcome.raised, failure == 0   ? "Error writing UEF file on drive"
                              : failure == 1 ? "Could not close UEF file on drive"
                                             : "Could not give the UEF file its name on drive "
                                               "(Device or resource busy)");
    EXPECT_EQ(ReadFile(path_), "the earlier image") << failure;
    EXPECT_TRUE(outcome.othersLeft.empty()) << failure;
    EXPECT_EQ(faults.removes, 1) << failure;
  }
}

TEST_P(SaveFailures, TheImageTakesItsNameOnlyWhenComplete) {
  TestSupport::WriteFile(path_, "the earlier image");
  FileFaults faults;
  const Outcome outcome = Save(faults);
  EXPECT_EQ(outcome.raised, "(nothing)");
  EXPECT_EQ(faults.replaces, 1);
  EXPECT_EQ(faults.replaced, path_);
  EXPECT_NE(faults.created, path_);
  EXPECT_NE(ReadFile(path_), "the earlier image");
  EXPECT_TRUE(outcome.othersLeft.empty());
}

TEST_P(SaveFailures, OtherRemovalFailuresAreSilent) {
  for (const FileError error : {FileError::kNotFound, FileError::kOther}) {
    FileFaults faults;
    faults.writeFails = kDriveFull;
    faults.writeFailsTo = 1;
    faults.removeFails = FileFaults::Because(error, "Some reason");
    const Outcome outcome = Save(faults);
    EXPECT_EQ(outcome.raised, "Error writing UEF file on drive");
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(faults.removes, 1);
  }
}

TEST_P(SaveFailures, WriteFineCloseFailedRemovesTheIncompleteFile) {
  for (const size_t size : {size_t{200000}, size_t{100}}) {
    FileFaults faults;
    faults.closeFails = kDriveFull;
    const Outcome outcome = Save(faults, size);
    EXPECT_EQ(outcome.raised, "Could not close UEF file on drive") << size;
    EXPECT_EQ(outcome.errors, "") << size;
    EXPECT_FALSE(outcome.fileLeft) << size;
    EXPECT_EQ(faults.removes, 1) << size;
  }
}

TEST(SaveFailure, ADriveFailingOnlyWhenTheCompressionEndsIsACloseFailure) {
  TempFolder folder;
  FileFaults faults;
  faults.writeFails = kDriveFull;
  const Outcome outcome = SaveTo(folder / "tape.uef", true, faults, 100);
  EXPECT_EQ(outcome.raised, "Could not close UEF file on drive");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_FALSE(outcome.fileLeft);
  EXPECT_EQ(faults.removes, 1);
}

TEST_P(SaveFailures, AHealthyDriveKeepsTheWholeImage) {
  FileFaults faults;
  const Outcome outcome = Save(faults);
  EXPECT_EQ(outcome.raised, "(nothing)");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_TRUE(outcome.fileLeft);
  EXPECT_EQ(faults.closes, 1);
  EXPECT_EQ(faults.removes, 0);
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, SaveFailures, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& parameter) {
                           return parameter.param ? "Compressed" : "Plain";
                         });

// What zlib's own gz file functions write for bytes: gzopen, one gzwrite, gzclose.
std::string GzFileOf(const std::string& path, const std::string& bytes) {
  gzFile file = gzopen(path.c_str(), "wb");
  EXPECT_NE(file, nullptr);
  if (!bytes.empty()) {
    EXPECT_EQ(gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size())),
              static_cast<int>(bytes.size()));
  }
  EXPECT_EQ(gzclose(file), Z_OK);
  return ReadFile(path);
}

TEST(SavedImage, CompressedFileIsWhatZlibsGzFunctionsWrite) {
  TempFolder folder;
  const auto random = RandomBytes(300000, 3);
  std::vector<uint8_t> repetitive(1000000);
  for (size_t i = 0; i < repetitive.size(); ++i) {
    repetitive[i] = static_cast<uint8_t>((i * 7) % 251);
  }
  for (const auto& data : {std::vector<uint8_t>{}, std::vector<uint8_t>(1, 0x55),
                           RandomBytes(301, 4), RandomBytes(303, 5), random, repetitive}) {
    UEFFormatWriting image;
    image.OpenImage(folder / "saved.uef", 10, 0);
    if (!data.empty()) {
      image.WriteChunk(0x0100, static_cast<uint32_t>(data.size()), data.data());
    }
    const std::string bytes = image.ImageBytes();
    UEFFormat_ns::SaveImage(image, true);
    EXPECT_EQ(ReadFile(folder / "saved.uef"), GzFileOf(folder / "reference.gz", bytes))
        << data.size();
  }
}

}  // namespace
