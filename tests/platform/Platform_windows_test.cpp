// The Windows platform layer: the settings in the registry, file look-up that ignores case,
// removal and atomic replacement, the clock, waveIn and the keys.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/File_system.h"
#include "platform/Keyboard.h"
#include "platform/Local_time.h"
#include "platform/Platform_failure.h"
#include "platform/Settings_store.h"
#include "platform/Wave_input.h"
#include "support/Process.h"
#include "support/Settings.h"
#include "support/Standard_input.h"
#include "support/Temp_folder.h"

namespace {

using Platform_ns::FileError;
using Platform_ns::FindFile;
using Platform_ns::SettingsKey;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

// Each test starts without the key (support/Settings_reset_windows.cpp).
TEST(Registry, OpenCreatesTheKeyOnlyWhenAsked) {
  SettingsKey key;
  EXPECT_FALSE(key.Open(false));
  EXPECT_THROW(key.WriteString("Signature", "x"), Platform_ns::PlatformFailure);
  EXPECT_EQ(key.ReadString("Signature"), "");

  ASSERT_TRUE(key.Open(true));
  EXPECT_EQ(key.ReadString("Signature"), "");
  EXPECT_FALSE(TestSupport::SignatureStored(""));
  key.Close();

  SettingsKey again;
  EXPECT_TRUE(again.Open(false));
}

TEST(Registry, ValuesRoundTripAsStringsAndAreReplacedWhole) {
  for (const std::string value :
       {"A. N. Archivist", "two  blanks\tand\na newline", "Ren\xc3\xa9 d'Ar  chive", "short", ""}) {
    {
      SettingsKey key;
      ASSERT_TRUE(key.Open(true));
      key.WriteString("Signature", value);
    }
    // What another program reading the registry finds.
    EXPECT_EQ(TestSupport::StoredSignature(""), value);
    SettingsKey key;
    ASSERT_TRUE(key.Open(false));
    EXPECT_EQ(key.ReadString("Signature"), value);
  }
  SettingsKey key;
  ASSERT_TRUE(key.Open(false));
  key.WriteString("Other", "o");
  EXPECT_EQ(key.ReadString("Other"), "o");
  EXPECT_EQ(key.ReadString("Signature"), "");
}

TEST(Registry, ValuesStoredByOthersAreRead) {
  TestSupport::StoreSignature("", "From the registry editor");
  SettingsKey key;
  ASSERT_TRUE(key.Open(false));
  EXPECT_EQ(key.ReadString("Signature"), "From the registry editor");
}

TEST(Registry, AValueThatIsNotAStringReadsAsEmpty) {
  TestSupport::StoreUnreadableSignature("");
  SettingsKey key;
  ASSERT_TRUE(key.Open(false));
  EXPECT_EQ(key.ReadString("Signature"), "");
  // Writing replaces it with a string.
  key.WriteString("Signature", "now text");
  EXPECT_EQ(key.ReadString("Signature"), "now text");
}

TEST(FileLookUp, IgnoresCaseAndGivesTheStoredName) {
  TempFolder folder;
  WriteFile(folder / "Tape.raw", "x");
  for (const std::string name : {"Tape.raw", "tape.raw", "TAPE.RAW"}) {
    const auto found = FindFile(folder / name);
    EXPECT_TRUE(found.found) << name;
    EXPECT_FALSE(found.isDirectory) << name;
    EXPECT_EQ(found.storedName, "Tape.raw") << name;
  }
  EXPECT_FALSE(FindFile(folder / "missing").found);
  EXPECT_FALSE(FindFile(folder / "missing/tape.raw").found);
  EXPECT_FALSE(FindFile("").found);

  std::filesystem::create_directory(folder / "Sub");
  WriteFile(folder / "Sub/Side.raw", "x");
  for (const std::string path : {"Sub", "sub", "SUB"}) {
    const auto sub = FindFile(folder / path);
    EXPECT_TRUE(sub.found) << path;
    EXPECT_TRUE(sub.isDirectory) << path;
    EXPECT_EQ(sub.storedName, "Sub") << path;
  }
  // Either separator, and the folders in any case.
  for (const std::string path : {"sub/side.raw", "SUB\\Side.raw", "Sub\\SIDE.RAW"}) {
    const auto side = FindFile(folder / path);
    EXPECT_TRUE(side.found) << path;
    EXPECT_EQ(side.storedName, "Side.raw") << path;
  }
  EXPECT_EQ(std::string(Platform_ns::PathSeparators()), "\\/");
  // Wildcards name no file.
  EXPECT_FALSE(FindFile(folder / "*.raw").found);
}

TEST(FileOperations, RemoveAndReplaceReportTheirCause) {
  TempFolder folder;
  WriteFile(folder / "old", "old");
  WriteFile(folder / "new", "new");
  EXPECT_EQ(Platform_ns::ReplaceFile(folder / "new", folder / "old").error, FileError::kNone);
  EXPECT_EQ(ReadFile(folder / "old"), "new");
  EXPECT_FALSE(FileExists(folder / "new"));

  const auto missing = Platform_ns::ReplaceFile(folder / "new", folder / "old");
  EXPECT_EQ(missing.error, FileError::kNotFound);
  EXPECT_FALSE(missing.text.empty());
  EXPECT_EQ(ReadFile(folder / "old"), "new");

  // A file may not replace a folder.
  std::filesystem::create_directory(folder / "full");
  WriteFile(folder / "full/file", "x");
  WriteFile(folder / "new", "new");
  const auto onFolder = Platform_ns::ReplaceFile(folder / "new", folder / "full");
  EXPECT_NE(onFolder.error, FileError::kNone);
  EXPECT_FALSE(onFolder.text.empty());
  EXPECT_EQ(ReadFile(folder / "new"), "new");

  const auto removed = Platform_ns::RemoveFile(folder / "old");
  EXPECT_EQ(removed.error, FileError::kNone);
  EXPECT_EQ(removed.text, "");
  EXPECT_FALSE(FileExists(folder / "old"));
  EXPECT_EQ(Platform_ns::RemoveFile(folder / "old").error, FileError::kNotFound);
  EXPECT_EQ(Platform_ns::RemoveFile(folder / "nowhere/old").error, FileError::kNotFound);

  const auto notAFile = Platform_ns::RemoveFile(folder / "full");
  EXPECT_NE(notAFile.error, FileError::kNone);
  EXPECT_NE(notAFile.error, FileError::kNotFound);
  EXPECT_FALSE(notAFile.text.empty());
  EXPECT_TRUE(FileExists(folder / "full/file"));
}

TEST(FileOperations, CreateNewNeverTakesAnExistingName) {
  TempFolder folder;
  const Platform_ns::FileOperations operations = Platform_ns::PlatformFileOperations();
  Platform_ns::FileResult result;
  Platform_ns::OutputFile* file = operations.CreateNew(folder / "new", result);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(operations.Write(file, "abc", 3).error, FileError::kNone);
  EXPECT_EQ(operations.Close(file).error, FileError::kNone);
  EXPECT_EQ(operations.CreateNew(folder / "new", result), nullptr);
  EXPECT_EQ(result.error, FileError::kExists);
  EXPECT_EQ(ReadFile(folder / "new"), "abc");
}

TEST(FileOperations, CopyAttributesKeepsTheFileUsable) {
  // Wine keeps little of a security descriptor; what it keeps is copied without a failure.
  TempFolder folder;
  WriteFile(folder / "from", "a");
  WriteFile(folder / "to", "b");
  const Platform_ns::FileOperations operations = Platform_ns::PlatformFileOperations();
  EXPECT_EQ(operations.CopyAttributes(folder / "from", folder / "to").error, FileError::kNone);
  EXPECT_EQ(ReadFile(folder / "to"), "b");
  WriteFile(folder / "to", "c");
  EXPECT_EQ(ReadFile(folder / "to"), "c");
  EXPECT_EQ(Platform_ns::ReplaceFile(folder / "to", folder / "from").error, FileError::kNone);
  EXPECT_EQ(ReadFile(folder / "from"), "c");
}

TEST(FileFacts, SizeLinksAndTheReadOnlyAttribute) {
  TempFolder folder;
  EXPECT_FALSE(Platform_ns::FactsOf(folder / "missing").exists);
  WriteFile(folder / "file", "12345");
  auto facts = Platform_ns::FactsOf(folder / "file");
  EXPECT_TRUE(facts.exists);
  EXPECT_TRUE(facts.regular);
  EXPECT_FALSE(facts.readOnly);
  EXPECT_EQ(facts.size, 5u);
  EXPECT_EQ(facts.links, 1u);
  std::error_code error;
  std::filesystem::create_hard_link(folder / "file", folder / "twin", error);
  if (!error) {
    EXPECT_EQ(Platform_ns::FactsOf(folder / "file").links, 2u);
  }
  std::filesystem::permissions(folder / "file", std::filesystem::perms::owner_read |
                                                    std::filesystem::perms::group_read |
                                                    std::filesystem::perms::others_read);
  EXPECT_TRUE(Platform_ns::FactsOf(folder / "file").readOnly);
  std::filesystem::permissions(folder / "file", std::filesystem::perms::all);
  std::filesystem::create_directory(folder / "folder");
  EXPECT_FALSE(Platform_ns::FactsOf(folder / "folder").regular);
  EXPECT_EQ(Platform_ns::FollowLinks(folder / "file"), folder / "file");
}

// The time as YYYYMMDDHHMM.
std::string Stamp(int year, int month, int day, int hour, int minute) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d", year, month, day, hour, minute);
  return text;
}

std::string LibraryNow() {
  const std::time_t now = std::time(nullptr);
  const std::tm parts = *std::localtime(&now);
  return Stamp(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min);
}

TEST(LocalTime, IsTheClockOfThisMachine) {
  // Between two readings of the C library's clock, which agrees with Windows' own in the time
  // zones that both know.
  const std::string before = LibraryNow();
  const Platform_ns::LocalTime time = Platform_ns::CurrentLocalTime();
  const std::string after = LibraryNow();
  const std::string platform = Stamp(time.year, time.month, time.day, time.hour, time.minute);
  EXPECT_LE(before, platform);
  EXPECT_LE(platform, after);
}

TEST(WaveInput, ReportsTheDevicesAndTheirFormats) {
  Platform_ns::WaveInput& input = Platform_ns::SystemWaveInput();
  const uint32_t count = input.DeviceCount();
  for (uint32_t device = 0; device < count; ++device) {
    uint32_t formats = 0xFFFFFFFF;
    EXPECT_TRUE(input.DeviceFormats(device, formats)) << device;
    EXPECT_EQ(
        formats & ~(Platform_ns::kWaveFormatMono8Bit22050 | Platform_ns::kWaveFormatMono8Bit44100),
        0u);
  }
  // A device that does not exist neither answers nor opens.
  uint32_t formats = 0;
  EXPECT_FALSE(input.DeviceFormats(count, formats));
  EXPECT_FALSE(input.Open(count, 44100));
  EXPECT_FALSE(input.Start());
  EXPECT_FALSE(input.Stop());
  EXPECT_FALSE(input.Close());
}

TEST(Keys, ComeFromStandardInputOneByteAtATimeUntilItsEnd) {
  TestSupport::StandardInputPipe keys;
  Platform_ns::KeyInput& input = Platform_ns::SystemKeyInput();
  input.Begin();
  EXPECT_EQ(input.NextKey(), Platform_ns::kNoKey);  // nothing typed yet
  keys.Write("x\x1bq");
  std::string got;
  for (int i = 0; i < 5000 && got.size() < 3; ++i) {
    const int key = input.NextKey();
    if (key == Platform_ns::kNoKey) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      got += static_cast<char>(key);
    }
  }
  EXPECT_EQ(got, "x\x1bq");
  keys.Close();
  EXPECT_EQ(input.NextKey(), Platform_ns::kNoKey);
  input.End();
}

}  // namespace
