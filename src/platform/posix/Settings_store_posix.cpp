#include "platform/Settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Platform_failure.h"

namespace Platform_ns {
namespace {

// The user's configuration folder, as the XDG base directory rules name it: $XDG_CONFIG_HOME
// when it is an absolute path, else $HOME/.config. Empty when neither can be found.
std::string ConfigurationFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    return xdg;
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.config";
  }
  return {};
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates path and any missing folders above it.
bool MakeFolders(const std::string& path) {
  if (IsFolder(path)) {
    return true;
  }
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash))) {
    return false;
  }
  return mkdir(path.c_str(), 0700) == 0 || (errno == EEXIST && IsFolder(path));
}

bool WriteAll(int fd, const std::string& bytes) {
  const char* next = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = write(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    next += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

SettingsKey::~SettingsKey() {
  Close();
}

bool SettingsKey::Open(bool create) {
  Close();
  const std::string root = ConfigurationFolder();
  if (root.empty()) {
    return false;
  }
  const std::string folder = root + "/Varnstow";
  if (create && !MakeFolders(folder)) {
    return false;
  }
  if (!IsFolder(folder)) {
    return false;
  }
  location_ = folder;
  open_ = true;
  return true;
}

std::string SettingsKey::ReadString(const std::string& name) const {
  if (!open_) {
    return {};
  }
  const int fd = open((location_ + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return {};
  }
  std::string value;
  std::vector<char> chunk(4096);
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      // A value that cannot be read to its end (a folder in its place, say) reads as empty.
      if (got < 0) {
        value.clear();
      }
      break;
    }
    value.append(chunk.data(), static_cast<size_t>(got));
  }
  close(fd);
  return value;
}

void SettingsKey::WriteString(const std::string& name, const std::string& value) {
  if (!open_) {
    throw PlatformFailure("The settings key is not open");
  }
  // Write a temporary file beside the value and rename it over the value, so that the value
  // is replaced in one step and never left half written.
  std::string temporary = location_ + "/." + name + ".XXXXXX";
  std::vector<char> pattern(temporary.begin(), temporary.end());
  pattern.push_back('\0');
  const int fd = mkstemp(pattern.data());
  if (fd < 0) {
    throw PlatformFailure("Could not store the setting " + name + ": " + std::strerror(errno));
  }
  temporary = pattern.data();
  const bool written = WriteAll(fd, value) && fsync(fd) == 0;
  const int writeError = errno;
  if (close(fd) != 0 || !written) {
    unlink(temporary.c_str());
    throw PlatformFailure("Could not store the setting " + name + ": " +
                          std::strerror(written ? errno : writeError));
  }
  if (std::rename(temporary.c_str(), (location_ + "/" + name).c_str()) != 0) {
    const int renameError = errno;
    unlink(temporary.c_str());
    throw PlatformFailure("Could not store the setting " + name + ": " +
                          std::strerror(renameError));
  }
}

void SettingsKey::Close() {
  open_ = false;
  location_.clear();
}

}  // namespace Platform_ns
