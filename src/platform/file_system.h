#pragma once

#include <cstddef>
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

// A file opened for writing through FileOperations; what it holds is the platform's own.
struct OutputFile;

// The operations on the drive through which the program writes the tape image and replaces or
// removes the files of the DC offset correction: one table, so that tests can make any of them
// fail with a chosen error. Every entry starts as the platform's own operation; the program
// never changes them, and a test that does puts them back (PlatformFileOperations).
struct FileOperations {
  // Creates path for writing, or empties the file there. Returns null, with the error in
  // result, when it cannot.
  OutputFile* (*OpenForWriting)(const std::string& path, FileResult& result);
  // Writes all count bytes at the end of what was written, or fails.
  FileResult (*Write)(OutputFile* file, const char* bytes, size_t count);
  // Closes the file, which is released whether or not closing succeeds.
  FileResult (*Close)(OutputFile* file);
  // RemoveFile and ReplaceFile.
  FileResult (*Remove)(const std::string& path);
  FileResult (*Replace)(const std::string& from, const std::string& to);
};

// The platform's own operations.
FileOperations PlatformFileOperations();

// The operations in use.
extern FileOperations TheFileOperations;

}  // namespace Platform_ns
