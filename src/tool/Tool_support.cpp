#include "tool/Tool_support.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace Tool_ns {

ParsedArguments::ParsedArguments(const std::vector<std::string>& arguments,
                                 const std::vector<OptionDefinition>& definitions,
                                 const std::string& command) {
  auto find = [&](const std::string& name, char shortName) -> const OptionDefinition* {
    for (const OptionDefinition& definition : definitions) {
      if ((!name.empty() && name == definition.name) ||
          (shortName != '\0' && shortName == definition.shortName))
        return &definition;
    }
    return nullptr;
  };
  auto unknown = [&](const std::string& argument) {
    return UsageError("unknown option '" + argument + "' (see 'varnstow-tool " + command +
                      " --help')");
  };

  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
      operands_.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    const OptionDefinition* definition = nullptr;
    std::string value;
    bool valueAttached = false;
    if (argument.compare(0, 2, "--") == 0) {
      const size_t equals = argument.find('=');
      const std::string name =
          argument.substr(2, equals == std::string::npos ? equals : equals - 2);
      definition = find(name, '\0');
      if (definition == nullptr)
        throw unknown(argument);
      if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
        valueAttached = true;
      }
    } else {
      definition = argument.size() >= 2 ? find("", argument[1]) : nullptr;
      if (definition == nullptr)
        throw unknown(argument);
      if (argument.size() > 2) {
        value = argument.substr(2);
        valueAttached = true;
      }
    }
    const std::string display = std::string("--") + definition->name;
    if (!definition->takesValue) {
      if (valueAttached)
        throw UsageError("option " + display + " takes no value");
      values_[definition->name].emplace_back();
      continue;
    }
    if (!valueAttached) {
      if (i + 1 >= arguments.size())
        throw UsageError("option " + display + " needs a value");
      value = arguments[++i];
    }
    values_[definition->name].push_back(value);
  }
}

std::string ParsedArguments::Value(const std::string& name, const std::string& fallback) const {
  const auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second.back();
}

std::vector<std::string> ParsedArguments::Values(const std::string& name) const {
  const auto found = values_.find(name);
  return found == values_.end() ? std::vector<std::string>{} : found->second;
}

namespace {

std::string Number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

}  // namespace

double ParseNumber(const std::string& text, const std::string& what, double minimum,
                   double maximum) {
  const std::string expected = what + " needs a number from " + Number(minimum) + " to " +
                               Number(maximum) + ", not '" + text + "'";
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
    throw UsageError(expected);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value) ||
      value < minimum || value > maximum)
    throw UsageError(expected);
  return value;
}

uint64_t ParseWholeNumber(const std::string& text, const std::string& what, uint64_t minimum,
                          uint64_t maximum) {
  const std::string expected = what + " needs a whole number from " + std::to_string(minimum) +
                               " to " + std::to_string(maximum) + ", not '" + text + "'";
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
    throw UsageError(expected);
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || value < minimum || value > maximum)
    throw UsageError(expected);
  return value;
}

std::pair<std::string, std::string> SplitPair(const std::string& text, const std::string& what) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos)
    throw UsageError(what + " needs two values written A:B, not '" + text + "'");
  return {text.substr(0, colon), text.substr(colon + 1)};
}

std::string LowerExtension(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  const size_t slash = name.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return "";
  std::string extension = name.substr(dot + 1);
  for (char& c : extension)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

std::string Hex(uint64_t value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xFu]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(text.size()) < digits)
    text.insert(0, static_cast<size_t>(digits) - text.size(), '0');
  return text;
}

std::string Describe(const std::string& name, bool output) {
  if (name == "-")
    return output ? "standard output" : "standard input";
  return "'" + name + "'";
}

}  // namespace Tool_ns
