// The carrier search state machine, driven by hand-made wave sequences.
#include <gtest/gtest.h>

#include "blocks/Block_driver.h"
#include "blocks/Processing.h"
#include "support/Decoding.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace {

using TapeBuilder_ns::TapeWriter;
using TestSupport::PulseSource;

class CarrierSearch : public ::testing::Test {
 protected:
  void Load(const TapeWriter& writer) {
    source_ = std::make_unique<PulseSource>(TestSupport::PulsesOf(writer.Result()),
                                            TestSupport::kPulseTestRate);
    context_ = &TestSupport::PrepareDecoding(*source_, MainProgram_ns::MeasureMethod::kCswPulses);
  }

  // The bytes of the next block, or nothing once the sound has run out.
  std::vector<uint8_t> NextBlock() {
    BlockProcessing_ns::ReadNextBlock(*context_);
    auto& block = context_->Driver.BlockBuffer;
    std::vector<uint8_t> bytes(block.Bytes.begin(), block.Bytes.begin() + block.Fill);
    block.Empty();
    return bytes;
  }

  std::unique_ptr<PulseSource> source_;
  BlockProcessing_ns::DecodingContext* context_ = nullptr;
};

const std::vector<uint8_t> kBytes = {0x2A, 0x41, 0x42, 0x00, 0x13, 0x37};

TEST_F(CarrierSearch, SevenShortWavesMakeACarrierAndSixDoNot) {
  Load(TapeWriter().Cycles(1200, 3).Cycles(2400, 6).Bytes(kBytes).Carrier(30).Gap(0.1));
  EXPECT_TRUE(NextBlock().empty());
  EXPECT_EQ(WavesInput_ns::WavesLeft(context_->Waves), 0u);

  Load(TapeWriter().Cycles(1200, 3).Cycles(2400, 7).Bytes(kBytes).Carrier(30).Gap(0.1));
  EXPECT_EQ(NextBlock(), kBytes);
}

TEST_F(CarrierSearch, DummyByteInsideTheCarrierIsSkippedAndHeldBytesAreKept) {
  Load(TapeWriter().Carrier(50).DummyByte().Carrier(50).Bytes(kBytes).Carrier(30).Gap(0.1));
  context_->Driver.JoinBuffer.Fill = 5;
  EXPECT_EQ(NextBlock(), kBytes);
  EXPECT_EQ(context_->Driver.JoinBuffer.Fill, 5u);
}

TEST_F(CarrierSearch, LoneByteOtherThanTheDummyIsDroppedWithTheHeldBytes) {
  Load(TapeWriter().Carrier(50).Byte(0x55).Carrier(50).Bytes(kBytes).Carrier(30).Gap(0.1));
  context_->Driver.JoinBuffer.Fill = 5;
  EXPECT_EQ(NextBlock(), kBytes);
  EXPECT_EQ(context_->Driver.JoinBuffer.Fill, 0u);
}

TEST_F(CarrierSearch, CarrierRightAfterABlockIsCountedWithoutANewSearch) {
  const std::vector<uint8_t> second = {0x2A, 0x7F, 0x01};
  Load(TapeWriter().Carrier(40).Bytes(kBytes).Carrier(40).Bytes(second).Carrier(30).Gap(0.1));
  EXPECT_EQ(NextBlock(), kBytes);
  EXPECT_TRUE(context_->PilotTone.PilotRunning);
  EXPECT_EQ(context_->PilotTone.PilotWaveCount, 2);
  EXPECT_EQ(NextBlock(), second);
  EXPECT_TRUE(NextBlock().empty());
}

TEST_F(CarrierSearch, StrayWavesBetweenBlocksAreSkipped) {
  Load(TapeWriter()
           .Carrier(40)
           .Bytes(kBytes)
           .Carrier(20)
           .Gap(0.05)
           .Cycles(700, 3)
           .Cycles(1200, 2)
           .Cycles(3500, 4)
           .Carrier(40)
           .Bytes(kBytes)
           .Carrier(30)
           .Gap(0.1));
  EXPECT_EQ(NextBlock(), kBytes);
  EXPECT_EQ(NextBlock(), kBytes);
  EXPECT_TRUE(NextBlock().empty());
}

TEST_F(CarrierSearch, SoundEndingInsideACarrierEndsTheSearchCleanly) {
  Load(TapeWriter().Carrier(200));
  EXPECT_TRUE(NextBlock().empty());
  EXPECT_EQ(WavesInput_ns::WavesLeft(context_->Waves), 0u);
}

TEST_F(CarrierSearch, SoundEndingWhileLookingForCarrierAfterAFailedFirstByte) {
  // A long wave after the carrier starts a byte that cannot be read; only long waves follow
  // until the sound ends. The search must stop there, not run past the window.
  Load(TapeWriter().Carrier(40).Cycles(1200, 1).Cycles(2400, 1).Cycles(1200, 60));
  EXPECT_NO_THROW({ EXPECT_TRUE(NextBlock().empty()); });
  EXPECT_EQ(WavesInput_ns::WavesLeft(context_->Waves), 0u);
}

TEST_F(CarrierSearch, SoundEndingInACarrierWithADummyByteMarksTheBaseFrequency) {
  Load(TapeWriter().Carrier(40).DummyByte().Carrier(40).Cycles(1200, 1));
  const size_t before = context_->Image.ImageBytes().size();
  EXPECT_TRUE(NextBlock().empty());
  const std::string image = context_->Image.ImageBytes();
  ASSERT_EQ(image.size(), before + 10);
  EXPECT_EQ(image.substr(before), std::string("\x13\x01\x04\x00\x00\x00\x00\x00\x00\x00", 10));
}

}  // namespace
