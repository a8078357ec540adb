#include "platform/Console.h"

#include <cerrno>
#include <csignal>

#include <atomic>
#include <initializer_list>

namespace Platform_ns {
namespace {

std::atomic<ControlEventHandler> installedHandler{nullptr};
static_assert(std::atomic<ControlEventHandler>::is_always_lock_free,
              "the signal handler may only use lock-free atomics");

int EventForSignal(int signalNumber) {
  switch (signalNumber) {
    case SIGINT:
      return kControlC;
    case SIGQUIT:
      return kControlBreak;
    case SIGHUP:
      return kControlClose;
    default:
      return kControlShutdown;
  }
}

extern "C" void OnControlSignal(int signalNumber) {
  const int savedErrno = errno;
  const ControlEventHandler handler = installedHandler.load();
  if (handler == nullptr || !handler(EventForSignal(signalNumber))) {
    // Not handled: take the signal's default action, as the console would.
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
  }
  errno = savedErrno;
}

}  // namespace

void InstallControlEventHandler(ControlEventHandler handler) {
  installedHandler.store(handler);
  struct sigaction action {};
  action.sa_handler = OnControlSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    // A signal the process was started with ignored stays ignored, as under nohup or for a
    // job started in the background: the one who started the run chose so.
    struct sigaction previous {};
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signalNumber, &action, nullptr);
  }
}

}  // namespace Platform_ns
