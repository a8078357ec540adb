// The whole decoding, from an arbitrary sound to the tape image in memory.
//
// Input layout:
//   0     1  bits 0-1: 0 sign method, 1 peak method, 2 or 3 CSW pulses; bit 2: -p;
//            bit 3: unsigned RAW samples; bit 4: a -s calibration follows the rate
//   1     4  sample rate, little-endian (samples: the top bit is ignored, as a file's rate
//            never exceeds 2147483647)
//   5     4  with bit 4 only: file number and baud rate, 16 bits each, top bit ignored
//   ...      samples, one byte each; or pulses coded as in a CSW file: a byte 1 to 255 is a
//            pulse of that length, a byte 0 is followed by a 32-bit little-endian length
//
// Samples are decoded twice: from a RAW file through the program's fast path, and from memory
// through the sound source interface. Both must give the same image, and every image must be
// a whole number of chunks. Any exception is a finding: nothing in the decoding may fail on
// a sound the source delivered.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Fuzz_support.h"
#include "blocks/Block_driver.h"
#include "blocks/Blockformstate.h"
#include "blocks/Processing.h"
#include "driver/CommandLine.h"
#include "driver/StreamSplitter.h"
#include "sound/Raw_file_handler.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace {

using Fuzz_ns::Check;
using MainProgram_ns::MeasureMethod;

// Samples from memory, through the virtual interface.
class MemorySamples final : public SoundInput_ns::SoundBase {
 public:
  MemorySamples(const uint8_t* bytes, size_t count, bool signedSamples, uint32_t rate)
      : next_(bytes), end_(bytes + count), flip_(signedSamples ? 0 : 0x80) {
    SampleRate = rate;
    TotalLength = static_cast<int32_t>(count);
  }
  void Open(std::string) override {}
  bool Close() override { return false; }
  int8_t NextSample() override {
    if (next_ == end_) {
      Ended = true;
      return 0;
    }
    ++Position;
    return static_cast<int8_t>(*next_++ ^ flip_);
  }

 private:
  const uint8_t* next_;
  const uint8_t* end_;
  uint8_t flip_;
};

// Pulses from memory, coded as in a CSW file; a long pulse cut short ends the pulses.
class MemoryPulses final : public SoundInput_ns::SoundBase {
 public:
  MemoryPulses(const uint8_t* bytes, size_t count, uint32_t rate)
      : next_(bytes), end_(bytes + count) {
    SampleRate = rate;
  }
  void Open(std::string) override {}
  bool Close() override { return false; }
  uint32_t NextPulse() override {
    if (next_ == end_) {
      Ended = true;
      return 0;
    }
    uint32_t pulse = *next_++;
    if (pulse == 0) {
      if (end_ - next_ < 4) {
        next_ = end_;
        Ended = true;
        return 0;
      }
      pulse = static_cast<uint32_t>(next_[0]) | static_cast<uint32_t>(next_[1]) << 8 |
              static_cast<uint32_t>(next_[2]) << 16 | static_cast<uint32_t>(next_[3]) << 24;
      next_ += 4;
    }
    Position += pulse;
    return pulse;
  }

 private:
  const uint8_t* next_;
  const uint8_t* end_;
};

struct Settings {
  MeasureMethod method = MeasureMethod::kSign;
  bool normalPhase = true;
  bool calibrated = false;
  int16_t fileNumber = 0;
  int16_t baudRate = 0;
};

uint32_t Le32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Decodes source from a fresh state, as a run does after opening it, and returns the image.
std::string Decode(SoundInput_ns::SoundBase& source, const Settings& settings) {
  using namespace MainProgram_ns;
  RunSettings = RunSettingsRecord{};
  RunSettings.MeasureWave = settings.method;
  RunSettings.NormalPhase = settings.normalPhase;
  if (settings.calibrated) {
    RunSettings.Calibrations[settings.fileNumber] = BaudRateAndFlag{false, settings.baudRate};
  }
  SoundInput_ns::CurrentSound = &source;
  BlockProcessing_ns::ResetDecoding();
  UEFFormat_ns::TheUEFImage.Discard();
  UEFFormat_ns::TheUEFImage.OpenImage("unused.uef", 10, 0);
  StreamSplitter_ns::Tee.clear();

  WavesInput_ns::InitialiseWavesInput();
  WavesInput_ns::ApplyWavelengthCalibration(BlockProcessing_ns::BlockFormState.FileNumber);
  BlockProcessing_ns::DecodeBlocks();
  return UEFFormat_ns::TheUEFImage.ImageBytes();
}

void CheckWholeChunks(const std::string& image) {
  Check(image.size() >= 12 && image.compare(0, 10, std::string("UEF File!\0", 10)) == 0,
        "the image starts with its header");
  size_t at = 12;
  while (at < image.size()) {
    Check(image.size() - at >= 6, "a chunk's head is whole");
    const auto length = Le32(reinterpret_cast<const uint8_t*>(image.data()) + at + 2);
    Check(image.size() - at - 6 >= length, "a chunk's body is whole");
    at += 6 + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The report goes through the log and the console: both to the null device.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    return 1;
  }
  StreamSplitter_ns::LogStream.open("/dev/null", std::ios::out);
  StreamSplitter_ns::Tee.fill('0');
  StreamSplitter_ns::Tee.setf(std::ios::uppercase);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = Fuzz_ns::Folder() / "input.raw";
  if (size < 5) {
    return 0;
  }
  Settings settings;
  const unsigned mode = data[0] & 3u;
  settings.method = mode == 0   ? MeasureMethod::kSign
                    : mode == 1 ? MeasureMethod::kPeak
                                : MeasureMethod::kCswPulses;
  settings.normalPhase = (data[0] & 4) == 0;
  const bool signedSamples = (data[0] & 8) == 0;
  uint32_t rate = Le32(data + 1);
  size_t at = 5;
  if ((data[0] & 16) != 0) {
    if (size < 9) {
      return 0;
    }
    settings.calibrated = true;
    settings.fileNumber = static_cast<int16_t>((data[5] | data[6] << 8) & 0x7FFF);
    // The command line takes baud rates from 1 to 32767.
    settings.baudRate = static_cast<int16_t>((data[7] | data[8] << 8) & 0x7FFF);
    if (settings.baudRate == 0) {
      settings.baudRate = 1;
    }
    at = 9;
  }
  const uint8_t* sound = data + at;
  const size_t length = size - at;

  if (settings.method == MeasureMethod::kCswPulses) {
    MemoryPulses pulses(sound, length, rate);
    CheckWholeChunks(Decode(pulses, settings));
    return 0;
  }

  rate &= 0x7FFFFFFFu;
  Fuzz_ns::WriteInput(path, sound, length);
  auto& raw = SoundInput_ns::TheRAWSound;
  raw.Close();
  raw.SetSampleRate(rate);
  raw.SetSignedSamples(signedSamples);
  raw.Open(path);
  const std::string fromFile = Decode(raw, settings);
  raw.Close();
  MemorySamples samples(sound, length, signedSamples, rate);
  const std::string fromMemory = Decode(samples, settings);
  Check(fromFile == fromMemory, "the fast path decodes as the sound source interface does");
  CheckWholeChunks(fromFile);
  return 0;
}
