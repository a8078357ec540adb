#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

struct RunOptions {
  std::vector<std::string> arguments;  // after the program's name
  std::string workingFolder;           // empty: the test's own
  // Variables set (or, with an empty value and unset true, removed) in the child's environment.
  std::vector<std::pair<std::string, std::string>> environment;
  std::string standardInput;  // fed to the program on standard input
  // When not -1, the child's standard input instead of standardInput: a pipe or a terminal the
  // test writes to while the program runs. The caller keeps it (and should open it, and its
  // other end, close-on-exec).
  int standardInputDescriptor = -1;
  bool ownProcessGroup = false;  // the child leads a process group of its own
  long long fileSizeLimit = -1;  // RLIMIT_FSIZE in bytes for the child, with SIGXFSZ ignored
  std::string program;           // empty: the varnstow executable
};

struct RunResult {
  int exitCode = -1;   // when the process exited
  int signal = 0;      // when a signal ended it
  std::string output;  // standard output
  std::string errors;  // standard error
};

// A child process running the program, its output going to files that can be read meanwhile.
class RunningProcess {
 public:
  explicit RunningProcess(const RunOptions& options);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  pid_t Pid() const { return pid_; }
  std::string OutputSoFar() const;
  void Signal(int signalNumber) const;
  // Waits for the process to end and collects its outputs.
  RunResult Wait();

 private:
  pid_t pid_ = -1;
  std::string folder_;
  bool waited_ = false;
};

// Runs the program to its end.
RunResult Run(const RunOptions& options);

// Convenience: runs varnstow with these arguments in folder, with the settings store pointed
// at folder/config so that tests never touch the user's own.
RunResult RunVarnstow(const std::string& folder, const std::vector<std::string>& arguments);

}  // namespace TestSupport
