#include "platform/Binary_streams.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace Platform_ns {

void UseBinaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace Platform_ns
