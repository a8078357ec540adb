#include "blocks/Block_driver.h"

#include <algorithm>

#include "blocks/Decoding_context.h"
#include "driver/Stream_splitter.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace BlockProcessing_ns {

namespace {

using UEFFormat_ns::UEFFormatWriting;

// The tones are written at fixed, standard lengths (carrier cycles), not as measured.
constexpr uint16_t kFirstLeadBeforeDummy = 2400;
constexpr uint16_t kFirstLeadAfterDummy = 9600;
constexpr uint16_t kLeadTone = 2400;
constexpr uint16_t kTrailerTone = 12000;
// 10.0 as an IEEE-754 single, little-endian (0x41200000).
constexpr uint8_t kTenSecondGap[4] = {0x00, 0x00, 0x20, 0x41};

void WriteChunk16(UEFFormatWriting& image, uint16_t id, uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  image.WriteChunk(id, sizeof bytes, bytes);
}

// Writes a block that passed its checks, with the chunks around it, and hands it to the sink:
// a block read whole before its trailer, a rejoined one after it.
void WriteBlock(DecodingContext& context, const ByteBufferType& buffer,
                const BlockHeaderRecord& header, bool rejoined) {
  WriteLeadTone(context.Image, context.Driver.FirstBlockPending);
  context.Image.WriteChunk(UEFFormat_ns::kImplicitDataChunk, buffer.Fill, buffer.Bytes.data());
  if (!rejoined) {
    context.Sink.Block(buffer, header);
  }
  if (header.LastBlock()) {
    WriteFileTrailer(context.Image);
  }
  if (rejoined) {
    context.Sink.Block(buffer, header);
  }
  if (header.LastBlock()) {
    ++context.Form.FileNumber;
  }
}

}  // namespace

void ResetBlockDriver(BlockDriverState& driver) {
  driver.BlockBuffer.Fill = ByteBufferType::kCapacity;
  driver.BlockBuffer.Empty();
  driver.JoinBuffer.Fill = ByteBufferType::kCapacity;
  driver.JoinBuffer.Empty();
  driver.FirstBlockPending = true;
}

void WriteLeadTone(UEFFormatWriting& image, bool& firstBlockPending) {
  if (firstBlockPending) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(kFirstLeadBeforeDummy),
                              static_cast<uint8_t>(kFirstLeadBeforeDummy >> 8),
                              static_cast<uint8_t>(kFirstLeadAfterDummy),
                              static_cast<uint8_t>(kFirstLeadAfterDummy >> 8)};
    image.WriteChunk(UEFFormat_ns::kCarrierWithDummyByteChunk, sizeof bytes, bytes);
    firstBlockPending = false;
  } else {
    WriteChunk16(image, UEFFormat_ns::kCarrierToneChunk, kLeadTone);
  }
}

void WriteFileTrailer(UEFFormatWriting& image) {
  WriteChunk16(image, UEFFormat_ns::kCarrierToneChunk, kTrailerTone);
  image.WriteChunk(UEFFormat_ns::kFloatGapChunk, sizeof kTenSecondGap, kTenSecondGap);
}

void DecodeBlocks(DecodingContext& context) {
  ByteBufferType& block = context.Driver.BlockBuffer;
  ByteBufferType& join = context.Driver.JoinBuffer;
  do {
    ReadNextBlock(context);
    StreamSplitter_ns::CheckInterrupted();
    if (block.Fill > 0) {
      const BlockHeaderRecord header = ParseBlockHeader(block);
      if (!header.Failed()) {
        WriteBlock(context, block, header, false);
      } else {
        // Hold the failed bytes: joined with those of the next failed block they may make
        // the whole block that a drop-out cut in two. What does not fit is dropped.
        const uint32_t room = ByteBufferType::kCapacity - join.Fill;
        const uint32_t taken = std::min(block.Fill, room);
        std::copy_n(block.Bytes.begin(), taken, join.Bytes.begin() + join.Fill);
        join.Fill += taken;
        const BlockHeaderRecord joined = ParseBlockHeader(join);
        if (!joined.Failed()) {
          WriteBlock(context, join, joined, true);
          join.Empty();
        }
      }
    }
    block.Empty();
  } while (WavesInput_ns::WavesLeft(context.Waves) != 0);
}

}  // namespace BlockProcessing_ns
