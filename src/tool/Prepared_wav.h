#pragma once

// What varnstow-tool prepare does to a WAV recording, for prepare itself and for the commands
// that take such recordings directly: the choice of the channel, the DC level and the scale,
// and the 8-bit mono copy written through the converter's own WAV writer.

#include <cstdint>
#include <iosfwd>
#include <string>

#include "tool/Recording.h"

namespace Tool_ns {

// What was taken from the recording and how it was levelled.
struct PreparedSignal {
  bool mix = false;            // the mean of all channels
  size_t channel = 0;          // from 0, when not mix
  size_t channels = 0;         // in the recording
  bool chosenByLevel = false;  // the channel with the larger signal, of several
  uint64_t frames = 0;
  uint32_t sampleRate = 0;
  double mean = 0.0;  // of the signal taken, -1 to 1
  double peak = 0.0;  // its largest distance from the mean
};

// Raises UsageError unless the --channel value is empty (the channel with the larger signal),
// left, right, mix or a channel's number from 1.
void CheckChannelOption(const std::string& channelOption);

// Reads the WAV file input (twice: it must be a file) and writes output, 8-bit mono at the
// same rate; "-" writes standardOutput. Warnings about the input go to warnings. Raises
// ToolError for what it cannot read or write, and UsageError for a channel the recording does
// not have.
PreparedSignal PrepareWav(const std::string& input, const std::string& output,
                          const std::string& channelOption, std::ostream& standardOutput,
                          std::ostream& warnings);

// "the right channel (the larger signal), 1808467 samples at 44100 Hz: DC level 1.0%, peak
// 25.5% of full scale, scaled by 3.88".
std::string DescribePrepared(const PreparedSignal& signal);

// A recording as the converter reads it. A WAV file that the converter refuses for its sample
// form (stereo, 16 or more bits, floating point) but prepare reads is prepared into a
// temporary file, removed again with this object; any other recording is read as it is.
class PreparedRecording {
 public:
  PreparedRecording(const RecordingSettings& recording, const std::string& channelOption,
                    std::ostream& warnings);
  ~PreparedRecording();
  PreparedRecording(const PreparedRecording&) = delete;
  PreparedRecording& operator=(const PreparedRecording&) = delete;

  // The recording to read: the temporary file when prepared.
  const RecordingSettings& Settings() const { return settings_; }
  bool Prepared() const { return !temporary_.empty(); }
  const PreparedSignal& Signal() const { return signal_; }

 private:
  RecordingSettings settings_;
  std::string temporary_;
  PreparedSignal signal_;
};

}  // namespace Tool_ns
