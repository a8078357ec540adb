#include <unistd.h>

#include <stdexcept>

#include "support/Standard_input.h"

namespace TestSupport {

StandardInputPipe::StandardInputPipe() {
  int ends[2] = {-1, -1};
  if (pipe(ends) != 0) {
    throw std::runtime_error("cannot make a pipe");
  }
  saved_ = dup(STDIN_FILENO);
  dup2(ends[0], STDIN_FILENO);
  close(ends[0]);
  writeEnd_ = ends[1];
}

StandardInputPipe::~StandardInputPipe() {
  Close();
  if (saved_ >= 0) {
    dup2(static_cast<int>(saved_), STDIN_FILENO);
    close(static_cast<int>(saved_));
  }
}

void StandardInputPipe::Write(const std::string& bytes) {
  if (writeEnd_ < 0 || write(static_cast<int>(writeEnd_), bytes.data(), bytes.size()) !=
                           static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("cannot write to the pipe");
  }
}

void StandardInputPipe::Close() {
  if (writeEnd_ >= 0) {
    close(static_cast<int>(writeEnd_));
    writeEnd_ = -1;
  }
}

}  // namespace TestSupport
