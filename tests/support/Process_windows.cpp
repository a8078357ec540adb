// Child processes on Windows: CreateProcess with the standard handles on files. Each child
// gets a console of its own, hidden, so that Control-C can be sent to it alone.
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <csignal>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "support/Process.h"
#include "support/Temp_folder.h"

namespace TestSupport {
namespace {

constexpr size_t kCommandLineLimit = 32767;

// One argument as the C library of the child splits its command line again.
std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(2 * backslashes + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

bool SameName(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
         CSTR_EQUAL;
}

// This process's environment with the given variables set: a block of NAME=value texts, each
// ended by a NUL, and a NUL after the last.
std::vector<char> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& set) {
  std::vector<std::string> entries;
  if (char* const strings = GetEnvironmentStringsA()) {
    for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) {
      entries.emplace_back(entry);
    }
    FreeEnvironmentStringsA(strings);
  }
  for (const auto& [name, value] : set) {
    bool replaced = false;
    for (std::string& entry : entries) {
      // Entries such as "=C:=C:\..." start with their '='.
      const size_t equals = entry.find('=', 1);
      if (equals != std::string::npos && SameName(entry.substr(0, equals), name)) {
        entry = name + "=" + value;
        replaced = true;
      }
    }
    if (!replaced) {
      entries.push_back(name + "=" + value);
    }
  }
  std::vector<char> block;
  for (const std::string& entry : entries) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

HANDLE OpenInheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Text written in text mode, with its line ends as "\n".
std::string WithPlainLineEnds(const std::string& text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    }
    plain += text[i];
  }
  return plain;
}

BOOL WINAPI IgnoreControlEvents(DWORD) {
  return TRUE;  // the events this process sends its children are not for it
}

// Sends a console control event to the console of process id alone: this process joins that
// console for the moment, ignoring the event itself, and is left without a console (under
// CTest its output goes to a pipe all the same).
DWORD SendControlEvent(DWORD event, DWORD id) {
  static std::mutex consoleInUse;
  std::lock_guard<std::mutex> hold(consoleInUse);
  SetConsoleCtrlHandler(IgnoreControlEvents, TRUE);
  FreeConsole();
  if (!AttachConsole(id)) {
    return GetLastError();
  }
  const DWORD sent = GenerateConsoleCtrlEvent(event, 0) ? ERROR_SUCCESS : GetLastError();
  FreeConsole();
  return sent;
}

}  // namespace

RunningProcess::RunningProcess(const RunOptions& options)
    : folder_(MakeTemporaryFolder("varnstow-run-")) {
  if (options.fileSizeLimit >= 0) {
    throw std::runtime_error("Windows has no file size limit for a process");
  }
  WriteFile(folder_ + "/stdin", options.standardInput);
  const std::string program = options.program.empty() ? VARNSTOW_EXE : options.program;
  textOutput_ = options.program.empty();
  std::string commandLine = Quoted(program);
  for (const std::string& argument : options.arguments) {
    commandLine += " " + Quoted(argument);
  }
  if (commandLine.size() >= kCommandLineLimit) {
    throw std::runtime_error("the command line is longer than Windows allows");
  }

  HANDLE in = INVALID_HANDLE_VALUE;
  if (options.standardInputDescriptor >= 0) {
    const auto given = reinterpret_cast<HANDLE>(_get_osfhandle(options.standardInputDescriptor));
    DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), &in, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
  } else {
    in = OpenInheritable(folder_ + "/stdin", false);
  }
  const HANDLE out = OpenInheritable(folder_ + "/stdout", true);
  const HANDLE err = OpenInheritable(folder_ + "/stderr", true);
  auto closeAll = [&] {
    for (const HANDLE handle : {in, out, err}) {
      if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
        CloseHandle(handle);
      }
    }
  };
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
    closeAll();
    throw std::runtime_error("cannot open the files for a child's standard handles");
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::vector<char> environment;
  if (!options.environment.empty()) {
    environment = EnvironmentWith(options.environment);
  }
  DWORD flags = CREATE_NEW_CONSOLE;
  if (options.ownProcessGroup) {
    flags |= CREATE_NEW_PROCESS_GROUP;
  }
  std::vector<char> writableCommandLine(commandLine.begin(), commandLine.end());
  writableCommandLine.push_back('\0');
  PROCESS_INFORMATION started{};
  // Wine now and then fails to start a process in a new console with ERROR_INTERNAL_ERROR;
  // the same call a moment later succeeds. Other failures are reported at once.
  BOOL created = FALSE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    created =
        CreateProcessA(program.c_str(), writableCommandLine.data(), nullptr, nullptr, TRUE, flags,
                       environment.empty() ? nullptr : environment.data(),
                       options.workingFolder.empty() ? nullptr : options.workingFolder.c_str(),
                       &startup, &started);
    error = created ? 0 : GetLastError();
    if (created || error != ERROR_INTERNAL_ERROR) {
      break;
    }
    Sleep(100);
  }
  closeAll();
  if (!created) {
    throw std::runtime_error("cannot start " + program + " (error " + std::to_string(error) + ")");
  }
  CloseHandle(started.hThread);
  process_ = started.hProcess;
  pid_ = static_cast<pid_t>(started.dwProcessId);
}

RunningProcess::~RunningProcess() {
  const HANDLE process = static_cast<HANDLE>(process_);
  if (process != nullptr) {
    if (!waited_) {
      TerminateProcess(process, 137);
      WaitForSingleObject(process, INFINITE);
    }
    CloseHandle(process);
  }
  for (const char* name : {"/stdin", "/stdout", "/stderr"}) {
    DeleteFileA((folder_ + name).c_str());
  }
  RemoveDirectoryA(folder_.c_str());
}

std::string RunningProcess::OutputSoFar() const {
  const std::string output = ReadFile(folder_ + "/stdout");
  return textOutput_ ? WithPlainLineEnds(output) : output;
}

void RunningProcess::Signal(int signalNumber) const {
  const auto id = static_cast<DWORD>(pid_);
  if (signalNumber == SIGINT || signalNumber == SIGBREAK) {
    const DWORD error =
        SendControlEvent(signalNumber == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT, id);
    if (error != ERROR_SUCCESS) {
      throw std::runtime_error("cannot send a console event to process " + std::to_string(id) +
                               " (error " + std::to_string(error) + ")");
    }
    return;
  }
  endedBy_ = signalNumber;
  TerminateProcess(static_cast<HANDLE>(process_), 128 + static_cast<UINT>(signalNumber));
}

RunResult RunningProcess::Wait() {
  const HANDLE process = static_cast<HANDLE>(process_);
  RunResult result;
  WaitForSingleObject(process, INFINITE);
  waited_ = true;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  if (endedBy_ != 0) {
    result.signal = endedBy_;
  } else {
    result.exitCode = static_cast<int>(code);
  }
  result.output = OutputSoFar();
  result.errors = WithPlainLineEnds(ReadFile(folder_ + "/stderr"));
  return result;
}

long long PeakMemoryKilobytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    throw std::runtime_error("cannot read this process's memory use");
  }
  return static_cast<long long>(counters.PeakWorkingSetSize / 1024);
}

bool CanLimitFileSize() {
  return false;
}

size_t LongestArgument() {
  return 12 * 1024;
}

}  // namespace TestSupport
