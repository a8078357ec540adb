#include <windows.h>

#include <stdexcept>
#include <vector>

#include "support/Settings.h"

namespace TestSupport {
namespace {

constexpr const char* kKey = "Software\\Varnstow";
constexpr const char* kSignature = "Signature";

class OpenKey {
 public:
  explicit OpenKey(bool create) {
    const LONG result =
        create ? RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, nullptr, &key_, nullptr)
               : RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key_);
    if (result != ERROR_SUCCESS) {
      key_ = nullptr;
      if (create) {
        throw std::runtime_error("cannot create the registry key");
      }
    }
  }
  ~OpenKey() {
    if (key_ != nullptr) {
      RegCloseKey(key_);
    }
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

void Set(DWORD type, const void* data, DWORD size) {
  OpenKey key(true);
  if (RegSetValueExA(key.Get(), kSignature, 0, type, static_cast<const BYTE*>(data), size) !=
      ERROR_SUCCESS) {
    throw std::runtime_error("cannot store the registry value");
  }
}

}  // namespace

void UseSettingsIn(const std::string&) {}

void CreateSettingsKey(const std::string&) {
  OpenKey key(true);
}

bool SignatureStored(const std::string&) {
  OpenKey key(false);
  return key.Get() != nullptr && RegQueryValueExA(key.Get(), kSignature, nullptr, nullptr, nullptr,
                                                  nullptr) == ERROR_SUCCESS;
}

std::string StoredSignature(const std::string&) {
  OpenKey key(false);
  DWORD size = 0;
  if (key.Get() == nullptr ||
      RegQueryValueExA(key.Get(), kSignature, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<char> bytes(size + 1, '\0');
  if (RegQueryValueExA(key.Get(), kSignature, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS) {
    return {};
  }
  std::string value(bytes.data(), size);
  if (!value.empty() && value.back() == '\0') {
    value.pop_back();  // the string's own end
  }
  return value;
}

void StoreSignature(const std::string&, const std::string& value) {
  Set(REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void StoreUnreadableSignature(const std::string&) {
  const DWORD number = 1234;
  Set(REG_DWORD, &number, sizeof number);
}

void RemoveSettings(const std::string&) {
  RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
}

}  // namespace TestSupport
