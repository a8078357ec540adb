#pragma once

// What the benchmarks share: a stopwatch in seconds, and the file their recordings repeat.

#include <chrono>
#include <cstdint>
#include <vector>

#include "render/Tape_builder.h"

namespace Bench_ns {

using Clock = std::chrono::steady_clock;

// Seconds since start.
inline double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One file of 8 KiB on tape; a benchmark's recording is this, again and again.
inline TapeBuilder_ns::Tape OneFile() {
  std::vector<uint8_t> data(8192);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 37 + i / 256);
  return TapeBuilder_ns::StandardTape({{"BENCH", 0x1900, 0x1900, data}});
}

}  // namespace Bench_ns
