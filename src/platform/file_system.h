#pragma once

#include <string>

namespace Platform_ns {

struct FileSearchResult {
  bool found = false;
  bool isDirectory = false;
  std::string storedName;  // the entry's name as the file system stores it, without folders
};

// Looks a path up the way the input-file check needs it: whether something exists there,
// whether it is a folder, and the case in which the file system stores its name. On a file
// system that ignores case the stored name may differ in case from the one asked for.
FileSearchResult FindFile(const std::string& path);

// Characters that separate folders in a path on this platform.
const char* PathSeparators();

// The outcome of removing or renaming a file, with the two causes the program reports apart.
enum class FileError { kNone, kNotFound, kPermissionDenied, kOther };

struct FileResult {
  FileError error = FileError::kNone;
  std::string text;  // the system's description of the error; empty on success
};

FileResult RemoveFile(const std::string& path);

// Renames from to to, replacing an existing to in one atomic step.
FileResult ReplaceFile(const std::string& from, const std::string& to);

}  // namespace Platform_ns
