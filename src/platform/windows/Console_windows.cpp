#include "platform/Console.h"

#include <windows.h>

#include <atomic>

namespace Platform_ns {
namespace {

std::atomic<ControlEventHandler> installedHandler{nullptr};

// Runs on a thread that Windows starts for the console event.
BOOL WINAPI OnControlEvent(DWORD eventCode) {
  const ControlEventHandler handler = installedHandler.load();
  return handler != nullptr && handler(static_cast<int>(eventCode)) ? TRUE : FALSE;
}

}  // namespace

void InstallControlEventHandler(ControlEventHandler handler) {
  installedHandler.store(handler);
  SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

}  // namespace Platform_ns
