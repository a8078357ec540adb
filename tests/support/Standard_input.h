#pragma once

#include <string>

namespace TestSupport {

// Puts a pipe in place of this process's standard input for as long as the object lives; the
// test writes what the process reads. Standard input as it was comes back at the end.
class StandardInputPipe {
 public:
  StandardInputPipe();
  ~StandardInputPipe();
  StandardInputPipe(const StandardInputPipe&) = delete;
  StandardInputPipe& operator=(const StandardInputPipe&) = delete;

  void Write(const std::string& bytes);
  // Ends the input: the reader sees the end of the pipe.
  void Close();

 private:
  long long writeEnd_ = -1;
  long long saved_ = -1;
};

}  // namespace TestSupport
