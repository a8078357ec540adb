#include "blocks/Block_driver.h"

#include <algorithm>

#include "blocks/Blockformstate.h"
#include "blocks/Processing.h"
#include "driver/StreamSplitter.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace BlockProcessing_ns {

ByteBufferType BlockBuffer;
ByteBufferType JoinBuffer;
bool FirstBlockPending = true;

namespace {

using UEFFormat_ns::TheUEFImage;

BlockObserver Observer = nullptr;
void* ObserverContext = nullptr;

// The tones are written at fixed, standard lengths (carrier cycles), not as measured.
constexpr uint16_t kFirstLeadBeforeDummy = 2400;
constexpr uint16_t kFirstLeadAfterDummy = 9600;
constexpr uint16_t kLeadTone = 2400;
constexpr uint16_t kTrailerTone = 12000;
// 10.0 as an IEEE-754 single, little-endian (0x41200000).
constexpr uint8_t kTenSecondGap[4] = {0x00, 0x00, 0x20, 0x41};

void WriteChunk16(uint16_t id, uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  TheUEFImage.WriteChunk(id, sizeof bytes, bytes);
}

void WriteBlockChunk(const ByteBufferType& buffer) {
  TheUEFImage.WriteChunk(UEFFormat_ns::kImplicitDataChunk, buffer.Fill, buffer.Bytes.data());
}

}  // namespace

void ResetBlockDriver() {
  BlockBuffer.Fill = ByteBufferType::kCapacity;
  BlockBuffer.Empty();
  JoinBuffer.Fill = ByteBufferType::kCapacity;
  JoinBuffer.Empty();
  FirstBlockPending = true;
}

void ResetDecoding() {
  WavesInput_ns::ResetWavesInput();
  ResetPilotTone();
  ResetBlockDriver();
  ResetBlockFormState();
}

void SetBlockObserver(BlockObserver observer, void* context) {
  Observer = observer;
  ObserverContext = context;
}

void WriteLeadTone() {
  if (FirstBlockPending) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(kFirstLeadBeforeDummy),
                              static_cast<uint8_t>(kFirstLeadBeforeDummy >> 8),
                              static_cast<uint8_t>(kFirstLeadAfterDummy),
                              static_cast<uint8_t>(kFirstLeadAfterDummy >> 8)};
    TheUEFImage.WriteChunk(UEFFormat_ns::kCarrierWithDummyByteChunk, sizeof bytes, bytes);
    FirstBlockPending = false;
  } else {
    WriteChunk16(UEFFormat_ns::kCarrierToneChunk, kLeadTone);
  }
}

void WriteFileTrailer() {
  WriteChunk16(UEFFormat_ns::kCarrierToneChunk, kTrailerTone);
  TheUEFImage.WriteChunk(UEFFormat_ns::kFloatGapChunk, sizeof kTenSecondGap, kTenSecondGap);
}

void DecodeBlocks() {
  do {
    ReadNextBlock();
    StreamSplitter_ns::CheckInterrupted();
    if (BlockBuffer.Fill > 0) {
      if (!ChecksumFailed(BlockBuffer)) {
        WriteLeadTone();
        WriteBlockChunk(BlockBuffer);
        ReportBlock(BlockBuffer);
        if (LastBlockFlag(BlockBuffer)) {
          WriteFileTrailer();
        }
        if (Observer != nullptr) {
          Observer(BlockBuffer, ObserverContext);
        }
      } else {
        // Hold the failed bytes: joined with those of the next failed block they may make
        // the whole block that a drop-out cut in two. What does not fit is dropped.
        const uint32_t room = ByteBufferType::kCapacity - JoinBuffer.Fill;
        const uint32_t taken = std::min(BlockBuffer.Fill, room);
        std::copy_n(BlockBuffer.Bytes.begin(), taken, JoinBuffer.Bytes.begin() + JoinBuffer.Fill);
        JoinBuffer.Fill += taken;
        if (!ChecksumFailed(JoinBuffer)) {
          WriteLeadTone();
          WriteBlockChunk(JoinBuffer);
          if (LastBlockFlag(JoinBuffer)) {
            WriteFileTrailer();
          }
          ReportBlock(JoinBuffer);
          if (Observer != nullptr) {
            Observer(JoinBuffer, ObserverContext);
          }
          JoinBuffer.Empty();
        }
      }
    }
    BlockBuffer.Empty();
  } while (WavesInput_ns::WavesLeft() != 0);
}

}  // namespace BlockProcessing_ns
