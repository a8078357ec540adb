#include "driver/Run_program.h"
#include "driver/Stream_splitter.h"

int main(int argc, char* argv[]) {
  StreamSplitter_ns::InstallConsoleControlHandler();
  return MainProgram_ns::RunProgram(argc, argv);
}
