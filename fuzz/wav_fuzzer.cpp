// The WAV reader on arbitrary files: Open, then every sample one at a time and again through
// the sample cursor of the fast path (both must give the same samples, to the physical end of
// the file), then the DC offset correction (-d), after which the file must open again with
// the same data chunk and sample rate, or, when the correction is refused, be exactly as it was.
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Fuzz_support.h"
#include "dcoffset/Dc_offset_fixing_functions.h"
#include "sound/Wave_file_handler.h"

namespace {

using Fuzz_ns::Check;
using SoundInput_ns::WAVSound;

std::vector<int8_t> ReadOneByOne(WAVSound& wav) {
  std::vector<int8_t> samples;
  for (;;) {
    const int8_t sample = wav.NextSample();
    if (wav.Ended) {
      return samples;
    }
    samples.push_back(sample);
  }
}

std::vector<int8_t> ReadThroughCursor(WAVSound& wav) {
  std::vector<int8_t> samples;
  auto cursor = wav.Samples();
  int sample = 0;
  while (cursor.Next(sample)) {
    samples.push_back(static_cast<int8_t>(sample));
  }
  return samples;
}

bool Opens(WAVSound& wav, const std::string& path) {
  try {
    wav.Open(path);
    return true;
  } catch (const std::runtime_error&) {
    wav.Close();
    return false;
  }
}

// Whether a temporary file of the correction is still beside path.
bool TemporaryFileLeft(const std::string& path) {
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
    if (entry.path().filename().string().rfind("DCOffsetsFixed", 0) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = Fuzz_ns::Folder() / "input.wav";
  // One source object for every run, as the program has.
  static WAVSound wav;

  Fuzz_ns::WriteInput(path, data, size);
  if (!Opens(wav, path)) {
    return 0;
  }
  const int32_t length = wav.TotalLength;
  const uint32_t rate = wav.SampleRate;
  const std::streamoff dataStart = wav.DataStart();
  Check(length >= 0, "the data chunk's length is not negative");
  Check(dataStart >= 20 && static_cast<size_t>(dataStart) <= size,
        "the data chunk starts inside the file");

  const std::vector<int8_t> samples = ReadOneByOne(wav);
  Check(samples.size() == size - static_cast<size_t>(dataStart),
        "the samples run to the physical end of the file");
  Check(wav.Position == samples.size(), "Position counts the samples delivered");
  wav.ProgressPercent();
  wav.Rewind();
  Check(ReadThroughCursor(wav) == samples, "the sample cursor gives what NextSample gives");
  Check(!wav.Close(), "a file read to its end closes");

  const std::string original(reinterpret_cast<const char*>(data), size);
  Check(Opens(wav, path), "a file that opened once opens again");
  try {
    DCOffsetFunctions_ns::FixDCOffsets(wav, path);
  } catch (const std::runtime_error&) {
    Check(Fuzz_ns::ReadWhole(path) == original, "a refused correction leaves the input as it was");
    Check(!TemporaryFileLeft(path), "a refused correction leaves no temporary file");
    wav.Close();
    return 0;
  }
  Check(!TemporaryFileLeft(path), "the temporary file has replaced the input");
  Check(Opens(wav, path), "the corrected file opens");
  Check(wav.TotalLength == length && wav.DataStart() == dataStart,
        "the corrected file has the same data chunk");
  Check(wav.SampleRate == rate, "the corrected file has the same sample rate");
  const std::string corrected = Fuzz_ns::ReadWhole(path);
  const size_t samplesEnd = static_cast<size_t>(dataStart) + static_cast<size_t>(length);
  Check(corrected.size() == size &&
            corrected.compare(0, static_cast<size_t>(dataStart), original, 0,
                              static_cast<size_t>(dataStart)) == 0 &&
            corrected.compare(samplesEnd, std::string::npos, original, samplesEnd,
                              std::string::npos) == 0,
        "the corrected file keeps every byte outside its samples");
  wav.Close();
  return 0;
}
