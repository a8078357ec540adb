#include "platform/Settings_store.h"

#include <windows.h>

#include <vector>

#include "platform/Platform_failure.h"

namespace Platform_ns {
namespace {

constexpr const char* kKeyPath = "Software\\Varnstow";

HKEY KeyOf(void* handle) {
  return static_cast<HKEY>(handle);
}

}  // namespace

SettingsKey::~SettingsKey() {
  Close();
}

bool SettingsKey::Open(bool create) {
  Close();
  HKEY key = nullptr;
  const LONG result =
      create ? RegCreateKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_READ | KEY_WRITE, nullptr, &key, nullptr)
             : RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ | KEY_WRITE, &key);
  if (result != ERROR_SUCCESS) {
    return false;
  }
  handle_ = key;
  open_ = true;
  return true;
}

std::string SettingsKey::ReadString(const std::string& name) const {
  if (!open_) {
    return {};
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(KeyOf(handle_), name.c_str(), nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    // A missing value, or one of another type than a string, reads as empty.
    return {};
  }
  std::vector<char> buffer(size + 1, '\0');
  if (RegQueryValueExA(KeyOf(handle_), name.c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS) {
    return {};
  }
  std::string value(buffer.data(), size);
  while (!value.empty() && value.back() == '\0') {
    value.pop_back();
  }
  return value;
}

void SettingsKey::WriteString(const std::string& name, const std::string& value) {
  if (!open_) {
    throw PlatformFailure("The settings key is not open");
  }
  // The registry replaces a value in one step.
  const LONG result = RegSetValueExA(KeyOf(handle_), name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>(value.size() + 1));
  if (result != ERROR_SUCCESS) {
    throw PlatformFailure("Could not store the setting " + name);
  }
}

void SettingsKey::Close() {
  if (open_) {
    RegCloseKey(KeyOf(handle_));
  }
  handle_ = nullptr;
  open_ = false;
}

}  // namespace Platform_ns
