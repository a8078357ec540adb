#pragma once

// What every command of varnstow-tool shares: its streams, its failures and the reading of
// its command line.

#include <cstdint>
#include <iosfwd>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tool_ns {

// The tool's standard streams; tests hand in string streams.
struct ToolStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// A failure of the tool. The message is shown as "varnstow-tool: <message>"; the exit status is
// 1.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line the tool cannot follow: exit status 2.
class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

// One option a command takes.
struct OptionDefinition {
  const char* name;  // without the leading "--"
  bool takesValue;
  char shortName = '\0';  // a one-letter form ("-o"), or none
};

// A command line read against a command's options: "--name value", "--name=value" and "-x value"
// for options with a value, "--name" for flags; "--" ends the options, and "-" alone is an
// operand (standard input or output). Every option may be given more than once.
class ParsedArguments {
 public:
  // Raises UsageError naming command for an unknown option, a flag given a value or an option
  // missing its value.
  ParsedArguments(const std::vector<std::string>& arguments,
                  const std::vector<OptionDefinition>& definitions, const std::string& command);

  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  // The last value given, or fallback when the option is absent.
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  // Every value given, in order.
  std::vector<std::string> Values(const std::string& name) const;
  const std::vector<std::string>& Operands() const { return operands_; }

 private:
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> operands_;
};

// Strict number readers for option values: the whole text must be the number, and it must lie
// in range. what names the option in the message of the UsageError raised otherwise.
double ParseNumber(const std::string& text, const std::string& what, double minimum,
                   double maximum);
uint64_t ParseWholeNumber(const std::string& text, const std::string& what, uint64_t minimum,
                          uint64_t maximum);
// Two numbers written "A:B".
std::pair<std::string, std::string> SplitPair(const std::string& text, const std::string& what);

// The name's extension in lower case, without the dot ("" when it has none).
std::string LowerExtension(const std::string& name);

// A value in hexadecimal with at least digits digits, upper case, without a prefix.
std::string Hex(uint64_t value, int digits);

// How a name is shown in messages: "standard input" and "standard output" for "-", otherwise
// quoted.
std::string Describe(const std::string& name, bool output);

}  // namespace Tool_ns
