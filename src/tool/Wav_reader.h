#pragma once

// Reading the WAV recordings people make today: PCM of 8, 16, 24 or 32 bits, or floating
// point of 32 or 64 bits, in a plain or a WAVE_FORMAT_EXTENSIBLE format chunk, with any number
// of channels at any rate.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <string>
#include <vector>

namespace Tool_ns {

struct WavFormat {
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  uint16_t bitsPerSample = 0;  // of each sample's container
  bool floatingPoint = false;
  uint16_t blockAlign = 0;  // bytes per frame (one sample of every channel)
};

class WavReader {
 public:
  // Opens the file and reads its header; raises ToolError for anything it cannot read. A data
  // chunk declared longer than the file is read to the file's end, with a warning on warnings.
  WavReader(const std::string& name, std::ostream& warnings);

  const WavFormat& Format() const { return format_; }
  uint64_t Frames() const { return frames_; }

  // Back to the first frame.
  void Rewind();
  // Reads up to maxFrames frames into values, interleaved, each sample from -1 to 1 (floating
  // point samples as they are). Returns the number of frames read: 0 at the end. Raises
  // ToolError when the file cannot be read or a floating-point sample is not a number.
  size_t Read(std::vector<double>& values, size_t maxFrames);

 private:
  std::string name_;
  std::ifstream file_;
  WavFormat format_;
  uint64_t dataStart_ = 0;
  uint64_t frames_ = 0;
  uint64_t framesRead_ = 0;
  std::vector<unsigned char> bytes_;
};

}  // namespace Tool_ns
