#include "platform/file_system.h"

#include <windows.h>
// windows.h defines ReplaceFile as a macro for its own function of that name.
#undef ReplaceFile

namespace Platform_ns {

struct OutputFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

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

OutputFile* OpenOutputFile(const std::string& path, FileResult& result) {
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result = ResultOfLastError();
    return nullptr;
  }
  result = {};
  return new OutputFile{handle};
}

FileResult WriteOutputFile(OutputFile* file, const char* bytes, size_t count) {
  while (count > 0) {
    const DWORD step = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(file->handle, bytes, step, &written, nullptr)) {
      return ResultOfLastError();
    }
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return ResultOfLastError();
    }
    bytes += written;
    count -= written;
  }
  return {};
}

FileResult CloseOutputFile(OutputFile* file) {
  const bool closed = CloseHandle(file->handle) != 0;
  const FileResult outcome = closed ? FileResult{} : ResultOfLastError();
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
  // FindFirstFileA takes * and ? as wildcards; no file's name holds them.
  if (path.find_first_of("*?") != std::string::npos) {
    return result;
  }
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
  // Only a file takes another file's place: Windows refuses a folder, and so does this under
  // Wine, whose MoveFileExA would put the folder there.
  const DWORD attributes = GetFileAttributesA(from.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return ResultOfLastError();
  }
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return {};
  }
  return ResultOfLastError();
}

}  // namespace Platform_ns
