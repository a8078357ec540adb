#pragma once

// Recordings read at their full resolution for the demodulator: a WAV file's samples in any
// of the forms WavReader takes (one channel, or the mean of all), a RAW file's bytes, or a CSW
// file's pulses played as a square wave at the file's rate. Nothing is reduced to 8 bits on
// the way, so a quiet capture keeps its signal.

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

#include "tool/Recording.h"

namespace Tool_ns {

class SignalReader {
 public:
  // Every channel mixed: the mean of all.
  static constexpr int kMix = -1;

  virtual ~SignalReader() = default;

  // Opens the recording for one channel (0 for the first) or the mix. Raises ToolError (WAV)
  // or std::runtime_error with varnstow's messages (RAW, CSW) when it cannot be read; warnings
  // about the file go to warnings.
  static std::unique_ptr<SignalReader> Open(const RecordingSettings& recording, int channel,
                                            std::ostream& warnings);

  virtual double SampleRate() const = 0;
  // Reads up to count samples into out, each -1 to 1 (CSW: exactly -1 or 1). Returns how many
  // were read: 0 only at the end.
  virtual size_t Read(float* out, size_t count) = 0;
};

// The number of channels of a recording: a WAV file's own, 1 for RAW and CSW. Raises as Open.
unsigned ChannelsOf(const RecordingSettings& recording, std::ostream& warnings);

// True when varnstow itself reads the recording: every RAW and CSW file, and a WAV file of
// 8-bit mono PCM.
bool ConverterReads(const RecordingSettings& recording, std::ostream& warnings);

}  // namespace Tool_ns
