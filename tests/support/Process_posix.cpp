// Child processes on POSIX: fork and exec, with the outputs in files.
#include "support/Process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "support/Temp_folder.h"

namespace TestSupport {

RunningProcess::RunningProcess(const RunOptions& options)
    : folder_(MakeTemporaryFolder("varnstow-run-")) {
  WriteFile(folder_ + "/stdin", options.standardInput);
  const std::string program = options.program.empty() ? VARNSTOW_EXE : options.program;
  std::vector<std::string> argumentTexts;
  argumentTexts.push_back(program);
  argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());

  pid_ = fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // The child: only calls that are safe between fork and exec.
    const int in = options.standardInputDescriptor >= 0
                       ? options.standardInputDescriptor
                       : open((folder_ + "/stdin").c_str(), O_RDONLY);
    const int out = open((folder_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open((folder_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) {
      _exit(127);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // The program keeps signals that it was started with ignored (as a background job is), so
    // give it the usual ones whatever the test runner had.
    for (const int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
      signal(signalNumber, SIG_DFL);
    }
    if (options.ownProcessGroup && setpgid(0, 0) != 0) {
      _exit(127);
    }
    if (!options.workingFolder.empty() && chdir(options.workingFolder.c_str()) != 0) {
      _exit(127);
    }
    for (const auto& [name, value] : options.environment) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    if (options.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{};
      limit.rlim_cur = static_cast<rlim_t>(options.fileSizeLimit);
      limit.rlim_max = static_cast<rlim_t>(options.fileSizeLimit);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    for (auto& text : argumentTexts) {
      argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

RunningProcess::~RunningProcess() {
  if (!waited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  unlink((folder_ + "/stdin").c_str());
  unlink((folder_ + "/stdout").c_str());
  unlink((folder_ + "/stderr").c_str());
  rmdir(folder_.c_str());
}

std::string RunningProcess::OutputSoFar() const {
  return ReadFile(folder_ + "/stdout");
}

void RunningProcess::Signal(int signalNumber) const {
  kill(pid_, signalNumber);
}

RunResult RunningProcess::Wait() {
  RunResult result;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
  }
  waited_ = true;
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  result.output = ReadFile(folder_ + "/stdout");
  result.errors = ReadFile(folder_ + "/stderr");
  return result;
}

long long PeakMemoryKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool CanLimitFileSize() {
  return true;
}

size_t LongestArgument() {
  return 100 * 1024;
}

}  // namespace TestSupport
