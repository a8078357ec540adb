// Keys from standard input. A terminal is put into non-canonical mode without echo (its
// control characters keep raising their signals) and read without waiting; its settings are
// given back on every way out: the end of key mode, the end of the program, and while the
// program is stopped (Control-Z). Anything else on standard input (a pipe, a file) is read
// byte by byte, each byte a key, until its end.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "platform/Keyboard.h"

namespace Platform_ns {
namespace {

constexpr int kInput = STDIN_FILENO;
// Standard input is looked at no more often than this: a key is noticed at once all the same,
// and the program does not make a system call for every sample.
constexpr long kPollIntervalNanoseconds = 10 * 1000 * 1000;

// Shared with the signal handlers: set before the handlers are installed, or lock-free atomic.
termios originalSettings{};
termios keySettings{};
std::atomic<bool> keyModeWanted{false};  // between Begin and End, on a terminal
std::atomic<bool> keyModeOn{false};      // the terminal holds keySettings
static_assert(std::atomic<bool>::is_always_lock_free, "used by signal handlers");

struct sigaction previousStopAction {};
struct sigaction previousContinueAction {};

// A process in the background must leave the terminal alone: changing its settings or reading
// from it would stop the process. A terminal that is not the controlling one has no
// foreground.
bool InForeground() {
  const pid_t foreground = tcgetpgrp(kInput);
  return foreground < 0 || foreground == getpgrp();
}

// Both are safe in a signal handler.
void EnterKeyMode() {
  if (keyModeWanted.load() && !keyModeOn.load() && InForeground() &&
      tcsetattr(kInput, TCSANOW, &keySettings) == 0) {
    keyModeOn.store(true);
  }
}

void LeaveKeyMode() {
  if (keyModeOn.exchange(false)) {
    tcsetattr(kInput, TCSANOW, &originalSettings);
  }
}

extern "C" void OnContinue(int) {
  const int savedErrno = errno;
  EnterKeyMode();
  errno = savedErrno;
}

// Control-Z: give the terminal back, stop as the signal's default action would, and take key
// mode up again once continued in the foreground.
extern "C" void OnStop(int signalNumber) {
  const int savedErrno = errno;
  LeaveKeyMode();
  struct sigaction ours {};
  struct sigaction stop {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  sigaction(signalNumber, &stop, &ours);
  sigset_t unblock;
  sigset_t previousMask;
  sigemptyset(&unblock);
  sigaddset(&unblock, signalNumber);
  sigprocmask(SIG_UNBLOCK, &unblock, &previousMask);
  raise(signalNumber);  // the process stops here until it is continued
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(signalNumber, &ours, nullptr);
  EnterKeyMode();
  errno = savedErrno;
}

void LeaveKeyModeAtExit() {
  LeaveKeyMode();
}

// The time, in nanoseconds, from a clock that costs no system call to read.
long long CoarseNow() {
  timespec now{};
#ifdef CLOCK_MONOTONIC_COARSE
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
#else
  clock_gettime(CLOCK_MONOTONIC, &now);
#endif
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

class PosixKeyInput final : public KeyInput {
 public:
  void Begin() override {
    nextPoll_ = 0;
    terminal_ = isatty(kInput) == 1 && tcgetattr(kInput, &originalSettings) == 0;
    if (!terminal_) {
      // A pipe or a file: its bytes are the keys, until its end.
      inputEnded_ = false;
      return;
    }
    keySettings = originalSettings;
    keySettings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keySettings.c_cc[VMIN] = 0;
    keySettings.c_cc[VTIME] = 0;
    keyModeWanted.store(true);

    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Control-Z stays ignored if the program was started with it ignored.
    sigaction(SIGTSTP, nullptr, &previousStopAction);
    if (previousStopAction.sa_handler != SIG_IGN) {
      action.sa_handler = OnStop;
      sigaction(SIGTSTP, &action, nullptr);
    }
    action.sa_handler = OnContinue;
    sigaction(SIGCONT, &action, &previousContinueAction);
    if (!exitHandlerInstalled_) {
      exitHandlerInstalled_ = std::atexit(LeaveKeyModeAtExit) == 0;
    }
    EnterKeyMode();
  }

  int NextKey() override {
    const long long now = CoarseNow();
    if (now < nextPoll_) {
      return kNoKey;
    }
    nextPoll_ = now + kPollIntervalNanoseconds;
    unsigned char key = 0;
    if (terminal_) {
      // Non-canonical with no minimum count and no timer: read returns at once, with 0 bytes
      // when no key is waiting.
      if (!keyModeOn.load() || read(kInput, &key, 1) != 1) {
        return kNoKey;
      }
      return key;
    }
    if (inputEnded_) {
      return kNoKey;
    }
    pollfd input{kInput, POLLIN, 0};
    const int ready = poll(&input, 1, 0);
    if (ready < 0) {
      inputEnded_ = errno != EINTR && errno != EAGAIN;
      return kNoKey;
    }
    if (ready == 0) {
      return kNoKey;
    }
    if ((input.revents & (POLLIN | POLLHUP)) == 0) {
      inputEnded_ = true;  // closed, or an error: nothing more will come
      return kNoKey;
    }
    const ssize_t got = read(kInput, &key, 1);
    if (got == 1) {
      return key;
    }
    inputEnded_ = got == 0 || (errno != EINTR && errno != EAGAIN);
    return kNoKey;
  }

  void End() override {
    if (!terminal_) {
      return;
    }
    terminal_ = false;
    keyModeWanted.store(false);
    LeaveKeyMode();
    sigaction(SIGTSTP, &previousStopAction, nullptr);
    sigaction(SIGCONT, &previousContinueAction, nullptr);
  }

 private:
  bool terminal_ = false;
  bool inputEnded_ = false;
  bool exitHandlerInstalled_ = false;
  long long nextPoll_ = 0;
};

}  // namespace

KeyInput& SystemKeyInput() {
  // Never destroyed: the keys may still be given back while the program ends.
  static KeyInput* const input = new PosixKeyInput;
  return *input;
}

}  // namespace Platform_ns
