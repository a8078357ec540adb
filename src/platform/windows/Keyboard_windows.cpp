// Keys from standard input. A console is switched to reading single keys without echo (its
// processed input stays on, so Control-C still raises its event) and given back as it was;
// anything else on standard input (a pipe, a file) is read byte by byte, each byte a key,
// until its end. A thread of its own reads with a blocking ReadFile and keeps the keys for
// NextKey, which never waits: this works on every console, Wine's included, where polling
// the console for keys does not see them.
#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>

#include "platform/Keyboard.h"

namespace Platform_ns {
namespace {

// What the reading thread and the program share. Never destroyed: the thread may still be
// waiting for a key while the program ends.
struct KeyQueue {
  std::mutex lock;
  std::deque<unsigned char> keys;
  std::atomic<size_t> waiting{0};  // keys.size(), read without the lock
};

struct ReaderStart {
  HANDLE input;
  bool console;
  KeyQueue* queue;
};

DWORD WINAPI ReadKeys(LPVOID parameter) {
  const ReaderStart start = *static_cast<ReaderStart*>(parameter);
  delete static_cast<ReaderStart*>(parameter);
  for (;;) {
    unsigned char key = 0;
    DWORD got = 0;
    const BOOL read = ReadFile(start.input, &key, 1, &got, nullptr);
    if (read && got == 1) {
      std::lock_guard<std::mutex> hold(start.queue->lock);
      start.queue->keys.push_back(key);
      start.queue->waiting.store(start.queue->keys.size());
      continue;
    }
    if (!start.console) {
      return 0;  // the end of a pipe or a file, or an error: nothing more will come
    }
    // A console read is cut short by Control-C and the like; the console itself stays.
    if (!read && GetLastError() != ERROR_OPERATION_ABORTED) {
      return 0;
    }
    Sleep(10);
  }
}

class WindowsKeyInput final : public KeyInput {
 public:
  void Begin() override {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
      return;
    }
    console_ = GetConsoleMode(input, &originalMode_) != 0;
    if (console_) {
      const DWORD keyMode = (originalMode_ | ENABLE_PROCESSED_INPUT) &
                            ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
      modeChanged_ = SetConsoleMode(input, keyMode) != 0;
      input_ = input;
    }
    {
      // Keys typed before the recording began are not for it.
      std::lock_guard<std::mutex> hold(queue_->lock);
      queue_->keys.clear();
      queue_->waiting.store(0);
    }
    if (!readerStarted_) {
      auto* start = new ReaderStart{input, console_, queue_};
      const HANDLE thread = CreateThread(nullptr, 0, ReadKeys, start, 0, nullptr);
      if (thread == nullptr) {
        delete start;
        return;
      }
      CloseHandle(thread);
      readerStarted_ = true;
    }
  }

  int NextKey() override {
    if (queue_->waiting.load() == 0) {
      return kNoKey;
    }
    std::lock_guard<std::mutex> hold(queue_->lock);
    if (queue_->keys.empty()) {
      return kNoKey;
    }
    const unsigned char key = queue_->keys.front();
    queue_->keys.pop_front();
    queue_->waiting.store(queue_->keys.size());
    return key;
  }

  void End() override {
    if (modeChanged_) {
      SetConsoleMode(input_, originalMode_);
    }
    modeChanged_ = false;
    console_ = false;
  }

 private:
  KeyQueue* const queue_ = new KeyQueue;
  HANDLE input_ = nullptr;
  DWORD originalMode_ = 0;
  bool console_ = false;
  bool modeChanged_ = false;
  bool readerStarted_ = false;
};

}  // namespace

KeyInput& SystemKeyInput() {
  // Never destroyed: the keys may still be given back while the program ends.
  static KeyInput* const input = new WindowsKeyInput;
  return *input;
}

}  // namespace Platform_ns
