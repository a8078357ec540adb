#pragma once

namespace Platform_ns {

// Control events of the console, numbered as the Windows console numbers them.
enum ControlEvent : int {
  kControlC = 0,
  kControlBreak = 1,
  kControlClose = 2,
  kControlLogOff = 5,
  kControlShutdown = 6,
};

// Returns true when it has handled the event. It is called on a thread of the platform's or
// inside a signal handler, so it may only store values and set lock-free atomic flags.
using ControlEventHandler = bool (*)(int eventCode);

// Installs handler for the console's control events for the rest of the process. POSIX has
// no console events; the equivalent signals map onto them: SIGINT is Control-C, SIGQUIT
// Control-Break, SIGHUP the closing of the terminal and SIGTERM a shutdown. A signal that is
// ignored when the handler is installed (under nohup, say) is left ignored.
void InstallControlEventHandler(ControlEventHandler handler);

}  // namespace Platform_ns
