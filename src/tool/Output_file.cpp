#include "tool/Output_file.h"

#include <ostream>

#include "platform/file_system.h"
#include "tool/Tool_support.h"

namespace Tool_ns {

RemoveUnlessKept::~RemoveUnlessKept() {
  if (armed_)
    Platform_ns::RemoveFile(name_);
}

OutputFile::OutputFile(const std::string& name, std::ostream& standardOutput)
    : name_(name), standardOutput_(standardOutput), toStandardOutput_(name == "-"), remover_(name) {
  if (toStandardOutput_)
    return;
  file_.open(name, std::ios::binary | std::ios::trunc);
  if (!file_)
    throw ToolError("cannot create " + Describe(name, true));
  remover_.Arm();
}

void OutputFile::Finish() {
  std::ostream& out = Stream();
  out.flush();
  if (!toStandardOutput_)
    file_.close();
  if (!out)
    throw ToolError("cannot write " + Describe(name_, true));
  remover_.Keep();
}

}  // namespace Tool_ns
