// Classifying waves against the reference length, and framing bits into bytes.
#include <gtest/gtest.h>

#include <cmath>

#include "blocks/Bits_and_bytes.h"
#include "support/Decoding.h"

namespace {

using BlockProcessing_ns::ClassifyPulse;
using BlockProcessing_ns::ClassifyWave;
using BlockProcessing_ns::PulseClass;
using BlockProcessing_ns::WaveClass;
using MainProgram_ns::MeasureMethod;
using TestSupport::PulseSource;

WavesInput_ns::DelaysElementType Wave(uint32_t first, uint32_t second) {
  return WavesInput_ns::DelaysElementType{first, second};
}

TEST(WaveClasses, BoundsAreInclusiveFractionsOfTheReferenceLength) {
  // T = 35: long waves lie within T/3.5 = 10 samples of 35, short ones within a third of 17.5.
  const double t = 35;
  EXPECT_EQ(ClassifyWave(Wave(20, 25), t), WaveClass::kLong);
  EXPECT_EQ(ClassifyWave(Wave(20, 26), t), WaveClass::kOther);
  EXPECT_EQ(ClassifyWave(Wave(12, 13), t), WaveClass::kLong);
  EXPECT_EQ(ClassifyWave(Wave(12, 12), t), WaveClass::kOther);
  EXPECT_EQ(ClassifyWave(Wave(11, 12), t), WaveClass::kShort);
  EXPECT_EQ(ClassifyWave(Wave(6, 6), t), WaveClass::kShort);
  EXPECT_EQ(ClassifyWave(Wave(5, 6), t), WaveClass::kOther);
  // A length that a 32-bit sum would wrap round to a short one is still far too long.
  EXPECT_EQ(ClassifyWave(Wave(0xFFFFFFFFu, 18), t), WaveClass::kOther);
}

TEST(WaveClasses, AgreeWithTheToleranceFormulaForManyReferenceLengths) {
  // The classes are decided on whole lengths; they must agree with the tolerance test made
  // in floating point for every length, including the awkward reference lengths of real rates.
  std::vector<double> lengths = {44100.0 / 1200,
                                 48000.0 / 1200,
                                 22050.0 / 1200,
                                 96000.0 / 1200,
                                 44100.0 / 1150,
                                 44100.0 / 900,
                                 35,
                                 10};
  for (int i = 0; i < 200; ++i)
    lengths.push_back(3.0 + i * 0.731);
  for (const double t : lengths) {
    for (uint32_t length = 0; length < 4 * t + 4; ++length) {
      const double l = length;
      const WaveClass expected = std::fabs(l - t) <= t / 3.5             ? WaveClass::kLong
                                 : std::fabs(l - t / 2) <= (t / 2) / 3.0 ? WaveClass::kShort
                                                                         : WaveClass::kOther;
      EXPECT_EQ(ClassifyWave(Wave(length, 0), t), expected) << "T " << t << " length " << length;
      const PulseClass pulse = std::fabs(l - t / 2) <= (t / 2) / 3.5   ? PulseClass::kLongPulse
                               : std::fabs(l - t / 4) <= (t / 4) / 3.0 ? PulseClass::kShortPulse
                                                                       : PulseClass::kOtherPulse;
      EXPECT_EQ(ClassifyPulse(length, t), pulse) << "T " << t << " pulse " << length;
    }
  }
}

TEST(WaveClasses, PulseBounds) {
  const double t = 35;  // long pulse 17.5 +- 5, short pulse 8.75 +- 2.92
  EXPECT_EQ(ClassifyPulse(22, t), PulseClass::kLongPulse);
  EXPECT_EQ(ClassifyPulse(23, t), PulseClass::kOtherPulse);
  EXPECT_EQ(ClassifyPulse(13, t), PulseClass::kLongPulse);
  EXPECT_EQ(ClassifyPulse(11, t), PulseClass::kShortPulse);
  EXPECT_EQ(ClassifyPulse(6, t), PulseClass::kShortPulse);
  EXPECT_EQ(ClassifyPulse(5, t), PulseClass::kOtherPulse);
}

// Waves at 12000 Hz, where T is 10: long (5, 5), short (3, 2), other (20, 20).
constexpr uint32_t kLong[2] = {5, 5};
constexpr uint32_t kShort[2] = {3, 2};
constexpr uint32_t kOther[2] = {20, 20};

class WaveList {
 public:
  WaveList& Add(const uint32_t (&wave)[2], int count = 1) {
    for (int i = 0; i < count; ++i) {
      pulses_.push_back(wave[0]);
      pulses_.push_back(wave[1]);
    }
    return *this;
  }
  // 8N1: start bit 0, data bits least significant first, stop bit 1.
  WaveList& Byte(uint8_t value) {
    Add(kLong);
    for (int bit = 0; bit < 8; ++bit) {
      if ((value >> bit) & 1) {
        Add(kShort, 2);
      } else {
        Add(kLong);
      }
    }
    return Add(kShort, 2);
  }
  std::vector<uint32_t> Pulses() const { return pulses_; }

 private:
  std::vector<uint32_t> pulses_;
};

class BytesTest : public ::testing::Test {
 protected:
  void Load(const WaveList& waves) {
    source_ = std::make_unique<PulseSource>(waves.Pulses(), TestSupport::kPulseTestRate);
    context_ = &TestSupport::PrepareDecoding(*source_, MeasureMethod::kCswPulses);
  }
  std::unique_ptr<PulseSource> source_;
  BlockProcessing_ns::DecodingContext* context_ = nullptr;
};

TEST_F(BytesTest, ShortThenLongIsAnUnreadableBitOfTwoWaves) {
  Load(WaveList().Add(kShort).Add(kLong).Add(kLong, 30));
  uint8_t offset = 0;
  bool unreadable = false;
  EXPECT_EQ(BlockProcessing_ns::ReadBit(*context_, offset, unreadable),
            BlockProcessing_ns::kUnreadableBit);
  EXPECT_TRUE(unreadable);
  EXPECT_EQ(offset, 2);
  // The flag is never cleared by a good bit.
  EXPECT_EQ(BlockProcessing_ns::ReadBit(*context_, offset, unreadable), 0);
  EXPECT_TRUE(unreadable);
  EXPECT_EQ(offset, 3);
}

TEST_F(BytesTest, ZeroAndFFTakeElevenAndNineteenWaves) {
  Load(WaveList().Byte(0x00).Byte(0xFF).Byte(0x5A).Add(kShort, 40));
  auto byte = BlockProcessing_ns::ReadStandardByte(*context_);
  ASSERT_FALSE(byte.Failed);
  EXPECT_EQ(byte.Byte, 0x00);
  EXPECT_EQ(byte.WavesUsed, 11);
  EXPECT_EQ(byte.BitsUsed, 10);
  WavesInput_ns::AdvanceWaves(context_->Waves, byte.WavesUsed);
  byte = BlockProcessing_ns::ReadStandardByte(*context_);
  ASSERT_FALSE(byte.Failed);
  EXPECT_EQ(byte.Byte, 0xFF);
  EXPECT_EQ(byte.WavesUsed, 19);
  WavesInput_ns::AdvanceWaves(context_->Waves, byte.WavesUsed);
  byte = BlockProcessing_ns::ReadStandardByte(*context_);
  ASSERT_FALSE(byte.Failed);
  EXPECT_EQ(byte.Byte, 0x5A);  // least significant bit first
  EXPECT_EQ(byte.WavesUsed, 15);
}

TEST_F(BytesTest, TwentyWavesAreNeededToTryAByte) {
  // 0x00 needs 11 waves, but fewer than 20 in the window means no attempt at all.
  Load(WaveList().Byte(0x00).Add(kShort, 8));
  ASSERT_EQ(WavesInput_ns::WavesLeft(context_->Waves), 19u);
  EXPECT_TRUE(BlockProcessing_ns::ReadStandardByte(*context_).Failed);
  Load(WaveList().Byte(0x00).Add(kShort, 9));
  ASSERT_EQ(WavesInput_ns::WavesLeft(context_->Waves), 20u);
  EXPECT_FALSE(BlockProcessing_ns::ReadStandardByte(*context_).Failed);
}

TEST_F(BytesTest, FramingErrorsFail) {
  // An unreadable start bit fails the byte even though the rest is perfect.
  WaveList badStart;
  badStart.Add(kOther);
  for (int bit = 0; bit < 8; ++bit)
    badStart.Add(kLong);
  badStart.Add(kShort, 2).Add(kShort, 20);
  Load(badStart);
  auto byte = BlockProcessing_ns::ReadStandardByte(*context_);
  EXPECT_TRUE(byte.Failed);
  EXPECT_TRUE(byte.Unreadable);

  // A carrier tone read as a byte fails: its start bit is 1.
  Load(WaveList().Add(kShort, 40));
  byte = BlockProcessing_ns::ReadStandardByte(*context_);
  EXPECT_TRUE(byte.Failed);
  EXPECT_FALSE(byte.Unreadable);

  // A stop bit of 0 fails too.
  WaveList badStop;
  for (int bit = 0; bit < 10; ++bit)
    badStop.Add(kLong);
  Load(badStop.Add(kShort, 20));
  EXPECT_TRUE(BlockProcessing_ns::ReadStandardByte(*context_).Failed);
}

}  // namespace
