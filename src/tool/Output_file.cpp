#include "tool/Output_file.h"

#include <ostream>

#include "platform/File_system.h"
#include "tool/Tool_support.h"

namespace Tool_ns {

ReplaceWhenDone::ReplaceWhenDone(std::string name)
    : name_(std::move(name)), temporaryName_(Platform_ns::TemporaryNameBeside(name_)) {}

ReplaceWhenDone::~ReplaceWhenDone() {
  if (armed_) {
    Platform_ns::TheFileOperations.Remove(temporaryName_);
    Platform_ns::UnregisterTemporaryFile(temporaryName_);
  }
}

void ReplaceWhenDone::Arm() {
  armed_ = true;
  Platform_ns::RegisterTemporaryFile(temporaryName_);
}

void ReplaceWhenDone::Commit() {
  const Platform_ns::FileResult renamed =
      Platform_ns::TheFileOperations.Replace(temporaryName_, name_);
  if (renamed.error != Platform_ns::FileError::kNone)
    throw ToolError("cannot write " + Describe(name_, true) + ": " + renamed.text);
  Platform_ns::UnregisterTemporaryFile(temporaryName_);
  armed_ = false;
}

OutputFile::OutputFile(const std::string& name, std::ostream& standardOutput)
    : name_(name),
      standardOutput_(standardOutput),
      toStandardOutput_(name == "-"),
      replacer_(name == "-" ? std::string() : name) {
  if (toStandardOutput_)
    return;
  file_.create_new(replacer_.TemporaryName().c_str());
  if (!file_.is_open())
    throw ToolError("cannot create " + Describe(name, true));
  replacer_.Arm();
}

std::ostream& OutputFile::Stream() {
  if (toStandardOutput_)
    return standardOutput_;
  return file_;
}

void OutputFile::Finish() {
  std::ostream& out = Stream();
  out.flush();
  if (!toStandardOutput_)
    file_.close();
  if (!out)
    throw ToolError("cannot write " + Describe(name_, true));
  if (!toStandardOutput_)
    replacer_.Commit();
}

}  // namespace Tool_ns
