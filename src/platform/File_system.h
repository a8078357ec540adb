#pragma once

#include <cstddef>
#include <cstdint>
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
// kExists: a file that was to be created new is already there.
enum class FileError { kNone, kNotFound, kPermissionDenied, kExists, kOther };

struct FileResult {
  FileError error = FileError::kNone;
  std::string text;  // the system's description of the error; empty on success
};

FileResult RemoveFile(const std::string& path);

// Renames from to to, replacing an existing to in one atomic step.
FileResult ReplaceFile(const std::string& from, const std::string& to);

// What replacing a file in place needs to know of it. Symbolic links are followed.
struct FileFacts {
  bool exists = false;
  bool regular = false;   // a plain file, not a folder or a device
  bool readOnly = false;  // nobody may write it, or this process may not
  uint64_t size = 0;      // in bytes
  uint64_t links = 0;     // the names the file has (hard links)
};
FileFacts FactsOf(const std::string& path);

// The file that path names, with every symbolic link on the way followed; path itself when it
// names no link (or cannot be resolved).
std::string FollowLinks(const std::string& path);

// A text that no other process running at the same time has: the process's number.
std::string ProcessTag();

// A name beside path under which a new version of it is written before it takes path's place:
// path, a dot, ProcessTag(), a hyphen, a count and ".tmp", the first such name at which
// nothing is. Nothing is created: FileOperations::CreateNew then takes the name.
std::string TemporaryNameBeside(const std::string& path);

// Files being written under a temporary name: when the process is interrupted before it has
// renamed or removed them, they are removed, even when the process ends at once.
void RegisterTemporaryFile(const std::string& path);
void UnregisterTemporaryFile(const std::string& path);
// For a program that does not handle interruptions itself: Control-C and the like (the
// console's control events, or SIGINT, SIGTERM, SIGHUP and SIGQUIT) remove the registered
// files and then end the process as they would have.
void RemoveTemporaryFilesOnInterruption();

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
  // Creates path for writing only when nothing is there (kExists otherwise), in one step, so
  // that two programs never both take it.
  OutputFile* (*CreateNew)(const std::string& path, FileResult& result);
  // Writes all count bytes at the end of what was written, or fails.
  FileResult (*Write)(OutputFile* file, const char* bytes, size_t count);
  // Closes the file, which is released whether or not closing succeeds.
  FileResult (*Close)(OutputFile* file);
  // RemoveFile and ReplaceFile.
  FileResult (*Remove)(const std::string& path);
  FileResult (*Replace)(const std::string& from, const std::string& to);
  // Gives the file to what from has: its permissions, and its owner and group where this
  // process may set them (POSIX), or its security descriptor and attributes (Windows).
  FileResult (*CopyAttributes)(const std::string& from, const std::string& to);
};

// The platform's own operations.
FileOperations PlatformFileOperations();

// The operations in use.
extern FileOperations TheFileOperations;

}  // namespace Platform_ns
