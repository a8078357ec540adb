#include "driver/RunProgram.h"
#include "driver/StreamSplitter.h"

int main(int argc, char* argv[]) {
  StreamSplitter_ns::InstallConsoleControlHandler();
  return MainProgram_ns::RunProgram(argc, argv);
}
