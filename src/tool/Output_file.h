#pragma once

// Outputs named on the tool's command line.

#include <fstream>
#include <iosfwd>
#include <string>

namespace Tool_ns {

// Removes a file that a command has started to write, unless the command got to Keep: a failed
// command leaves no half-written output behind. Arm it only once the file has been opened, so
// that a file which could not even be opened is left alone.
class RemoveUnlessKept {
 public:
  explicit RemoveUnlessKept(std::string name) : name_(std::move(name)) {}
  ~RemoveUnlessKept();
  RemoveUnlessKept(const RemoveUnlessKept&) = delete;
  RemoveUnlessKept& operator=(const RemoveUnlessKept&) = delete;

  void Arm() { armed_ = true; }
  void Keep() { armed_ = false; }

 private:
  std::string name_;
  bool armed_ = false;
};

// Standard output for "-", otherwise a file created (or emptied) here and removed again unless
// Finish is reached.
class OutputFile {
 public:
  // Raises ToolError when the file cannot be created.
  OutputFile(const std::string& name, std::ostream& standardOutput);

  bool ToStandardOutput() const { return toStandardOutput_; }
  std::ostream& Stream() { return toStandardOutput_ ? standardOutput_ : file_; }
  // Flushes and closes the output and keeps it; raises ToolError when writing failed.
  void Finish();

 private:
  std::string name_;
  std::ostream& standardOutput_;
  bool toStandardOutput_;
  RemoveUnlessKept remover_;  // before file_, so that the file is closed before it goes
  std::ofstream file_;
};

}  // namespace Tool_ns
