#pragma once

// Outputs named on the tool's command line.

#include <iosfwd>
#include <string>

#include "uef/Gzstream.h"

namespace Tool_ns {

// A file that a command writes under a temporary name beside its own name
// (Platform_ns::TemporaryNameBeside) and that takes its name only when Commit is reached: a
// failed or interrupted command leaves neither a half-written output nor a damaged earlier
// one. Until then the temporary file is removed when this goes, and also when the process is
// interrupted (Platform_ns::RegisterTemporaryFile).
class ReplaceWhenDone {
 public:
  explicit ReplaceWhenDone(std::string name);
  ~ReplaceWhenDone();
  ReplaceWhenDone(const ReplaceWhenDone&) = delete;
  ReplaceWhenDone& operator=(const ReplaceWhenDone&) = delete;

  const std::string& TemporaryName() const { return temporaryName_; }
  // The temporary file has been created: from now on it is removed unless committed.
  void Arm();
  // Gives the written temporary file its name; raises ToolError when the rename fails.
  void Commit();

 private:
  std::string name_;
  std::string temporaryName_;
  bool armed_ = false;
};

// Standard output for "-", otherwise a new file beside name that takes name's place when
// Finish is reached, and is removed otherwise.
class OutputFile {
 public:
  // Raises ToolError when the file cannot be created.
  OutputFile(const std::string& name, std::ostream& standardOutput);

  bool ToStandardOutput() const { return toStandardOutput_; }
  std::ostream& Stream();
  // Flushes and closes the output and gives it its name; raises ToolError when writing failed.
  void Finish();

 private:
  std::string name_;
  std::ostream& standardOutput_;
  bool toStandardOutput_;
  ReplaceWhenDone replacer_;  // before file_, so that the file is closed before it goes
  GZStream_ns::DriveFileStream file_;
};

}  // namespace Tool_ns
