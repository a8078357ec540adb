#pragma once

namespace Platform_ns {

constexpr int kNoKey = -1;
constexpr int kEscapeKey = 27;

// Keys typed at the console while the program works, read one at a time without waiting.
class KeyInput {
 public:
  virtual ~KeyInput() = default;

  // Puts the console into key mode: each key can be read as soon as it is typed, and typed
  // keys are not echoed. Control-C and the other control keys keep working.
  virtual void Begin() = 0;
  // The code of the next key typed and not yet read, or kNoKey. Never waits.
  virtual int NextKey() = 0;
  // Gives the console back as Begin found it.
  virtual void End() = 0;
};

// The console of this process. On POSIX the keys come from standard input: from a terminal
// in key mode, or, when standard input is not a terminal, as the bytes read from it until
// its end.
KeyInput& SystemKeyInput();

inline KeyInput*& InstalledKeyInput() {
  static KeyInput* installed = nullptr;
  return installed;
}

// The key input the program reads: the system's, unless tests put another in its place with
// UseKeyInput (nullptr gives the system's back).
inline KeyInput& CurrentKeyInput() {
  KeyInput* installed = InstalledKeyInput();
  return installed != nullptr ? *installed : SystemKeyInput();
}
inline void UseKeyInput(KeyInput* input) {
  InstalledKeyInput() = input;
}

}  // namespace Platform_ns
