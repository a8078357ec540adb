#pragma once

// One decoding pass as a value: the state of every part of the block decoding, with what the
// pass reads (the run's settings and the sound source) and where it puts what it finds (the
// tape image and a block sink). Passes with contexts of their own share nothing and may run
// at the same time on different threads.

#include <cstdint>
#include <string>
#include <vector>

#include "blocks/Bits_and_bytes.h"
#include "blocks/Block_driver.h"
#include "blocks/Block_header.h"
#include "blocks/Blockformstate.h"
#include "blocks/Processing.h"
#include "driver/Command_line.h"
#include "waves/Wavesinputstate.h"

namespace SoundInput_ns {
class SoundBase;
}
namespace UEFFormat_ns {
class UEFFormatWriting;
}

namespace BlockProcessing_ns {

// Receives each block that the decoding writes into the image, right after its chunks. The
// source's Position then lies just past the block's end (by the waves read ahead).
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  virtual void Block(const ByteBufferType& block, const BlockHeaderRecord& header) = 0;
};

// A sink that keeps nothing.
class NoBlockSink final : public BlockSink {
 public:
  void Block(const ByteBufferType&, const BlockHeaderRecord&) override {}
};

struct DecodingContext {
  DecodingContext(MainProgram_ns::RunSettingsRecord& settings, SoundInput_ns::SoundBase& source,
                  UEFFormat_ns::UEFFormatWriting& image, BlockSink& sink)
      : Settings(settings), Source(source), Image(image), Sink(sink), Waves(source, settings) {}
  DecodingContext(const DecodingContext&) = delete;
  DecodingContext& operator=(const DecodingContext&) = delete;

  MainProgram_ns::RunSettingsRecord& Settings;
  SoundInput_ns::SoundBase& Source;
  UEFFormat_ns::UEFFormatWriting& Image;
  BlockSink& Sink;

  WavesInput_ns::WavesInputState Waves;
  WaveClassifier Classes;
  PilotToneState PilotTone;
  BlockDriverState Driver;
  BlockFormStateType Form;
};

// Every part of the decoding back to its state before the first wave: the waves window and
// T, the carrier search, the block driver and the file number. The settings, the source and
// the image are the caller's.
void ResetDecoding(DecodingContext& context);

// Starts a pass over the context's source, which must be open: resets the decoding, binds the
// measurement to the source and measures the first 22 waves, opens the image (emptied first)
// under imageName with an origin chunk for each of origins, and sets T for the first file.
// DecodeBlocks then decodes the pass.
void OpenDecodingPass(DecodingContext& context, const std::string& imageName,
                      const std::vector<std::string>& origins);

}  // namespace BlockProcessing_ns
