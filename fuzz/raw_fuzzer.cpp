// The RAW reader on arbitrary files, with both data types: the first byte of the input picks
// signed (bit 0 clear) or unsigned samples, the rest is the file. Every byte is one sample,
// read one at a time and again through the sample cursor of the fast path; then the DC offset
// correction (-d) must give, for files of up to 4096 samples, exactly the weighted correction
// worked out here from its definition.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "Fuzz_support.h"
#include "dcoffset/Dc_offset_fixing_functions.h"
#include "sound/Raw_file_handler.h"

namespace {

using Fuzz_ns::Check;
using SoundInput_ns::RAWSound;

constexpr size_t kLargestCheckedCorrection = 4096;

int8_t SampleOf(uint8_t stored, bool signedSamples) {
  // Unsigned samples have their silence at 128.
  return static_cast<int8_t>(signedSamples ? stored : stored ^ 0x80u);
}

std::vector<int8_t> ReadOneByOne(RAWSound& raw) {
  std::vector<int8_t> samples;
  for (;;) {
    const int8_t sample = raw.NextSample();
    if (raw.AtEnd()) {
      return samples;
    }
    samples.push_back(sample);
  }
}

std::vector<int8_t> ReadThroughCursor(RAWSound& raw) {
  std::vector<int8_t> samples;
  auto cursor = raw.Samples();
  int sample = 0;
  while (cursor.Next(sample)) {
    samples.push_back(static_cast<int8_t>(sample));
  }
  return samples;
}

// Each sample less the mean of the samples within 50 places of it, weighted 51 less the
// distance, over the samples that exist; the mean plus one half truncated toward zero; the
// difference kept within the range of a sample.
std::vector<int8_t> DirectCorrection(const std::vector<int8_t>& s) {
  const long n = static_cast<long>(s.size());
  std::vector<int8_t> out;
  for (long m = 0; m < n; ++m) {
    long sum = 0;
    long weights = 0;
    for (long j = std::max(0L, m - 50); j <= std::min(n - 1, m + 50); ++j) {
      const long w = 51 - std::labs(j - m);
      sum += s[static_cast<size_t>(j)] * w;
      weights += w;
    }
    const auto offset = static_cast<long>(
        std::trunc(static_cast<double>(sum) / static_cast<double>(weights) + 0.5));
    out.push_back(static_cast<int8_t>(std::clamp(s[static_cast<size_t>(m)] - offset, -128L, 127L)));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = Fuzz_ns::Folder() / "input.raw";
  static RAWSound raw;
  if (size == 0) {
    return 0;
  }
  const bool signedSamples = (data[0] & 1) == 0;
  const uint8_t* bytes = data + 1;
  const size_t count = size - 1;
  Fuzz_ns::WriteInput(path, bytes, count);

  raw.SetSignedSamples(signedSamples);
  raw.Open(path);  // any file opens as RAW: a failure here is a finding
  Check(raw.TotalLength == static_cast<int32_t>(count), "TotalLength is the file's length");
  std::vector<int8_t> expected;
  for (size_t i = 0; i < count; ++i) {
    expected.push_back(SampleOf(bytes[i], signedSamples));
  }
  Check(ReadOneByOne(raw) == expected, "NextSample gives every byte as a sample");
  Check(raw.Position == count, "Position counts the samples delivered");
  raw.Rewind();
  Check(ReadThroughCursor(raw) == expected, "the sample cursor gives every byte as a sample");
  Check(!raw.Close(), "a file read to its end closes");

  raw.Open(path);
  try {
    DCOffsetFunctions_ns::FixDCOffsets(raw, path);
  } catch (const std::runtime_error& failure) {
    Check(count < 102 && std::string(failure.what()) == "File too small to fix DC offsets",
          "only a file of fewer than 102 samples is refused");
    Check(Fuzz_ns::ReadWhole(path) == std::string(reinterpret_cast<const char*>(bytes), count),
          "a refused correction leaves the input as it was");
    return 0;
  }
  const std::string corrected = Fuzz_ns::ReadWhole(path);
  Check(corrected.size() == count, "the corrected file has as many samples");
  if (count <= kLargestCheckedCorrection) {
    const std::vector<int8_t> want = DirectCorrection(expected);
    for (size_t i = 0; i < count; ++i) {
      Check(SampleOf(static_cast<uint8_t>(corrected[i]), signedSamples) == want[i],
            "each corrected sample is its weighted correction, in the file's data type");
    }
  }
  return 0;
}
