#include "platform/File_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace Platform_ns {

struct OutputFile {
  int descriptor = -1;
  // A new file that is to take another's place: its bytes reach the disk before it is closed,
  // so that the rename never puts an empty file where a whole one was.
  bool syncOnClose = false;
};

namespace {

bool EqualIgnoringCase(const std::string& a, const char* b) {
  const size_t length = std::strlen(b);
  if (a.size() != length) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    auto lower = [](unsigned char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
    };
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

FileResult ResultOf(int result) {
  if (result == 0) {
    return {};
  }
  const int error = errno;
  FileResult outcome;
  outcome.text = std::strerror(error);
  if (error == ENOENT) {
    outcome.error = FileError::kNotFound;
  } else if (error == EACCES || error == EPERM || error == EROFS) {
    outcome.error = FileError::kPermissionDenied;
  } else if (error == EEXIST) {
    outcome.error = FileError::kExists;
  } else {
    outcome.error = FileError::kOther;
  }
  return outcome;
}

OutputFile* OpenOutputFile(const std::string& path, FileResult& result) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (descriptor < 0 && errno == EINTR);
  result = ResultOf(descriptor < 0 ? -1 : 0);
  return descriptor < 0 ? nullptr : new OutputFile{descriptor, false};
}

OutputFile* CreateNewFile(const std::string& path, FileResult& result) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (descriptor < 0 && errno == EINTR);
  result = ResultOf(descriptor < 0 ? -1 : 0);
  return descriptor < 0 ? nullptr : new OutputFile{descriptor, true};
}

FileResult CopyFileAttributes(const std::string& from, const std::string& to) {
  struct stat info {};
  if (stat(from.c_str(), &info) != 0) {
    return ResultOf(-1);
  }
  // The owner first: changing it may clear the set-user and set-group bits, which the mode
  // then puts back. Only the superuser may give a file away, and only a member may give it a
  // group: what this process may not set stays its own.
  if (chown(to.c_str(), info.st_uid, info.st_gid) != 0) {
    if (chown(to.c_str(), static_cast<uid_t>(-1), info.st_gid) != 0) {
      // The file stays this process's own, in its group.
    }
  }
  return ResultOf(chmod(to.c_str(), info.st_mode & 07777));
}

// The registered temporary files, in storage that a signal handler may read: a fixed number
// of places, each taken by one thread that sets its flag once the name is in it.
constexpr int kTemporarySlots = 8;
struct TemporarySlot {
  std::atomic<bool> used{false};
  char path[PATH_MAX];
};
TemporarySlot temporarySlots[kTemporarySlots];

void RemoveRegisteredFiles() {
  for (TemporarySlot& slot : temporarySlots) {
    if (slot.used.load(std::memory_order_acquire)) {
      unlink(slot.path);
    }
  }
}

extern "C" void RemoveTemporariesAndEnd(int signalNumber) {
  RemoveRegisteredFiles();
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

FileResult WriteOutputFile(OutputFile* file, const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = write(file->descriptor, bytes, count);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written == 0) {
        errno = EIO;  // nothing taken and no reason given: never wait for it forever
      }
      return ResultOf(-1);
    }
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return {};
}

FileResult CloseOutputFile(OutputFile* file) {
  // The descriptor is released even when close reports a failure (on Linux, also after EINTR),
  // so it is never closed twice.
  if (file->syncOnClose && fsync(file->descriptor) != 0 && errno != EINVAL) {
    const FileResult failed = ResultOf(-1);
    close(file->descriptor);
    delete file;
    return failed;
  }
  const int result = close(file->descriptor);
  const FileResult outcome = ResultOf(result);
  delete file;
  return outcome;
}

}  // namespace

FileOperations PlatformFileOperations() {
  return {OpenOutputFile, CreateNewFile, WriteOutputFile,   CloseOutputFile,
          RemoveFile,     ReplaceFile,   CopyFileAttributes};
}

FileOperations TheFileOperations = {OpenOutputFile,    CreateNewFile, WriteOutputFile,
                                    CloseOutputFile,   RemoveFile,    ReplaceFile,
                                    CopyFileAttributes};

FileFacts FactsOf(const std::string& path) {
  FileFacts facts;
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) {
    return facts;
  }
  facts.exists = true;
  facts.regular = S_ISREG(info.st_mode);
  // The superuser may write any file, but one that nobody may write is meant to stay as it is.
  facts.readOnly = (info.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0;
  facts.size = static_cast<uint64_t>(info.st_size);
  facts.links = static_cast<uint64_t>(info.st_nlink);
  return facts;
}

std::string FollowLinks(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
    return path;
  }
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    return path;
  }
  std::string target(resolved);
  std::free(resolved);
  return target;
}

std::string ProcessTag() {
  return std::to_string(static_cast<long>(getpid()));
}

void RegisterTemporaryFile(const std::string& path) {
  if (path.size() >= PATH_MAX) {
    return;
  }
  for (TemporarySlot& slot : temporarySlots) {
    if (!slot.used.load(std::memory_order_acquire)) {
      std::memcpy(slot.path, path.c_str(), path.size() + 1);
      slot.used.store(true, std::memory_order_release);
      return;
    }
  }
}

void UnregisterTemporaryFile(const std::string& path) {
  for (TemporarySlot& slot : temporarySlots) {
    if (slot.used.load(std::memory_order_acquire) && path == slot.path) {
      slot.used.store(false, std::memory_order_release);
      return;
    }
  }
}

void RemoveTemporaryFilesOnInterruption() {
  struct sigaction action {};
  action.sa_handler = RemoveTemporariesAndEnd;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    // A signal ignored from the start (under nohup) stays ignored.
    struct sigaction previous {};
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signalNumber, &action, nullptr);
  }
}

FileSearchResult FindFile(const std::string& path) {
  FileSearchResult result;
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) {
    return result;
  }
  result.found = true;
  result.isDirectory = S_ISDIR(info.st_mode);

  const auto slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

  // The stored case: an entry equal to the name wins; otherwise the entry equal to it when
  // case is ignored (what a case-insensitive file system matched). When the folder cannot be
  // listed the name is taken as stored.
  result.storedName = name;
  if (DIR* listing = opendir(folder.c_str())) {
    std::string sameIgnoringCase;
    bool exact = false;
    while (const dirent* entry = readdir(listing)) {
      if (name == entry->d_name) {
        exact = true;
        break;
      }
      if (sameIgnoringCase.empty() && EqualIgnoringCase(name, entry->d_name)) {
        sameIgnoringCase = entry->d_name;
      }
    }
    closedir(listing);
    if (!exact && !sameIgnoringCase.empty()) {
      result.storedName = sameIgnoringCase;
    }
  }
  return result;
}

const char* PathSeparators() {
  return "/";
}

FileResult RemoveFile(const std::string& path) {
  return ResultOf(std::remove(path.c_str()));
}

FileResult ReplaceFile(const std::string& from, const std::string& to) {
  return ResultOf(std::rename(from.c_str(), to.c_str()));
}

}  // namespace Platform_ns
