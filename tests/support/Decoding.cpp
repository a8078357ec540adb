#include "support/Decoding.h"

#include <zlib.h>

#include "driver/Stream_splitter.h"
#include "support/Temp_folder.h"

namespace TestSupport {

PulseSource::PulseSource(std::vector<uint32_t> pulses, uint32_t sampleRate)
    : pulses_(std::move(pulses)) {
  SampleRate = sampleRate;
}

uint32_t PulseSource::NextPulse() {
  if (next_ < pulses_.size()) {
    return pulses_[next_++];
  }
  Ended = true;
  return 0;
}

SampleSource::SampleSource(std::vector<int8_t> samples, uint32_t sampleRate)
    : samples_(std::move(samples)) {
  SampleRate = sampleRate;
}

int8_t SampleSource::NextSample() {
  if (next_ < samples_.size()) {
    return samples_[next_++];
  }
  Ended = true;
  return 0;
}

std::vector<uint32_t> PulsesOf(const TapeBuilder_ns::Tape& tape, uint32_t rate) {
  auto train = TapeBuilder_ns::RenderPulses(tape, rate);
  // Start with a high pulse, as a CSW source does for the normal phase, so that every wave
  // pairs a cycle's two halves.
  if (!train.initialHigh && !train.lengths.empty()) {
    train.lengths.erase(train.lengths.begin());
  }
  return train.lengths;
}

TestDecoding::TestDecoding(SoundInput_ns::SoundBase& source, MainProgram_ns::MeasureMethod method,
                           bool normalPhase) {
  settings.MeasureWave = method;
  settings.NormalPhase = normalPhase;
  context_ = std::make_unique<BlockProcessing_ns::DecodingContext>(settings, source, image, sink_);
}

void TestDecoding::ReportOnTee::Block(const BlockProcessing_ns::ByteBufferType& block,
                                      const BlockProcessing_ns::BlockHeaderRecord& header) {
  BlockProcessing_ns::ReportBlock(StreamSplitter_ns::Tee, block, header, decoding_.report,
                                  decoding_.settings.BeepOnErrors);
}

namespace {

std::unique_ptr<TestDecoding> current;

}  // namespace

BlockProcessing_ns::DecodingContext& PrepareDecoding(SoundInput_ns::SoundBase& source,
                                                     MainProgram_ns::MeasureMethod method,
                                                     bool normalPhase,
                                                     const std::string& reportPath) {
  current.reset();
  current = std::make_unique<TestDecoding>(source, method, normalPhase);

  StreamSplitter_ns::LogStream.close();
  StreamSplitter_ns::LogStream.clear();
  if (!reportPath.empty()) {
    StreamSplitter_ns::LogStream.open(reportPath, std::ios::out | std::ios::trunc);
  }
  StreamSplitter_ns::Tee.clear();
  StreamSplitter_ns::Tee.fill('0');
  StreamSplitter_ns::Tee.setf(std::ios::uppercase);

  BlockProcessing_ns::OpenDecodingPass(current->Context(), "unused.uef", {});
  return current->Context();
}

TestDecoding& CurrentDecoding() {
  return *current;
}

std::string FinishReport(const std::string& reportPath) {
  StreamSplitter_ns::Tee.flush();
  StreamSplitter_ns::LogStream.close();
  return ReadTextFile(reportPath);
}

std::vector<Chunk> ParseChunks(const std::string& image) {
  std::vector<Chunk> chunks;
  size_t at = 12;
  auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(image[i])); };
  while (at + 6 <= image.size()) {
    Chunk chunk;
    chunk.id = static_cast<uint16_t>(byte(at) | byte(at + 1) << 8);
    const uint32_t length =
        byte(at + 2) | byte(at + 3) << 8 | byte(at + 4) << 16 | byte(at + 5) << 24;
    if (at + 6 + length > image.size()) {
      break;
    }
    chunk.data = image.substr(at + 6, length);
    chunks.push_back(chunk);
    at += 6 + length;
  }
  return chunks;
}

std::string GunzipFile(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "rb");
  std::string content;
  if (file == nullptr) {
    return content;
  }
  char buffer[4096];
  int got = 0;
  while ((got = gzread(file, buffer, sizeof buffer)) > 0) {
    content.append(buffer, static_cast<size_t>(got));
  }
  gzclose(file);
  return content;
}

std::vector<Chunk> ChunksWithId(const std::vector<Chunk>& chunks, uint16_t id) {
  std::vector<Chunk> matching;
  for (const Chunk& chunk : chunks) {
    if (chunk.id == id) {
      matching.push_back(chunk);
    }
  }
  return matching;
}

}  // namespace TestSupport
