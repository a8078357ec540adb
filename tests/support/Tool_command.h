#pragma once

// Runs one of varnstow-tool's commands in the test's own process, with empty standard input,
// and fails the test (showing what the command said on its standard error) unless it succeeds.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tool/Commands.h"

namespace TestSupport {

inline void RunCommand(int (*command)(const std::vector<std::string>&, Tool_ns::ToolStreams&),
                       const std::vector<std::string>& arguments) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  ASSERT_EQ(command(arguments, io), 0) << err.str();
}

}  // namespace TestSupport
