#pragma once

// The commands of varnstow-tool. Each takes the arguments after its name, writes to the given
// streams and returns the exit status; failures are raised as ToolError (UsageError for a
// command line it cannot follow), to be reported by the tool's main.

#include <string>
#include <vector>

#include "tool/Tool_support.h"

namespace Tool_ns {

int RenderCommand(const std::vector<std::string>& arguments, ToolStreams& io);
int ListCommand(const std::vector<std::string>& arguments, ToolStreams& io);
int PrepareCommand(const std::vector<std::string>& arguments, ToolStreams& io);
int RecoverCommand(const std::vector<std::string>& arguments, ToolStreams& io);
int HistogramCommand(const std::vector<std::string>& arguments, ToolStreams& io);

// The whole tool: the arguments after the program's name, starting with the command.
int RunTool(const std::vector<std::string>& arguments, ToolStreams& io);

}  // namespace Tool_ns
