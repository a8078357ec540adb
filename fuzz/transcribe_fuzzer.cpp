// The whole tape's transcription on arbitrary signals, and the image written from it: half-wave
// lengths (as a CSW file's pulses give them) or samples (as the demodulator's cells read them)
// are transcribed into tones, bytes, gaps and other cycles, and the image is written around a
// block taken from what was read. The events must be in tape order and whole, the image must
// be written, and the tool's own reader and player must take it back without damage.
//
// The input's first byte chooses the signal: even, the rest as half-waves of 1 to 65536
// microseconds (two bytes each); odd, as signed 8-bit samples at a rate from the byte's other
// bits. Its second byte, where there is one, where the block lies.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "Fuzz_support.h"
#include "tool/Recover.h"
#include "tool/Tool_support.h"
#include "tool/Transcription.h"
#include "tool/Uef_player.h"
#include "tool/Uef_reader.h"
#include "uef/Wave_analysis.h"

namespace {

using Fuzz_ns::Check;
using Tool_ns::TapeEvent;

void CheckEvents(const std::vector<TapeEvent>& events) {
  double last = -1.0;
  for (const TapeEvent& event : events) {
    Check(std::isfinite(event.startSeconds) && std::isfinite(event.endSeconds),
          "an event's times are finite");
    Check(event.startSeconds <= event.endSeconds + 1e-9, "an event ends after it starts");
    Check(event.startSeconds + 1e-6 >= last, "the events are in tape order");
    last = event.startSeconds;
    switch (event.kind) {
      case TapeEvent::Kind::kTone:
        Check(event.cycles > 0, "a tone has cycles");
        break;
      case TapeEvent::Kind::kData:
        Check(!event.bytes.empty(), "a stretch of data has bytes");
        Check(event.bytes.size() == event.byteStarts.size(), "every byte has its start");
        Check(event.baud == 1200 || event.baud == 300, "bytes are at 1200 or 300 baud");
        Check((event.dataBits == 7 || event.dataBits == 8) &&
                  (event.parity == 'N' || event.parity == 'E' || event.parity == 'O') &&
                  (event.stopBits == 1 || event.stopBits == 2),
              "a framing emulators take");
        break;
      case TapeEvent::Kind::kSecurity:
        Check(!event.securityCycles.empty(), "security cycles are there");
        break;
      case TapeEvent::Kind::kGap:
        break;
    }
  }
}

// Counts what the tool's player gives back of the image.
class Counting final : public Tool_ns::WaveTarget {
 public:
  void Tone(double frequencyHz, uint64_t) override {
    Check(frequencyHz > 0.0, "a tone has a positive frequency");
  }
  void Silence(double seconds) override { Check(seconds >= 0.0, "silence is not negative"); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  std::vector<TapeEvent> events;
  const uint8_t mode = data[0];
  const uint8_t where = data[1];
  data += 2;
  size -= 2;
  double seconds = 0.0;
  if (mode % 2 == 0) {
    std::vector<double> halves;
    for (size_t i = 0; i + 1 < size; i += 2)
      halves.push_back((1 + (data[i] | data[i + 1] << 8)) * 1e-6);
    for (double h : halves)
      seconds += h;
    events = Tool_ns::TranscribeHalfWaves(halves);
  } else {
    const double rates[] = {8000, 11025, 22050, 44100, 48000, 96000};
    const double rate = rates[(mode >> 1) % 6];
    Tool_ns::SampleTranscriber transcriber(rate);
    std::vector<float> samples;
    for (size_t i = 0; i < size; ++i)
      samples.push_back(static_cast<float>(static_cast<int8_t>(data[i])) * 256.0f);
    transcriber.Feed(samples.data(), samples.size());
    events = transcriber.Finish();
    seconds = static_cast<double>(size) / rate;
  }
  CheckEvents(events);

  // A block where the second byte says, made of the first bytes read (or of nothing).
  Tool_ns::Recovery recovery;
  recovery.lengthSeconds = seconds;
  if (where != 0) {
    Tool_ns::MergedBlock block;
    for (const TapeEvent& event : events) {
      if (event.kind == TapeEvent::Kind::kData) {
        block.bytes = event.bytes;
        break;
      }
    }
    block.identity = Tool_ns::IdentifyBlock(block.bytes);
    block.startSeconds = seconds * (where - 1) / 255.0;
    block.endSeconds = block.startSeconds + 0.1 * (where % 7);
    block.baud = where % 3 == 0 ? 300 : 1200;
    recovery.blocks.push_back(block);
  }
  Tool_ns::BuildImage(recovery, Fuzz_ns::Folder() / "image.uef", {"origin"}, &events);
  const std::string bytes = UEFFormat_ns::TheUEFImage.ImageBytes();
  UEFFormat_ns::TheUEFImage.Discard();
  const Tool_ns::UefImage image = Tool_ns::UefImageFromBytes(bytes, "image.uef");
  Tool_ns::UefChunks chunks(image);
  Tool_ns::UefChunk chunk;
  while (chunks.Next(chunk)) {
  }
  Check(chunks.Damage().empty(), "the image written is read back without damage");
  Counting counting;
  Tool_ns::PlayImage(image, counting, nullptr);
  return 0;
}
