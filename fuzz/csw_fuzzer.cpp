// The CSW reader on arbitrary files, RLE and Z-RLE: the first byte of the input sets
// PulseInput (bit 0) and NoPhaseShift (bit 1) as the run driver does, the rest is the file.
// A file that opens must read to its end again, from Rewind, without a failure and with its
// pulses summing to the length found at open.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "Fuzz_support.h"
#include "sound/Csw_file_handler.h"

namespace {

using Fuzz_ns::Check;
using SoundInput_ns::CSWSound;

uint64_t SaturatingAdd(uint64_t sum, uint32_t pulse) {
  const uint64_t next = sum + pulse;
  return next < sum ? UINT64_MAX : next;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = Fuzz_ns::Folder() / "input.csw";
  static CSWSound csw;
  if (size == 0) {
    return 0;
  }
  Fuzz_ns::WriteInput(path, data + 1, size - 1);
  csw.PulseInput = (data[0] & 1) != 0;
  csw.NoPhaseShift = (data[0] & 2) != 0;
  try {
    csw.Open(path);
  } catch (const std::runtime_error&) {
    csw.Close();
    return 0;
  }
  const uint64_t total = csw.TotalPulseLength();
  Check(csw.TotalLength == static_cast<int32_t>(total > INT32_MAX ? INT32_MAX : total),
        "TotalLength is the pulses' sum, kept within 32 bits");

  // What is left after the phase alignment, then everything from the start.
  for (int pass = 0; pass < 2; ++pass) {
    uint64_t sum = 0;
    try {
      for (uint32_t pulse = csw.NextPulse(); pulse != 0; pulse = csw.NextPulse()) {
        sum = SaturatingAdd(sum, pulse);
      }
    } catch (const std::runtime_error&) {
      Check(false, "a file that opened reads to its end without a failure");
    }
    Check(sum <= total, "no more is delivered than was found at open");
    if (pass == 1) {
      Check(sum == total, "reading from Rewind gives the length found at open");
      Check(total == 0 || csw.ProgressPercent() == 100, "the progress ends at 100 percent");
    }
    csw.Rewind();
  }
  Check(!csw.Close(), "a file read to its end closes");
  return 0;
}
