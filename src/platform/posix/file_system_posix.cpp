#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Platform_ns {

struct OutputFile {
  int descriptor = -1;
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
  } else if (error == EACCES || error == EPERM) {
    outcome.error = FileError::kPermissionDenied;
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
  return descriptor < 0 ? nullptr : new OutputFile{descriptor};
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
  const int result = close(file->descriptor);
  const FileResult outcome = ResultOf(result);
  delete file;
  return outcome;
}

}  // namespace

FileOperations PlatformFileOperations() {
  return {OpenOutputFile, WriteOutputFile, CloseOutputFile, RemoveFile, ReplaceFile};
}

FileOperations TheFileOperations = {OpenOutputFile, WriteOutputFile, CloseOutputFile, RemoveFile,
                                    ReplaceFile};

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
