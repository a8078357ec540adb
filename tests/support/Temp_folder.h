#pragma once

#include <string>

namespace TestSupport {

// A fresh folder under the system's temporary folder, removed with its contents when the
// object goes out of scope.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  // The path of name inside the folder.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A fresh folder in the system's temporary folder, its name starting with prefix. The caller
// removes it.
std::string MakeTemporaryFolder(const std::string& prefix);

// Whether taking the write permission away from a folder stops this process from creating
// files in it: not for the superuser, and not on Windows, where a folder's read-only attribute
// does not protect its contents.
bool FolderPermissionsApply();

// Whole-file helpers for tests.
std::string ReadFile(const std::string& path);
// A text file that the program wrote (a log), with its line ends as "\n": on Windows text
// files end their lines with "\r\n".
std::string ReadTextFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace TestSupport
