#include "support/Process.h"

namespace TestSupport {

RunResult Run(const RunOptions& options) {
  RunningProcess process(options);
  return process.Wait();
}

RunResult RunVarnstow(const std::string& folder, const std::vector<std::string>& arguments) {
  RunOptions options;
  options.arguments = arguments;
  options.workingFolder = folder;
  options.environment = {{"XDG_CONFIG_HOME", folder + "/config"}, {"HOME", folder}};
  return Run(options);
}

}  // namespace TestSupport
