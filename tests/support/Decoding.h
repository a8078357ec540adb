#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "blocks/Decoding_context.h"
#include "driver/Command_line.h"
#include "sound/Sound_device_base.h"
#include "support/Tape_builder.h"
#include "uef/Wave_analysis.h"

namespace TestSupport {

// A sound source that delivers given pulses, as a CSW file does, then 0 with Ended set.
class PulseSource final : public SoundInput_ns::SoundBase {
 public:
  PulseSource(std::vector<uint32_t> pulses, uint32_t sampleRate);
  void Open(std::string) override {}
  bool Close() override { return false; }
  uint32_t NextPulse() override;

 private:
  std::vector<uint32_t> pulses_;
  size_t next_ = 0;
};

// A sound source that delivers given samples, then 0 with Ended set.
class SampleSource final : public SoundInput_ns::SoundBase {
 public:
  SampleSource(std::vector<int8_t> samples, uint32_t sampleRate);
  void Open(std::string) override {}
  bool Close() override { return false; }
  int8_t NextSample() override;
  size_t Taken() const { return next_; }

 private:
  std::vector<int8_t> samples_;
  size_t next_ = 0;
};

// At this rate a long wave (one 1200 Hz cycle) is 10 samples, pulses 5 and 5, and a short
// wave 5 samples: whole numbers that hand-made wave sequences can hit exactly.
inline constexpr uint32_t kPulseTestRate = 12000;

// The tape's pulses, starting with a high one.
std::vector<uint32_t> PulsesOf(const TapeBuilder_ns::Tape& tape, uint32_t rate = kPulseTestRate);

// A test's decoding pass: settings, image, report and decoding state of its own. The report
// lines go to the tee, as the program's do.
class TestDecoding {
 public:
  TestDecoding(SoundInput_ns::SoundBase& source, MainProgram_ns::MeasureMethod method,
               bool normalPhase);

  MainProgram_ns::RunSettingsRecord settings;
  UEFFormat_ns::UEFFormatWriting image;
  BlockProcessing_ns::BlockReportState report;
  BlockProcessing_ns::DecodingContext& Context() { return *context_; }

 private:
  class ReportOnTee final : public BlockProcessing_ns::BlockSink {
   public:
    explicit ReportOnTee(TestDecoding& decoding) : decoding_(decoding) {}
    void Block(const BlockProcessing_ns::ByteBufferType& block,
               const BlockProcessing_ns::BlockHeaderRecord& header) override;

   private:
    TestDecoding& decoding_;
  };
  ReportOnTee sink_{*this};
  std::unique_ptr<BlockProcessing_ns::DecodingContext> context_;
};

// Starts a new test decoding of source with the given method and phase, as a run does after
// opening it: an empty in-memory image, the waves window filled and the reference length set.
// The report goes to reportPath (through the log side of the tee) when it is not empty.
// Returns the decoding's context, which lives until the next call.
BlockProcessing_ns::DecodingContext& PrepareDecoding(SoundInput_ns::SoundBase& source,
                                                     MainProgram_ns::MeasureMethod method,
                                                     bool normalPhase = true,
                                                     const std::string& reportPath = "");

// The decoding started by the latest PrepareDecoding.
TestDecoding& CurrentDecoding();

// Closes the report file opened by PrepareDecoding and returns its text.
std::string FinishReport(const std::string& reportPath);

struct Chunk {
  uint16_t id = 0;
  std::string data;
};

// The chunks of a UEF image, after its 12-byte header.
std::vector<Chunk> ParseChunks(const std::string& image);

// The decompressed content of a gzip file (a compressed tape image).
std::string GunzipFile(const std::string& path);

// Only the chunks with this identifier.
std::vector<Chunk> ChunksWithId(const std::vector<Chunk>& chunks, uint16_t id);

}  // namespace TestSupport
