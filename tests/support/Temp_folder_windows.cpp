#include <windows.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "support/Temp_folder.h"

namespace TestSupport {

std::string MakeTemporaryFolder(const std::string& prefix) {
  char base[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(sizeof base, base);
  if (length == 0 || length > MAX_PATH) {
    throw std::runtime_error("cannot find the temporary folder");
  }
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string path = std::string(base) + prefix + std::to_string(GetCurrentProcessId()) +
                             "-" + std::to_string(counter.fetch_add(1)) + "-" +
                             std::to_string(GetTickCount() % 100000);
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      return path;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::TempFolder() : path_(MakeTemporaryFolder("varnstow-test-")) {}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Make everything writable again first: tests make files read-only.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(path_, ignored);
}

bool FolderPermissionsApply() {
  return false;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace TestSupport
