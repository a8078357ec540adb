#include <windows.h>

#include <stdexcept>

#include "support/Standard_input.h"

namespace TestSupport {
namespace {

HANDLE AsHandle(long long value) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

long long AsNumber(HANDLE handle) {
  return static_cast<long long>(reinterpret_cast<intptr_t>(handle));
}

}  // namespace

StandardInputPipe::StandardInputPipe() {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
    throw std::runtime_error("cannot make a pipe");
  }
  saved_ = AsNumber(GetStdHandle(STD_INPUT_HANDLE));
  SetStdHandle(STD_INPUT_HANDLE, readEnd);
  writeEnd_ = AsNumber(writeEnd);
}

StandardInputPipe::~StandardInputPipe() {
  Close();
  // The read end stays open: a reader may still be waiting on it.
  SetStdHandle(STD_INPUT_HANDLE, AsHandle(saved_));
}

void StandardInputPipe::Write(const std::string& bytes) {
  DWORD written = 0;
  if (writeEnd_ < 0 ||
      !::WriteFile(AsHandle(writeEnd_), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) ||
      written != bytes.size()) {
    throw std::runtime_error("cannot write to the pipe");
  }
}

void StandardInputPipe::Close() {
  if (writeEnd_ >= 0) {
    CloseHandle(AsHandle(writeEnd_));
    writeEnd_ = -1;
  }
}

}  // namespace TestSupport
