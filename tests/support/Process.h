#pragma once

#include <sys/types.h>

#include <cstddef>
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

// On Windows a program writes standard error in text mode, and varnstow standard output too:
// those come back with each "\r\n" given as "\n", as on POSIX. The standard output of another
// program (varnstow-tool, which writes recordings there) comes back as its bytes.
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
  // On Windows SIGINT is Control-C and SIGBREAK Control-Break, sent to the program's console;
  // any other signal ends the process.
  void Signal(int signalNumber) const;
  // Waits for the process to end and collects its outputs.
  RunResult Wait();

 private:
  pid_t pid_ = -1;
  std::string folder_;
  bool waited_ = false;
  bool textOutput_ = false;  // Windows: the program writes text, with "\r\n" line ends
  void* process_ = nullptr;  // Windows: the process's handle
  mutable int endedBy_ = 0;  // Windows: the signal that Signal ended the process with
};

// Whether RunOptions::fileSizeLimit can be honoured here (POSIX only).
bool CanLimitFileSize();

// The most memory this process has held at once so far (its peak resident set), in kilobytes.
long long PeakMemoryKilobytes();

// The longest argument that a child is given whole: Windows limits a whole command line to
// 32767 characters.
size_t LongestArgument();

// Runs the program to its end.
RunResult Run(const RunOptions& options);

// Convenience: runs varnstow with these arguments in folder, with the settings store pointed
// at folder/config so that tests never touch the user's own.
RunResult RunVarnstow(const std::string& folder, const std::vector<std::string>& arguments);

}  // namespace TestSupport
