#include "platform/file_system.h"

#include <windows.h>
// windows.h defines ReplaceFile as a macro for its own function of that name.
#undef ReplaceFile

namespace Platform_ns {
namespace {

FileResult ResultOfLastError() {
  const DWORD error = GetLastError();
  FileResult outcome;
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 text, sizeof text, nullptr);
  outcome.text = text;
  while (!outcome.text.empty() && (outcome.text.back() == '\n' || outcome.text.back() == '\r' ||
                                   outcome.text.back() == '.')) {
    outcome.text.pop_back();
  }
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    outcome.error = FileError::kNotFound;
  } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    outcome.error = FileError::kPermissionDenied;
  } else {
    outcome.error = FileError::kOther;
  }
  return outcome;
}

}  // namespace

FileSearchResult FindFile(const std::string& path) {
  FileSearchResult result;
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return result;
  }
  FindClose(search);
  result.found = true;
  result.isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  result.storedName = found.cFileName;
  return result;
}

const char* PathSeparators() {
  return "\\/";
}

FileResult RemoveFile(const std::string& path) {
  if (DeleteFileA(path.c_str())) {
    return {};
  }
  return ResultOfLastError();
}

FileResult ReplaceFile(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return {};
  }
  return ResultOfLastError();
}

}  // namespace Platform_ns
