#pragma once

#include <string>

namespace TestSupport {

// The program's per-user settings (the creator's signature) as the tests see them. On POSIX
// they are kept under folder/config, where the tests point the settings store (RunVarnstow
// does so for the program, UseSettingsIn for this process). On Windows they are the registry
// key HKEY_CURRENT_USER\Software\Varnstow, one for every process of the user: folder does not
// matter there, each test starts without the key, and a test binary that stores a signature
// runs alone (see tests/CMakeLists.txt).

// Points this process's settings store at folder (POSIX: $XDG_CONFIG_HOME and $HOME).
void UseSettingsIn(const std::string& folder);

// Creates the settings key without any value.
void CreateSettingsKey(const std::string& folder);

// Whether the Signature value exists, and what it holds (empty when it does not exist).
bool SignatureStored(const std::string& folder);
std::string StoredSignature(const std::string& folder);

// Stores value as the Signature, as the program does.
void StoreSignature(const std::string& folder, const std::string& value);

// Stores a Signature that is not a text the program can read: a number in the registry, a
// folder on POSIX.
void StoreUnreadableSignature(const std::string& folder);

// Removes the settings key with its values.
void RemoveSettings(const std::string& folder);

}  // namespace TestSupport
