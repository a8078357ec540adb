#include <cstdlib>
#include <filesystem>

#include "support/Settings.h"
#include "support/Temp_folder.h"

namespace TestSupport {
namespace {

std::string KeyFolder(const std::string& folder) {
  return folder + "/config/Varnstow";
}

}  // namespace

void UseSettingsIn(const std::string& folder) {
  setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
  setenv("HOME", folder.c_str(), 1);
}

void CreateSettingsKey(const std::string& folder) {
  std::filesystem::create_directories(KeyFolder(folder));
}

bool SignatureStored(const std::string& folder) {
  return FileExists(KeyFolder(folder) + "/Signature");
}

std::string StoredSignature(const std::string& folder) {
  return ReadFile(KeyFolder(folder) + "/Signature");
}

void StoreSignature(const std::string& folder, const std::string& value) {
  CreateSettingsKey(folder);
  WriteFile(KeyFolder(folder) + "/Signature", value);
}

void StoreUnreadableSignature(const std::string& folder) {
  std::filesystem::create_directories(KeyFolder(folder) + "/Signature");
}

void RemoveSettings(const std::string& folder) {
  std::filesystem::remove_all(KeyFolder(folder));
}

}  // namespace TestSupport
