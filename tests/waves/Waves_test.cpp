// The waves window and the three ways of measuring a wave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "support/Decoding.h"
#include "support/Temp_folder.h"
#include "waves/Wave_measurement.h"
#include "waves/Wavesinputstate.h"

namespace {

using MainProgram_ns::MeasureMethod;
using TestSupport::PulseSource;
using TestSupport::SampleSource;
using WavesInput_ns::DelaysElementType;

// Ten samples at +20 then ten at -20, repeated: a clean square wave.
std::vector<int8_t> Square(int cycles, int high = 20, int low = -20) {
  std::vector<int8_t> samples;
  for (int c = 0; c < cycles; ++c) {
    samples.insert(samples.end(), 10, static_cast<int8_t>(high));
    samples.insert(samples.end(), 10, static_cast<int8_t>(low));
  }
  return samples;
}

std::vector<DelaysElementType> MeasureAll(SampleSource& source, WavesInput_ns::MeasureFunction f,
                                          bool normalPhase) {
  MainProgram_ns::RunSettingsRecord settings;
  settings.NormalPhase = normalPhase;
  WavesInput_ns::WavesInputState input(source, settings);
  std::vector<DelaysElementType> waves;
  for (;;) {
    DelaysElementType wave;
    f(input, wave);
    if (wave.FirstHalf == 0 && wave.SecondHalf == 0) {
      return waves;
    }
    waves.push_back(wave);
  }
}

TEST(WaveMeasurement, SignMethodCutsAtRisingZeroCrossings) {
  SampleSource source(Square(4), 44100);
  const auto waves = MeasureAll(source, WavesInput_ns::MeasureSign, true);
  ASSERT_GE(waves.size(), 3u);
  // The first half ends with the first negative sample, the second with the first positive.
  EXPECT_EQ(waves[0].FirstHalf, 11u);
  EXPECT_EQ(waves[0].SecondHalf, 10u);
  EXPECT_EQ(waves[1].FirstHalf, 10u);
  EXPECT_EQ(waves[1].SecondHalf, 10u);
  EXPECT_EQ(waves[2].FirstHalf, 10u);
}

TEST(WaveMeasurement, SignMethodWithShiftedPhaseStartsWithTheNegativeHalf) {
  SampleSource source(Square(4), 44100);
  const auto waves = MeasureAll(source, WavesInput_ns::MeasureSign, false);
  ASSERT_GE(waves.size(), 2u);
  EXPECT_EQ(waves[0].FirstHalf, 1u);
  EXPECT_EQ(waves[0].SecondHalf, 10u);
  EXPECT_EQ(waves[1].FirstHalf, 10u);
  EXPECT_EQ(waves[1].SecondHalf, 10u);
}

TEST(WaveMeasurement, WeakCycleIsMergedIntoTheNext) {
  // A strong cycle, a cycle that stays within -8..7, then strong cycles.
  std::vector<int8_t> samples = Square(1);
  const auto weak = Square(1, 7, -8);
  samples.insert(samples.end(), weak.begin(), weak.end());
  const auto strong = Square(3);
  samples.insert(samples.end(), strong.begin(), strong.end());
  SampleSource source(samples, 44100);
  const auto waves = MeasureAll(source, WavesInput_ns::MeasureSign, true);
  ASSERT_GE(waves.size(), 3u);
  EXPECT_EQ(waves[0].Length(), 21u);
  // The weak cycle and the one after it make one wave of about twice the length.
  EXPECT_EQ(waves[1].Length(), 40u);
  EXPECT_EQ(waves[2].Length(), 20u);
}

TEST(WaveMeasurement, ThresholdsOfTheSignMethodAreInclusive) {
  // A cycle reaching exactly 8 is strong; one reaching exactly -9 is strong too.
  SampleSource positive(Square(3, 8, -1), 44100);
  EXPECT_EQ(MeasureAll(positive, WavesInput_ns::MeasureSign, true)[1].Length(), 20u);
  SampleSource negative(Square(3, 1, -9), 44100);
  EXPECT_EQ(MeasureAll(negative, WavesInput_ns::MeasureSign, true)[1].Length(), 20u);
  SampleSource neither(Square(3, 7, -8), 44100);
  // Nothing is ever strong: everything ends up in one partial wave.
  const auto waves = MeasureAll(neither, WavesInput_ns::MeasureSign, true);
  ASSERT_EQ(waves.size(), 1u);
  EXPECT_EQ(waves[0].Length(), 60u);
}

TEST(WaveMeasurement, SilenceIsOneFirstHalfUntilTheSoundEnds) {
  SampleSource source(std::vector<int8_t>(500, 0), 44100);
  const auto waves = MeasureAll(source, WavesInput_ns::MeasureSign, true);
  ASSERT_EQ(waves.size(), 1u);
  EXPECT_EQ(waves[0].FirstHalf, 500u);
  EXPECT_EQ(waves[0].SecondHalf, 0u);
}

TEST(WaveMeasurement, EmptySourceGivesNoWave) {
  SampleSource source({}, 44100);
  EXPECT_TRUE(MeasureAll(source, WavesInput_ns::MeasureSign, true).empty());
  SampleSource peak({}, 44100);
  EXPECT_TRUE(MeasureAll(peak, WavesInput_ns::MeasurePeak, true).empty());
}

TEST(WaveMeasurement, PeakMethodRunsFromPeakToPeakAndKeepsLevelStretches) {
  // A triangle from 40 down to -40 and back, with a level stretch at the bottom.
  std::vector<int8_t> cycle;
  for (int v = 40; v > -40; v -= 10)
    cycle.push_back(static_cast<int8_t>(v));  // 8 falling
  cycle.push_back(-40);
  cycle.push_back(-40);  // level: stays in the falling half
  for (int v = -30; v < 40; v += 10)
    cycle.push_back(static_cast<int8_t>(v));  // 7 rising
  std::vector<int8_t> samples;
  for (int i = 0; i < 4; ++i)
    samples.insert(samples.end(), cycle.begin(), cycle.end());
  SampleSource source(samples, 44100);
  const auto waves = MeasureAll(source, WavesInput_ns::MeasurePeak, true);
  ASSERT_GE(waves.size(), 3u);
  // Falling: 40..-30 and both -40 samples, then the first rising sample breaks the run.
  EXPECT_EQ(waves[0].FirstHalf, 11u);
  // Rising from -20 up to 30, then the drop back to 40 -> ... breaks it.
  EXPECT_EQ(waves[1].Length(), static_cast<uint64_t>(cycle.size()));
}

TEST(WaveMeasurement, CswPulsesPairUpAndALonePulseEndsTheLastWave) {
  PulseSource source({10, 12, 9}, 44100);
  MainProgram_ns::RunSettingsRecord settings;
  WavesInput_ns::WavesInputState input(source, settings);
  DelaysElementType first;
  WavesInput_ns::MeasureCswPulses(input, first);
  DelaysElementType second;
  WavesInput_ns::MeasureCswPulses(input, second);
  DelaysElementType third;
  WavesInput_ns::MeasureCswPulses(input, third);
  EXPECT_EQ(first.FirstHalf, 10u);
  EXPECT_EQ(first.SecondHalf, 12u);
  EXPECT_EQ(second.FirstHalf, 9u);
  EXPECT_EQ(second.SecondHalf, 0u);
  EXPECT_EQ(third.Length(), 0u);
}

// The waves input and the settings of the latest test decoding.
WavesInput_ns::WavesInputState& Waves() {
  return TestSupport::CurrentDecoding().Context().Waves;
}
MainProgram_ns::RunSettingsRecord& Settings() {
  return TestSupport::CurrentDecoding().settings;
}

std::vector<uint32_t> Pulses(size_t count) {
  std::vector<uint32_t> pulses;
  for (size_t i = 0; i < count; ++i)
    pulses.push_back(static_cast<uint32_t>(i + 1));
  return pulses;
}

TEST(WavesWindow, FillsTo22AndStaysFullWhileTheSourceLasts) {
  PulseSource source(Pulses(200), 44100);
  TestSupport::PrepareDecoding(source, MeasureMethod::kCswPulses);
  ASSERT_EQ(WavesInput_ns::WavesLeft(Waves()), 22u);
  EXPECT_EQ(WavesInput_ns::WaveAt(Waves(), 0).FirstHalf, 1u);
  WavesInput_ns::AdvanceWaves(Waves(), 3);
  EXPECT_EQ(WavesInput_ns::WavesLeft(Waves()), 22u);
  // The old fourth wave is now the current one.
  EXPECT_EQ(WavesInput_ns::WaveAt(Waves(), 0).FirstHalf, 7u);
  EXPECT_EQ(WavesInput_ns::WaveAt(Waves(), 21).FirstHalf, 49u);
}

TEST(WavesWindow, ShrinksOnceTheSourceHasEnded) {
  PulseSource source(Pulses(44), 44100);  // exactly 22 waves
  TestSupport::PrepareDecoding(source, MeasureMethod::kCswPulses);
  ASSERT_EQ(WavesInput_ns::WavesLeft(Waves()), 22u);
  WavesInput_ns::AdvanceWaves(Waves(), 3);
  EXPECT_EQ(WavesInput_ns::WavesLeft(Waves()), 19u);
  WavesInput_ns::DropCurrentWave(Waves());
  EXPECT_EQ(WavesInput_ns::WavesLeft(Waves()), 18u);
}

TEST(WavesWindow, ShortAndEmptySources) {
  PulseSource few(Pulses(9), 44100);
  TestSupport::PrepareDecoding(few, MeasureMethod::kCswPulses);
  EXPECT_EQ(WavesInput_ns::WavesLeft(Waves()), 5u);
  // The lone last pulse makes a wave of its own.
  EXPECT_EQ(WavesInput_ns::WaveAt(Waves(), 4).FirstHalf, 9u);
  EXPECT_EQ(WavesInput_ns::WaveAt(Waves(), 4).SecondHalf, 0u);
  PulseSource none({}, 44100);
  TestSupport::PrepareDecoding(none, MeasureMethod::kCswPulses);
  EXPECT_EQ(WavesInput_ns::WavesLeft(Waves()), 0u);
}

TEST(WavesWindow, CheckWaveRaisesTheUnderrunErrorPastTheWindow) {
  PulseSource source(Pulses(200), 44100);
  TestSupport::PrepareDecoding(source, MeasureMethod::kCswPulses);
  EXPECT_NO_THROW(WavesInput_ns::CheckWave(Waves(), 21));
  try {
    WavesInput_ns::CheckWave(Waves(), 22);
    FAIL() << "no underrun error";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(),
                 "Buffer underrun error.  Report this problem to the program's author with the\n"
                 "command line used, the input file and LOG file.");
  }
}

TEST(WavelengthCalibration, AppliesFromTheCalibratedFileOnAndOnlyOnce) {
  PulseSource source(Pulses(200), 44100);
  TestSupport::PrepareDecoding(source, MeasureMethod::kCswPulses);
  EXPECT_DOUBLE_EQ(WavesInput_ns::ReferenceWaveLength(Waves()), 36.75);

  Settings().Calibrations[2] = MainProgram_ns::BaudRateAndFlag{false, 1150};
  WavesInput_ns::CalibrationStep(Waves(), 1, 0);  // still file 1
  EXPECT_DOUBLE_EQ(WavesInput_ns::ReferenceWaveLength(Waves()), 36.75);
  WavesInput_ns::CalibrationStep(Waves(), 2, 5);  // file 2, but in the middle of something
  EXPECT_DOUBLE_EQ(WavesInput_ns::ReferenceWaveLength(Waves()), 36.75);
  WavesInput_ns::CalibrationStep(Waves(), 2, 0);
  EXPECT_DOUBLE_EQ(WavesInput_ns::ReferenceWaveLength(Waves()), 44100.0 / 1150);
  EXPECT_TRUE(Settings().Calibrations[2].Applied);
  // Later files keep it.
  WavesInput_ns::CalibrationStep(Waves(), 3, 0);
  EXPECT_DOUBLE_EQ(WavesInput_ns::ReferenceWaveLength(Waves()), 44100.0 / 1150);
}

TEST(WavelengthCalibration, FirstFileCalibrationIsAppliedAtTheStart) {
  PulseSource source(Pulses(200), 44100);
  TestSupport::PrepareDecoding(source, MeasureMethod::kCswPulses);
  Settings().Calibrations[1] = MainProgram_ns::BaudRateAndFlag{false, 1300};
  WavesInput_ns::ApplyWavelengthCalibration(Waves(), 1);
  EXPECT_DOUBLE_EQ(WavesInput_ns::ReferenceWaveLength(Waves()), 44100.0 / 1300);
  EXPECT_TRUE(Settings().Calibrations[1].Applied);
}

}  // namespace

namespace {

// The measurement reads RAW and WAV files straight from their buffers; it must give exactly
// the waves that the sample-by-sample path gives, on noisy signals, in both phases, across
// buffer refills and at the end of the file.
TEST(WaveMeasurement, FileBufferPathMeasuresAsTheSamplePathDoes) {
  TestSupport::TempFolder folder;
  std::vector<int8_t> samples;
  uint32_t state = 99;
  for (int i = 0; i < 300000; ++i) {
    state = state * 1664525u + 1013904223u;
    const double tone = 60 * std::sin(i * 2 * 3.14159265 / (i % 50000 < 25000 ? 36.75 : 18.4));
    const int noise = static_cast<int>(state >> 27) - 16;
    samples.push_back(static_cast<int8_t>(std::max(-128.0, std::min(127.0, tone + noise))));
  }
  TapeBuilder_ns::WriteRaw(folder / "noisy.raw", samples, true);
  for (const MeasureMethod method : {MeasureMethod::kSign, MeasureMethod::kPeak})
    for (const bool normalPhase : {true, false}) {
      for (const bool signedData : {true, false}) {
        SCOPED_TRACE(std::string(method == MeasureMethod::kSign ? "sign" : "peak") +
                     (normalPhase ? " normal" : " shifted") +
                     (signedData ? " signed" : " unsigned"));
        std::vector<DelaysElementType> viaSamples;
        std::vector<DelaysElementType> viaBuffer;
        for (auto* waves : {&viaSamples, &viaBuffer}) {
          auto& raw = SoundInput_ns::TheRAWSound;
          raw.Close();
          raw.SetSignedSamples(signedData);
          if (!signedData) {
            // The same signal stored unsigned.
            std::vector<int8_t> stored;
            for (const int8_t s : samples)
              stored.push_back(static_cast<int8_t>(s ^ 0x80));
            TapeBuilder_ns::WriteRaw(folder / "noisy.raw", stored, true);
          }
          raw.Open(folder / "noisy.raw");
          MainProgram_ns::RunSettingsRecord settings;
          settings.NormalPhase = normalPhase;
          WavesInput_ns::WavesInputState input(raw, settings);
          const auto measure = waves == &viaBuffer ? WavesInput_ns::SelectMeasurement(method, raw)
                               : method == MeasureMethod::kSign ? WavesInput_ns::MeasureSign
                                                                : WavesInput_ns::MeasurePeak;
          for (;;) {
            DelaysElementType wave;
            measure(input, wave);
            if (wave.Length() == 0)
              break;
            waves->push_back(wave);
          }
          EXPECT_EQ(raw.Position, samples.size());
          raw.Close();
          raw.SetSignedSamples(true);
          TapeBuilder_ns::WriteRaw(folder / "noisy.raw", samples, true);
        }
        ASSERT_EQ(viaSamples.size(), viaBuffer.size());
        EXPECT_GT(viaSamples.size(), 5000u);
        for (size_t i = 0; i < viaSamples.size(); ++i) {
          ASSERT_EQ(viaSamples[i].FirstHalf, viaBuffer[i].FirstHalf) << "wave " << i;
          ASSERT_EQ(viaSamples[i].SecondHalf, viaBuffer[i].SecondHalf) << "wave " << i;
        }
      }
    }
}

// Many waves a call: the window gets exactly the waves, and the source exactly the Position,
// that one wave at a time gives, for every method, both phases and stretches of every length,
// up to and past the end of the sound.
TEST(WaveMeasurement, AppendingManyWavesAtOnceMeasuresAsOneAtATime) {
  TestSupport::TempFolder folder;
  std::vector<int8_t> samples;
  std::vector<uint32_t> pulses;
  uint32_t state = 7;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1664525u + 1013904223u;
    const double tone = 50 * std::sin(i * 2 * 3.14159265 / (i % 40000 < 20000 ? 36.75 : 18.4));
    const int noise = static_cast<int>(state >> 27) - 16;
    samples.push_back(static_cast<int8_t>(std::max(-128.0, std::min(127.0, tone + noise))));
    if (i % 4 == 0)
      pulses.push_back(state % 97 == 0 ? 300 + state % 5000 : 1 + (state >> 9) % 255);
  }
  pulses.push_back(5);  // an odd number: the last wave is a lone pulse
  TapeBuilder_ns::WriteRaw(folder / "tape.raw", samples, true);
  const std::string csw = folder / "tape.csw";
  TapeBuilder_ns::WriteCsw(csw, pulses, 44100, TapeBuilder_ns::CswCompression::ZRle, true);

  struct Case {
    MeasureMethod method;
    SoundInput_ns::SoundBase* source;
    std::string name;
  };
  for (const Case& c : {Case{MeasureMethod::kSign, &SoundInput_ns::TheRAWSound, "tape.raw"},
                        Case{MeasureMethod::kPeak, &SoundInput_ns::TheRAWSound, "tape.raw"},
                        Case{MeasureMethod::kCswPulses, &SoundInput_ns::TheCSWSound, "tape.csw"}}) {
    for (const bool normalPhase : {true, false}) {
      SCOPED_TRACE(c.name + " method " + std::to_string(static_cast<int>(c.method)) +
                   (normalPhase ? " normal" : " shifted"));
      std::vector<DelaysElementType> single;
      std::vector<DelaysElementType> many;
      std::vector<uint32_t> singlePositions;
      std::vector<uint32_t> manyPositions;
      for (const bool batched : {false, true}) {
        c.source->Close();
        c.source->Open(folder / c.name);
        MainProgram_ns::RunSettingsRecord settings;
        settings.NormalPhase = normalPhase;
        WavesInput_ns::WavesInputState input(*c.source, settings);
        const auto measure = WavesInput_ns::SelectMeasurement(c.method, *c.source);
        const auto append = WavesInput_ns::SelectAppending(c.method, *c.source);
        auto& out = batched ? many : single;
        auto& positions = batched ? manyPositions : singlePositions;
        WavesInput_ns::WavesBufferType& window = input.Window;
        uint8_t stretch = 1;
        // Past the end: every stretch then comes back empty.
        for (int empty = 0; empty < 3;) {
          const size_t before = window.Size();
          if (batched) {
            append(input, stretch);
          } else {
            for (uint8_t i = 0; i < stretch; ++i) {
              window.PushBack();
              measure(input, window.Back());
              if (window.Back().Length() == 0)
                window.PopBack();
            }
          }
          empty += window.Size() == before ? 1 : 0;
          while (!window.Empty()) {
            out.push_back(window[0]);
            window.PopFront();
          }
          positions.push_back(c.source->Position);
          stretch = static_cast<uint8_t>(stretch % 22 + 1);
        }
        EXPECT_TRUE(c.source->AtEnd());
        c.source->Close();
      }
      EXPECT_GT(single.size(), 5000u);
      ASSERT_EQ(single.size(), many.size());
      for (size_t i = 0; i < single.size(); ++i) {
        ASSERT_EQ(single[i].FirstHalf, many[i].FirstHalf) << "wave " << i;
        ASSERT_EQ(single[i].SecondHalf, many[i].SecondHalf) << "wave " << i;
      }
      EXPECT_TRUE(singlePositions == manyPositions);
    }
  }
}

}  // namespace
