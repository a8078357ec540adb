#include "tool/Signal_reader.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "sound/Csw_file_handler.h"
#include "tool/Wav_reader.h"

namespace Tool_ns {

namespace {

class WavSignal final : public SignalReader {
 public:
  WavSignal(const std::string& name, int channel, std::ostream& warnings)
      : reader_(name, warnings), channel_(channel) {}

  double SampleRate() const override { return reader_.Format().sampleRate; }

  size_t Read(float* out, size_t count) override {
    const size_t frames = reader_.Read(values_, count);
    const size_t channels = reader_.Format().channels;
    const double* frame = values_.data();
    for (size_t i = 0; i < frames; ++i, frame += channels) {
      if (channel_ >= 0) {
        out[i] = static_cast<float>(frame[channel_]);
      } else {
        double sum = 0.0;
        for (size_t c = 0; c < channels; ++c)
          sum += frame[c];
        out[i] = static_cast<float>(sum / static_cast<double>(channels));
      }
    }
    return frames;
  }

  const WavFormat& Format() const { return reader_.Format(); }

 private:
  WavReader reader_;
  int channel_;
  std::vector<double> values_;
};

class RawSignal final : public SignalReader {
 public:
  RawSignal(const RecordingSettings& recording)
      : rate_(recording.rawRate), signed_(recording.rawSigned) {
    file_.open(recording.name, std::ios::binary);
    if (!file_)
      throw std::runtime_error("Could not open " + recording.name);
  }

  double SampleRate() const override { return rate_; }

  size_t Read(float* out, size_t count) override {
    bytes_.resize(count);
    file_.read(reinterpret_cast<char*>(bytes_.data()), static_cast<std::streamsize>(count));
    const auto got = static_cast<size_t>(file_.gcount());
    if (got == 0 && file_.bad())
      throw std::runtime_error("File reading error");
    const int centre = signed_ ? 0 : 128;
    for (size_t i = 0; i < got; ++i) {
      const int value = signed_ ? static_cast<int8_t>(bytes_[i]) : bytes_[i];
      out[i] = static_cast<float>(value - centre) * (1.0f / 128.0f);
    }
    return got;
  }

 private:
  std::ifstream file_;
  double rate_;
  bool signed_;
  std::vector<unsigned char> bytes_;
};

// A CSW file's pulses as a square wave, each pulse that many samples of one level, the levels
// taking turns.
class CswSignal final : public SignalReader {
 public:
  explicit CswSignal(const std::string& name) {
    csw_.Open(name);
    // Each pulse turns the level over, the first one to the file's initial polarity.
    level_ = csw_.InitialPolarityHigh() ? -1.0f : 1.0f;
  }
  ~CswSignal() override { csw_.Close(); }

  double SampleRate() const override { return csw_.SampleRate; }

  size_t Read(float* out, size_t count) override {
    size_t made = 0;
    while (made < count) {
      if (left_ == 0) {
        if (ended_)
          break;
        left_ = csw_.NextPulse();
        if (left_ == 0) {
          ended_ = true;
          break;
        }
        level_ = -level_;
      }
      const size_t run = std::min<uint64_t>(left_, count - made);
      std::fill(out + made, out + made + run, level_);
      made += run;
      left_ -= run;
    }
    return made;
  }

 private:
  SoundInput_ns::CSWSound csw_;
  uint64_t left_ = 0;  // samples of the current pulse still to give
  float level_ = 1.0f;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<SignalReader> SignalReader::Open(const RecordingSettings& recording, int channel,
                                                 std::ostream& warnings) {
  switch (recording.kind) {
    case RecordingKind::kWav:
      return std::make_unique<WavSignal>(recording.name, channel, warnings);
    case RecordingKind::kRaw:
      return std::make_unique<RawSignal>(recording);
    case RecordingKind::kCsw:
      break;
  }
  return std::make_unique<CswSignal>(recording.name);
}

unsigned ChannelsOf(const RecordingSettings& recording, std::ostream& warnings) {
  if (recording.kind != RecordingKind::kWav)
    return 1;
  return WavReader(recording.name, warnings).Format().channels;
}

bool ConverterReads(const RecordingSettings& recording, std::ostream& warnings) {
  if (recording.kind != RecordingKind::kWav)
    return true;
  const WavFormat format = WavReader(recording.name, warnings).Format();
  return format.channels == 1 && format.bitsPerSample == 8 && !format.floatingPoint;
}

}  // namespace Tool_ns
