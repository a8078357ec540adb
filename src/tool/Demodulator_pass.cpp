// A pass of recover through the tool's own demodulator.

#include <memory>
#include <vector>

#include "demod/Demodulator.h"
#include "tool/Recover.h"
#include "tool/Signal_reader.h"
#include "tool/Transcription.h"

namespace Tool_ns {

namespace {

// A block whose header passed only by repair is kept when a neighbour read without a repaired
// header confirms the fields the repair may have changed: the block before or after it is of
// the same file (name and load address) and numbered one below or above it.
bool FitsNeighbours(const std::vector<Demod_ns::DemodBlock>& blocks, size_t index) {
  const BlockIdentity identity = IdentifyBlock(blocks[index].bytes);
  auto confirms = [&](size_t other, int step) {
    const BlockIdentity neighbour = IdentifyBlock(blocks[other].bytes);
    return neighbour.name == identity.name && neighbour.load == identity.load &&
           static_cast<int>(neighbour.number) == static_cast<int>(identity.number) + step;
  };
  for (size_t k = index; k-- > 0;) {
    if (blocks[k].headerRepaired || blocks[k].baud != blocks[index].baud)
      continue;
    if (confirms(k, -1))
      return true;
    break;
  }
  for (size_t k = index + 1; k < blocks.size(); ++k) {
    if (blocks[k].headerRepaired || blocks[k].baud != blocks[index].baud)
      continue;
    return confirms(k, 1);
  }
  return false;
}

}  // namespace

PassResult RunDemodulatorPass(const RecordingSettings& recording, const PassSettings& pass,
                              std::ostream& warnings, std::vector<TapeEvent>* transcription) {
  std::unique_ptr<SignalReader> signal = SignalReader::Open(recording, pass.channel, warnings);
  const double rate = signal->SampleRate();
  PassResult result;
  result.settings = pass;
  result.sampleRate = static_cast<uint32_t>(rate);

  std::unique_ptr<CellTranscriber> transcriber;
  if (transcription != nullptr)
    transcriber = std::make_unique<CellTranscriber>(rate);
  Demod_ns::Demodulator demodulator(rate, transcriber.get());
  std::vector<float> buffer(Demod_ns::CellDemodulator::kFeedLimit);
  uint64_t samples = 0;
  while (const size_t count = signal->Read(buffer.data(), buffer.size())) {
    demodulator.Feed(buffer.data(), count);
    samples += count;
  }
  result.lengthSeconds = static_cast<double>(samples) / rate;

  if (transcriber)
    transcriber->EndAt(samples);
  std::vector<Demod_ns::DemodBlock> blocks = demodulator.Finish();
  if (transcriber)
    *transcription = transcriber->Finish();
  for (size_t i = 0; i < blocks.size(); ++i) {
    Demod_ns::DemodBlock& block = blocks[i];
    if (block.headerRepaired && !FitsNeighbours(blocks, i))
      continue;
    FoundBlock found;
    found.bytes = std::move(block.bytes);
    found.startSeconds = block.startSample / rate;
    found.endSeconds = block.endSample / rate;
    found.baud = block.baud;
    found.repairedBits = block.repairedBits;
    found.repaired = block.state == Demod_ns::BlockState::kRepaired;
    if (block.state == Demod_ns::BlockState::kFailed) {
      found.soft = std::move(block.soft);
      result.failed.push_back(std::move(found));
    } else {
      result.blocks.push_back(std::move(found));
    }
  }
  return result;
}

}  // namespace Tool_ns
