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
// Samples are decoded three times: from a RAW file through the fast path that a RAW source
// object takes, from memory through the sound source interface, and by the program itself
// (its run driver, in this process) on the same file where its -f accepts the rate. All
// must give the same chunks after the program's origin chunks, and every image must be a
// whole number of chunks. Any exception is a finding: nothing in the decoding may fail on a
// sound the source delivered.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "Fuzz_support.h"
#include "blocks/Decoding_context.h"
#include "driver/Command_line.h"
#include "driver/Run_program.h"
#include "sound/Memory_sound.h"
#include "sound/Raw_file_handler.h"
#include "uef/Wave_analysis.h"

namespace {

using Fuzz_ns::Check;
using MainProgram_ns::MeasureMethod;
using SoundInput_ns::MemorySound;

// The sound source interface alone: every call goes through the virtual functions of a source
// the measurement does not know.
class ThroughInterface final : public SoundInput_ns::SoundBase {
 public:
  explicit ThroughInterface(SoundInput_ns::SoundBase& inner) : inner_(inner) {
    SampleRate = inner.SampleRate;
    TotalLength = inner.TotalLength;
  }
  void Open(std::string) override {}
  bool Close() override { return false; }
  bool AtEnd() override { return inner_.AtEnd(); }
  int8_t NextSample() override {
    const int8_t sample = inner_.NextSample();
    Position = inner_.Position;
    return sample;
  }
  uint32_t NextPulse() override {
    const uint32_t pulse = inner_.NextPulse();
    Position = inner_.Position;
    return pulse;
  }

 private:
  SoundInput_ns::SoundBase& inner_;
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

// Decodes source with a decoding context of its own, as a run does after opening it, and
// returns the image.
std::string Decode(SoundInput_ns::SoundBase& source, const Settings& settings) {
  using namespace MainProgram_ns;
  RunSettingsRecord run;
  run.MeasureWave = settings.method;
  run.NormalPhase = settings.normalPhase;
  if (settings.calibrated) {
    run.Calibrations[settings.fileNumber] = BaudRateAndFlag{false, settings.baudRate};
  }
  UEFFormat_ns::UEFFormatWriting image;
  BlockProcessing_ns::NoBlockSink sink;
  BlockProcessing_ns::DecodingContext context(run, source, image, sink);
  BlockProcessing_ns::OpenDecodingPass(context, "unused.uef", {});
  BlockProcessing_ns::DecodeBlocks(context);
  return image.ImageBytes();
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

// The chunks after the header and the origin chunks at the start.
std::string ChunksAfterOrigins(const std::string& image) {
  size_t at = 12;
  while (image.size() - at >= 6 && image[at] == 0 && image[at + 1] == 0) {
    at += 6 + Le32(reinterpret_cast<const uint8_t*>(image.data()) + at + 2);
  }
  return image.substr(at);
}

// The program's own run on the RAW file, with the options that give these settings; the image
// it wrote, or nothing when it wrote none.
std::string ProgramImage(const std::string& input, uint32_t rate, bool signedSamples,
                         const Settings& settings) {
  static const std::string output = Fuzz_ns::Folder() / "program.uef";
  std::remove(output.c_str());
  std::vector<std::string> arguments = {"varnstow", "-i",
                                        input,      "-o",
                                        output,     "-c",
                                        "-f",       std::to_string(rate),
                                        "-t",       signedSamples ? "s" : "u"};
  if (settings.method == MeasureMethod::kPeak) {
    arguments.insert(arguments.end(), {"-l", "p"});
  }
  if (!settings.normalPhase) {
    arguments.push_back("-p");
  }
  if (settings.calibrated) {
    arguments.insert(arguments.end(), {"-s", std::to_string(settings.fileNumber),
                                       std::to_string(settings.baudRate)});
  }
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  MainProgram_ns::RunSettings = MainProgram_ns::RunSettingsRecord{};
  SoundInput_ns::TheRAWSound.Close();
  MainProgram_ns::RunProgram(static_cast<int>(argv.size()), argv.data());
  SoundInput_ns::TheRAWSound.Close();
  return Fuzz_ns::ReadWhole(output);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The program's runs report on the console: the report to the null device, the advice on
  // standard error into a stream that keeps nothing (the fuzzer's own reports, written
  // straight to the descriptor, still reach it).
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    return 1;
  }
  static std::ostream discard(nullptr);
  std::cerr.rdbuf(discard.rdbuf());
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
    MemorySound pulses(sound, length, MemorySound::Form::kPulses, rate);
    const std::string fromMemory = Decode(pulses, settings);
    CheckWholeChunks(fromMemory);
    MemorySound again(sound, length, MemorySound::Form::kPulses, rate);
    ThroughInterface interface(again);
    Check(Decode(interface, settings) == fromMemory,
          "a pulse source decodes the same whatever its class");
    return 0;
  }

  rate &= 0x7FFFFFFFu;
  Fuzz_ns::WriteInput(path, sound, length);
  SoundInput_ns::RAWSound raw;
  raw.SetSampleRate(rate);
  raw.SetSignedSamples(signedSamples);
  raw.Open(path);
  const std::string fromFile = Decode(raw, settings);
  raw.Close();
  MemorySound samples(
      sound, length,
      signedSamples ? MemorySound::Form::kSignedSamples : MemorySound::Form::kUnsignedSamples,
      rate);
  const std::string fromMemory = Decode(samples, settings);
  Check(fromFile == fromMemory, "the fast path decodes as the sound source interface does");
  CheckWholeChunks(fromFile);

  // The program takes RAW rates from 44100 Hz up.
  if (rate >= 44100) {
    const std::string program = ProgramImage(path, rate, signedSamples, settings);
    Check(!program.empty(), "the program wrote an image");
    CheckWholeChunks(program);
    Check(ChunksAfterOrigins(program) == fromFile.substr(12),
          "a decoding context decodes as the program does");
  }
  return 0;
}
