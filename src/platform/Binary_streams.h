#pragma once

namespace Platform_ns {

// Makes standard input and output carry bytes unchanged, for recordings and images piped
// through them (on Windows they translate line ends otherwise).
void UseBinaryStandardStreams();

}  // namespace Platform_ns
