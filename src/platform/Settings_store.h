#pragma once

#include <string>

namespace Platform_ns {

// The per-user settings key Software\Varnstow, which holds the creator's signature.
// Windows keeps it in the registry under HKEY_CURRENT_USER. POSIX keeps it as the folder
// Varnstow in the user's configuration folder ($XDG_CONFIG_HOME, else $HOME/.config), one
// file per value holding exactly the value's bytes.
class SettingsKey {
 public:
  SettingsKey() = default;
  ~SettingsKey();
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;

  // Opens the key. With create, a missing key is created first. Returns false, without
  // raising, when the key does not exist (create false) or cannot be opened or created.
  bool Open(bool create);

  // Reads the string value called name. A missing value, or one that is not a string,
  // reads as empty.
  std::string ReadString(const std::string& name) const;

  // Stores value under name, replacing what was there. The replacement is atomic: a crash
  // leaves either the old or the new value. Throws PlatformFailure when it cannot be stored.
  void WriteString(const std::string& name, const std::string& value);

  void Close();

 private:
  bool open_ = false;
  std::string location_;                     // POSIX: the key's folder
  [[maybe_unused]] void* handle_ = nullptr;  // Windows: the open registry key
};

}  // namespace Platform_ns
