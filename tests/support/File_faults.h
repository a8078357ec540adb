#pragma once

// Fault injection for the file operations of Platform_ns::TheFileOperations: for as long as a
// FileFaults object lives, every operation goes through it, counts its calls and either does
// the real thing or fails with the error the test chose. The platform's own operations are
// put back when it goes.

#include <cstddef>
#include <string>

#include "platform/File_system.h"

namespace TestSupport {

class FileFaults {
 public:
  // A failure: the error and the system's text that go with it.
  struct Failure {
    bool active = false;
    Platform_ns::FileResult result;
  };

  FileFaults() {
    Active() = this;
    real_ = Platform_ns::PlatformFileOperations();
    Platform_ns::TheFileOperations = {Open,   CreateNew, Write,         Close,
                                      Remove, Replace,   CopyAttributes};
  }
  ~FileFaults() {
    Platform_ns::TheFileOperations = Platform_ns::PlatformFileOperations();
    Active() = nullptr;
  }
  FileFaults(const FileFaults&) = delete;
  FileFaults& operator=(const FileFaults&) = delete;

  static Failure Because(Platform_ns::FileError error, const char* text) {
    return Failure{true, Platform_ns::FileResult{error, text}};
  }

  // Opening (or creating a new file) fails without creating anything.
  Failure openFails;
  // Writing fails at calls number writeFailsFrom (1 for the first) to writeFailsTo (-1: all
  // later ones), after writing the first half of the bytes it was given, as a drive that fills
  // up does.
  Failure writeFails;
  int writeFailsFrom = 1;
  int writeFailsTo = -1;
  // Closing fails after the file has been closed.
  Failure closeFails;
  // Removing and renaming fail without doing anything.
  Failure removeFails;
  Failure replaceFails;
  // Copying the permissions and owner fails without changing anything.
  Failure copyAttributesFails;

  int opens = 0;
  int writes = 0;
  int closes = 0;
  int removes = 0;
  int replaces = 0;
  int attributeCopies = 0;
  std::string removed;   // the name given to the last removal
  std::string created;   // the name given to the last creation of a new file
  std::string replaced;  // the name the last rename gave

 private:
  static FileFaults*& Active() {
    static FileFaults* active = nullptr;
    return active;
  }

  static Platform_ns::OutputFile* Open(const std::string& path, Platform_ns::FileResult& result) {
    FileFaults& faults = *Active();
    ++faults.opens;
    if (faults.openFails.active) {
      result = faults.openFails.result;
      return nullptr;
    }
    return faults.real_.OpenForWriting(path, result);
  }

  static Platform_ns::OutputFile* CreateNew(const std::string& path,
                                            Platform_ns::FileResult& result) {
    FileFaults& faults = *Active();
    ++faults.opens;
    faults.created = path;
    if (faults.openFails.active) {
      result = faults.openFails.result;
      return nullptr;
    }
    return faults.real_.CreateNew(path, result);
  }

  static Platform_ns::FileResult CopyAttributes(const std::string& from, const std::string& to) {
    FileFaults& faults = *Active();
    ++faults.attributeCopies;
    return faults.copyAttributesFails.active ? faults.copyAttributesFails.result
                                             : faults.real_.CopyAttributes(from, to);
  }

  static Platform_ns::FileResult Write(Platform_ns::OutputFile* file, const char* bytes,
                                       size_t count) {
    FileFaults& faults = *Active();
    ++faults.writes;
    if (faults.writeFails.active && faults.writes >= faults.writeFailsFrom &&
        (faults.writeFailsTo < 0 || faults.writes <= faults.writeFailsTo)) {
      faults.real_.Write(file, bytes, count / 2);
      return faults.writeFails.result;
    }
    return faults.real_.Write(file, bytes, count);
  }

  static Platform_ns::FileResult Close(Platform_ns::OutputFile* file) {
    FileFaults& faults = *Active();
    ++faults.closes;
    const Platform_ns::FileResult result = faults.real_.Close(file);
    return faults.closeFails.active ? faults.closeFails.result : result;
  }

  static Platform_ns::FileResult Remove(const std::string& path) {
    FileFaults& faults = *Active();
    ++faults.removes;
    faults.removed = path;
    return faults.removeFails.active ? faults.removeFails.result : faults.real_.Remove(path);
  }

  static Platform_ns::FileResult Replace(const std::string& from, const std::string& to) {
    FileFaults& faults = *Active();
    ++faults.replaces;
    faults.replaced = to;
    return faults.replaceFails.active ? faults.replaceFails.result : faults.real_.Replace(from, to);
  }

  Platform_ns::FileOperations real_{};
};

}  // namespace TestSupport
