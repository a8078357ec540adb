// The POSIX platform layer: the settings store, file look-up, removal and renaming, creating
// new files, copying permissions and owners, the facts of a file and its links.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "platform/File_system.h"
#include "platform/Platform_failure.h"
#include "platform/Settings_store.h"
#include "support/Temp_folder.h"

namespace {

using Platform_ns::FileError;
using Platform_ns::FindFile;
using Platform_ns::SettingsKey;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* listing = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.insert(name);
      }
    }
    closedir(listing);
  }
  return names;
}

// Points the settings store at this test's folder (every test here that uses it sets it).
class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    setenv("HOME", (folder_ / "home").c_str(), 1);
  }

  TempFolder folder_;
  const std::string config_ = folder_ / "config";
  const std::string key_ = folder_ / "config/Varnstow";
};

TEST_F(SettingsStore, OpenCreatesTheKeyOnlyWhenAsked) {
  SettingsKey key;
  EXPECT_FALSE(key.Open(false));
  EXPECT_FALSE(FileExists(config_));
  EXPECT_THROW(key.WriteString("Signature", "x"), Platform_ns::PlatformFailure);
  EXPECT_EQ(key.ReadString("Signature"), "");

  ASSERT_TRUE(key.Open(true));  // creates the configuration folder as well
  struct stat info {};
  ASSERT_EQ(stat(key_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(key.ReadString("Signature"), "");
  key.Close();

  SettingsKey again;
  EXPECT_TRUE(again.Open(false));
}

TEST_F(SettingsStore, ValuesRoundTripExactlyAndAreReplacedWhole) {
  const std::string values[] = {"A. N. Archivist", std::string("two  blanks\tand\na\0nul", 21),
                                "\xc3\xa9\xff\x80\x01", "short", ""};
  for (const std::string& value : values) {
    {
      SettingsKey key;
      ASSERT_TRUE(key.Open(true));
      key.WriteString("Signature", value);
    }
    SettingsKey key;
    ASSERT_TRUE(key.Open(false));
    EXPECT_EQ(key.ReadString("Signature"), value);
    EXPECT_EQ(ReadFile(key_ + "/Signature"), value);
    // The replacement leaves nothing else behind in the key.
    EXPECT_EQ(Entries(key_), std::set<std::string>{"Signature"});
  }
  SettingsKey key;
  ASSERT_TRUE(key.Open(false));
  key.WriteString("Other", "o");
  EXPECT_EQ(key.ReadString("Other"), "o");
  EXPECT_EQ(key.ReadString("Signature"), "");
}

TEST_F(SettingsStore, ValueThatCannotBeReplacedFailsAndLeavesNoTemporaryFile) {
  SettingsKey key;
  ASSERT_TRUE(key.Open(true));
  mkdir((key_ + "/Signature").c_str(), 0700);
  WriteFile(key_ + "/Signature/inside", "x");  // a folder that is not empty cannot be replaced
  EXPECT_EQ(key.ReadString("Signature"), "");
  EXPECT_THROW(key.WriteString("Signature", "new"), Platform_ns::PlatformFailure);
  EXPECT_EQ(Entries(key_), std::set<std::string>{"Signature"});
}

TEST_F(SettingsStore, WithoutAnAbsoluteXdgFolderTheHomeConfigFolderIsUsed) {
  // In the test's folder, so that a relative folder wrongly used lands there.
  char* const previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(folder_.Path().c_str()), 0);
  for (const bool unset : {true, false}) {
    if (unset) {
      unsetenv("XDG_CONFIG_HOME");
    } else {
      setenv("XDG_CONFIG_HOME", "relative/config", 1);  // ignored, as the XDG rules say
    }
    {
      SettingsKey key;
      ASSERT_TRUE(key.Open(true));
      key.WriteString("Signature", unset ? "home" : "again");
    }
    EXPECT_EQ(ReadFile(folder_ / "home/.config/Varnstow/Signature"), unset ? "home" : "again");
    EXPECT_FALSE(FileExists(config_));
  }
  EXPECT_FALSE(FileExists(folder_ / "relative"));
  unsetenv("HOME");
  SettingsKey key;
  EXPECT_FALSE(key.Open(true));
  EXPECT_EQ(chdir(previous), 0);
  std::free(previous);
}

TEST(FileLookUp, FindsFilesAndFoldersWithTheirStoredNames) {
  TempFolder folder;
  // On a file system that keeps case the exact name is found, even among others that differ
  // only in case.
  for (const std::string name : {"tape.raw", "Tape.raw", "TAPE.RAW", "tApE.rAw"}) {
    WriteFile(folder / name, name);
  }
  for (const std::string name : {"tApE.rAw", "TAPE.RAW", "Tape.raw", "tape.raw"}) {
    const auto found = FindFile(folder / name);
    EXPECT_TRUE(found.found) << name;
    EXPECT_FALSE(found.isDirectory) << name;
    EXPECT_EQ(found.storedName, name);
  }
  EXPECT_FALSE(FindFile(folder / "TAPE.raw").found);
  EXPECT_FALSE(FindFile(folder / "missing").found);
  EXPECT_FALSE(FindFile(folder / "missing/tape.raw").found);
  EXPECT_FALSE(FindFile("").found);

  mkdir((folder / "Sub").c_str(), 0700);
  const auto sub = FindFile(folder / "Sub");
  EXPECT_TRUE(sub.found);
  EXPECT_TRUE(sub.isDirectory);
  EXPECT_EQ(sub.storedName, "Sub");

  // A name without folders is looked up in the working folder.
  char* const previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(folder.Path().c_str()), 0);
  const auto plain = FindFile("Tape.raw");
  ASSERT_EQ(chdir(previous), 0);
  std::free(previous);
  EXPECT_TRUE(plain.found);
  EXPECT_EQ(plain.storedName, "Tape.raw");
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

  const auto removed = Platform_ns::RemoveFile(folder / "old");
  EXPECT_EQ(removed.error, FileError::kNone);
  EXPECT_EQ(removed.text, "");
  EXPECT_FALSE(FileExists(folder / "old"));
  EXPECT_EQ(Platform_ns::RemoveFile(folder / "old").error, FileError::kNotFound);

  mkdir((folder / "full").c_str(), 0700);
  WriteFile(folder / "full/file", "x");
  const auto notEmpty = Platform_ns::RemoveFile(folder / "full");
  EXPECT_EQ(notEmpty.error, FileError::kOther);
  EXPECT_FALSE(notEmpty.text.empty());
}

TEST(FileOperations, CreateNewNeverTakesAnExistingName) {
  TempFolder folder;
  const Platform_ns::FileOperations operations = Platform_ns::PlatformFileOperations();
  Platform_ns::FileResult result;
  Platform_ns::OutputFile* file = operations.CreateNew(folder / "new", result);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(result.error, FileError::kNone);
  EXPECT_EQ(operations.Write(file, "abc", 3).error, FileError::kNone);
  EXPECT_EQ(operations.Close(file).error, FileError::kNone);
  EXPECT_EQ(ReadFile(folder / "new"), "abc");

  // A file, a folder, or a symbolic link (even one leading nowhere) at the name: refused.
  std::filesystem::create_directory(folder / "folder");
  std::filesystem::create_symlink(folder / "nowhere", folder / "link");
  for (const char* name : {"new", "folder", "link"}) {
    EXPECT_EQ(operations.CreateNew(folder / name, result), nullptr) << name;
    EXPECT_EQ(result.error, FileError::kExists) << name;
    EXPECT_FALSE(result.text.empty()) << name;
  }
  EXPECT_EQ(ReadFile(folder / "new"), "abc");
  EXPECT_FALSE(FileExists(folder / "nowhere"));
}

TEST(FileOperations, CopyAttributesGivesModeAndOwner) {
  TempFolder folder;
  WriteFile(folder / "from", "a");
  WriteFile(folder / "to", "b");
  const bool superuser = geteuid() == 0;
  if (superuser) {
    ASSERT_EQ(chown((folder / "from").c_str(), 1234, 1235), 0);
  }
  // After the owner: giving a file away clears its set-group bit.
  ASSERT_EQ(chmod((folder / "from").c_str(), 02750), 0);
  const Platform_ns::FileOperations operations = Platform_ns::PlatformFileOperations();
  EXPECT_EQ(operations.CopyAttributes(folder / "from", folder / "to").error, FileError::kNone);
  struct stat info {};
  ASSERT_EQ(stat((folder / "to").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 02750u);
  if (superuser) {
    EXPECT_EQ(info.st_uid, 1234u);
    EXPECT_EQ(info.st_gid, 1235u);
  }
  EXPECT_EQ(operations.CopyAttributes(folder / "missing", folder / "to").error,
            FileError::kNotFound);
  EXPECT_EQ(operations.CopyAttributes(folder / "from", folder / "missing").error,
            FileError::kNotFound);
}

TEST(FileFacts, SizeLinksReadOnlyAndKind) {
  TempFolder folder;
  const auto none = Platform_ns::FactsOf(folder / "missing");
  EXPECT_FALSE(none.exists);

  // A sparse file beyond 4 GiB: its size in full.
  WriteFile(folder / "big", "");
  std::filesystem::resize_file(folder / "big", (uint64_t{1} << 32) + 1000);
  const auto big = Platform_ns::FactsOf(folder / "big");
  EXPECT_TRUE(big.exists);
  EXPECT_TRUE(big.regular);
  EXPECT_FALSE(big.readOnly);
  EXPECT_EQ(big.size, (uint64_t{1} << 32) + 1000);
  EXPECT_EQ(big.links, 1u);

  std::filesystem::create_hard_link(folder / "big", folder / "twin");
  EXPECT_EQ(Platform_ns::FactsOf(folder / "big").links, 2u);

  // Read-only for everyone, whoever runs this.
  ASSERT_EQ(chmod((folder / "twin").c_str(), 0444), 0);
  EXPECT_TRUE(Platform_ns::FactsOf(folder / "big").readOnly);
  ASSERT_EQ(chmod((folder / "twin").c_str(), 0200), 0);
  EXPECT_FALSE(Platform_ns::FactsOf(folder / "big").readOnly);

  std::filesystem::create_directory(folder / "folder");
  const auto directory = Platform_ns::FactsOf(folder / "folder");
  EXPECT_TRUE(directory.exists);
  EXPECT_FALSE(directory.regular);
}

TEST(FileFacts, LinksAreFollowedToTheirFile) {
  TempFolder folder;
  std::filesystem::create_directory(folder / "store");
  WriteFile(folder / "store/real", "x");
  std::filesystem::create_symlink("store/real", folder / "one");
  std::filesystem::create_symlink("one", folder / "two");
  const std::string real = std::filesystem::canonical(folder / "store/real").string();
  EXPECT_EQ(Platform_ns::FollowLinks(folder / "two"), real);
  EXPECT_EQ(Platform_ns::FollowLinks(folder / "one"), real);
  // A plain file's name, and a link that leads nowhere, stay as given.
  EXPECT_EQ(Platform_ns::FollowLinks(folder / "store/real"), folder / "store/real");
  std::filesystem::create_symlink("nowhere", folder / "dangling");
  EXPECT_EQ(Platform_ns::FollowLinks(folder / "dangling"), folder / "dangling");
  EXPECT_EQ(Platform_ns::FactsOf(folder / "two").size, 1u);
}

TEST(TemporaryNames, AreBesideTheFileAndPassTakenNames) {
  TempFolder folder;
  const std::string stem = folder / ("tape.uef." + Platform_ns::ProcessTag() + "-");
  EXPECT_EQ(Platform_ns::TemporaryNameBeside(folder / "tape.uef"), stem + "0.tmp");
  WriteFile(stem + "0.tmp", "left over");
  std::filesystem::create_directory(stem + "1.tmp");
  EXPECT_EQ(Platform_ns::TemporaryNameBeside(folder / "tape.uef"), stem + "2.tmp");
  EXPECT_NE(Platform_ns::ProcessTag(), "");
}

}  // namespace
