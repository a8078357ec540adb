#include "platform/Binary_streams.h"

namespace Platform_ns {

void UseBinaryStandardStreams() {
  // POSIX streams never translate anything.
}

}  // namespace Platform_ns
