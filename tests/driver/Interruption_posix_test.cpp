// The interruption of a run: the console's control events and the POSIX signals that stand
// for them. Interruptions are never cleared in a process, so each case runs in a child
// process of its own, made with fork.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/Stream_splitter.h"
#include "support/Temp_folder.h"

namespace {

using TestSupport::ReadFile;
using TestSupport::TempFolder;

// What a child process reported: its exit code and its standard output.
struct ChildResult {
  int exitCode = -1;
  int signal = 0;
  std::string output;
};

// Runs body in a child whose standard output goes to a file; body's result is the exit code.
ChildResult RunInChild(const TempFolder& folder, const std::function<int()>& body) {
  const std::string outputPath = folder / "child-output";
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || dup2(out, 1) < 0) {
      _exit(120);
    }
    int code = 121;
    try {
      code = body();
    } catch (...) {
      code = 122;
    }
    std::cout.flush();
    std::fflush(nullptr);
    _exit(code);
  }
  ChildResult result;
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) {
    ADD_FAILURE() << "could not run a child process";
    return result;
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  result.output = ReadFile(outputPath);
  return result;
}

// In a child: opens the log, runs body, then polls for an interruption. Exit code 10 when
// CheckInterrupted raised "Execution interrupted", 20 when it did not raise.
ChildResult PollAfter(const TempFolder& folder, const std::function<void()>& body) {
  const std::string logPath = folder / "run.log";
  return RunInChild(folder, [&] {
    StreamSplitter_ns::LogStream.open(logPath);
    body();
    try {
      StreamSplitter_ns::CheckInterrupted();
    } catch (const std::runtime_error& failure) {
      StreamSplitter_ns::Tee.flush();
      return std::string(failure.what()) == "Execution interrupted" ? 10 : 11;
    }
    StreamSplitter_ns::Tee.flush();
    return 20;
  });
}

TEST(Interruption, EachHandledEventHasItsReason) {
  const std::vector<std::pair<int, std::string>> events = {{0, "\nControl C"},
                                                           {1, "\nControl Break"},
                                                           {2, "\nClose"},
                                                           {5, "\nLog Off"},
                                                           {6, "\nShutdown"}};
  for (const auto& [code, reason] : events) {
    TempFolder folder;
    const ChildResult result = PollAfter(folder, [code = code] {
      if (!StreamSplitter_ns::ConsoleControlHandler(code)) {
        _exit(30);
      }
    });
    EXPECT_EQ(result.exitCode, 10) << code;
    EXPECT_EQ(result.output, reason);
    EXPECT_EQ(ReadFile(folder / "run.log"), reason);
  }
}

TEST(Interruption, OtherEventsChangeNothingAndTheFirstReasonIsKept) {
  TempFolder folder;
  const ChildResult none = PollAfter(folder, [] {
    for (const int code : {-1, 3, 4, 7, 100}) {
      if (StreamSplitter_ns::ConsoleControlHandler(code)) {
        _exit(30);
      }
    }
    if (StreamSplitter_ns::InterruptRequested || StreamSplitter_ns::InterruptReason() != nullptr) {
      _exit(31);
    }
  });
  EXPECT_EQ(none.exitCode, 20);
  EXPECT_EQ(none.output, "");

  const ChildResult first = PollAfter(folder, [] {
    StreamSplitter_ns::ConsoleControlHandler(1);
    StreamSplitter_ns::ConsoleControlHandler(0);
    StreamSplitter_ns::ConsoleControlHandler(4);
  });
  EXPECT_EQ(first.exitCode, 10);
  EXPECT_EQ(first.output, "\nControl Break");
}

TEST(Interruption, SignalsMapOntoConsoleEvents) {
  const std::vector<std::pair<int, std::string>> signals = {{SIGINT, "\nControl C"},
                                                            {SIGQUIT, "\nControl Break"},
                                                            {SIGHUP, "\nClose"},
                                                            {SIGTERM, "\nShutdown"}};
  for (const auto& [signalNumber, reason] : signals) {
    TempFolder folder;
    const ChildResult result = PollAfter(folder, [signalNumber = signalNumber] {
      std::signal(signalNumber, SIG_DFL);  // not ignored, even when the tests run as a job
      StreamSplitter_ns::InstallConsoleControlHandler();
      // Installed but not yet signalled: nothing to report.
      StreamSplitter_ns::CheckInterrupted();
      std::raise(signalNumber);
    });
    EXPECT_EQ(result.signal, 0) << signalNumber;
    EXPECT_EQ(result.exitCode, 10) << signalNumber;
    EXPECT_EQ(result.output, reason);
    EXPECT_EQ(ReadFile(folder / "run.log"), reason);
  }
}

TEST(Interruption, SignalIgnoredAtStartStaysIgnored) {
  // As under nohup: the run carries on when the terminal closes, but Control-C still stops it.
  TempFolder folder;
  const ChildResult ignored = PollAfter(folder, [] {
    std::signal(SIGHUP, SIG_IGN);
    StreamSplitter_ns::InstallConsoleControlHandler();
    std::raise(SIGHUP);
  });
  EXPECT_EQ(ignored.signal, 0);
  EXPECT_EQ(ignored.exitCode, 20);
  EXPECT_EQ(ignored.output, "");

  const ChildResult stopped = PollAfter(folder, [] {
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGINT, SIG_DFL);
    StreamSplitter_ns::InstallConsoleControlHandler();
    std::raise(SIGHUP);
    std::raise(SIGINT);
  });
  EXPECT_EQ(stopped.exitCode, 10);
  EXPECT_EQ(stopped.output, "\nControl C");
}

}  // namespace
