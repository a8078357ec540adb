#include "platform/File_system.h"

#include <windows.h>
// windows.h defines ReplaceFile as a macro for its own function of that name.
#undef ReplaceFile

#include <atomic>
#include <cstring>
#include <vector>

namespace Platform_ns {

struct OutputFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  // A new file that is to take another's place: its bytes reach the disk before it is closed.
  bool flushOnClose = false;
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
  } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
             error == ERROR_WRITE_PROTECT) {
    outcome.error = FileError::kPermissionDenied;
  } else if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
    outcome.error = FileError::kExists;
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
  return new OutputFile{handle, false};
}

OutputFile* CreateNewFile(const std::string& path, FileResult& result) {
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result = ResultOfLastError();
    return nullptr;
  }
  result = {};
  return new OutputFile{handle, true};
}

// Gives to the security descriptor of from: its access list, and its owner and group where
// this process may set them. A file system that keeps no security (FAT) has nothing to give.
FileResult CopyFileAttributes(const std::string& from, const std::string& to) {
  const SECURITY_INFORMATION wanted =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  GetFileSecurityA(from.c_str(), wanted, nullptr, 0, &needed);
  if (needed == 0) {
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED ||
        error == ERROR_INVALID_FUNCTION) {
      return {};
    }
    return ResultOfLastError();
  }
  std::vector<char> descriptor(needed);
  if (!GetFileSecurityA(from.c_str(), wanted, descriptor.data(), needed, &needed)) {
    return ResultOfLastError();
  }
  if (!SetFileSecurityA(to.c_str(), DACL_SECURITY_INFORMATION, descriptor.data())) {
    return ResultOfLastError();
  }
  // Only an administrator may give a file away: otherwise it stays this process's own.
  SetFileSecurityA(to.c_str(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                   descriptor.data());
  const DWORD attributes = GetFileAttributesA(from.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    const DWORD kept = attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    SetFileAttributesA(to.c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
  }
  return {};
}

// The registered temporary files, in storage that the control handler's thread may read.
constexpr int kTemporarySlots = 8;
struct TemporarySlot {
  std::atomic<bool> used{false};
  char path[MAX_PATH];
};
TemporarySlot temporarySlots[kTemporarySlots];

BOOL WINAPI RemoveTemporariesOnEvent(DWORD) {
  for (TemporarySlot& slot : temporarySlots) {
    if (slot.used.load(std::memory_order_acquire)) {
      DeleteFileA(slot.path);
    }
  }
  return FALSE;  // the process ends as it would have
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
  if (file->flushOnClose && !FlushFileBuffers(file->handle)) {
    const FileResult failed = ResultOfLastError();
    CloseHandle(file->handle);
    delete file;
    return failed;
  }
  const bool closed = CloseHandle(file->handle) != 0;
  const FileResult outcome = closed ? FileResult{} : ResultOfLastError();
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
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    return facts;
  }
  facts.exists = true;
  facts.regular = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  facts.readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  facts.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  facts.links = 1;
  const HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle, &information)) {
      facts.links = information.nNumberOfLinks;
    }
    CloseHandle(handle);
  }
  return facts;
}

std::string FollowLinks(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  const HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return path;
  }
  char target[MAX_PATH + 8] = {};
  const DWORD length =
      GetFinalPathNameByHandleA(handle, target, sizeof target - 1, FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  if (length == 0 || length >= sizeof target - 1) {
    return path;
  }
  std::string resolved(target, length);
  if (resolved.rfind("\\\\?\\", 0) == 0) {
    resolved.erase(0, 4);
  }
  return resolved;
}

std::string ProcessTag() {
  return std::to_string(static_cast<unsigned long>(GetCurrentProcessId()));
}

void RegisterTemporaryFile(const std::string& path) {
  if (path.size() >= MAX_PATH) {
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
  SetConsoleCtrlHandler(RemoveTemporariesOnEvent, TRUE);
}

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
