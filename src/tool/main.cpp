// varnstow-tool: renders, lists and prepares recordings and images around the converter.

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/Binary_streams.h"
#include "platform/File_system.h"
#include "platform/Platform_failure.h"
#include "tool/Commands.h"

int main(int argc, char* argv[]) {
  Platform_ns::UseBinaryStandardStreams();
  // An interrupted command leaves none of its outputs half-written.
  Platform_ns::RemoveTemporaryFilesOnInterruption();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  Tool_ns::ToolStreams io{std::cin, std::cout, std::cerr};
  try {
    const int status = Tool_ns::RunTool(arguments, io);
    std::cout.flush();
    if (std::cout)
      return status;
    std::cerr << "varnstow-tool: cannot write standard output\n";
  } catch (const Tool_ns::UsageError& error) {
    std::cerr << "varnstow-tool: " << error.what() << '\n';
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "varnstow-tool: " << error.what() << '\n';
  } catch (const Platform_ns::PlatformFailure& failure) {
    std::cerr << "varnstow-tool: " << failure.What() << '\n';
  } catch (...) {
    std::cerr << "varnstow-tool: unexpected failure\n";
  }
  return 1;
}
