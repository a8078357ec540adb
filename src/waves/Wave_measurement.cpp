#include "waves/Wave_measurement.h"

#include "driver/StreamSplitter.h"
#include "sound/Card_sound.h"
#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"

namespace WavesInput_ns {
namespace {

using MainProgram_ns::RunSettings;
using SoundInput_ns::CurrentSound;

// Strength thresholds: a half of a cycle is signal, not noise, when one of its samples
// reaches them. The sign method looks at the level on either side of zero, the peak method at
// the swing between turning points.
constexpr int kSignPositiveStrength = 8;
constexpr int kSignNegativeStrength = -9;
constexpr int kPeakRisingStrength = 14;
constexpr int kPeakFallingStrength = -15;

// Reads one sample into half. Returns false, without counting it, once the sound has ended.
template <class Source>
inline bool ReadSample(Source& source, uint32_t& half, bool cardInput, int& sample) {
  sample = source.NextSample();
  if (source.AtEnd()) {
    return false;
  }
  ++half;
  if (cardInput) {
    StreamSplitter_ns::CheckInterrupted();
  }
  return true;
}

template <class Source>
void MeasureSignFrom(DelaysElementType& wave) {
  Source& source = static_cast<Source&>(*CurrentSound);
  const bool normalPhase = RunSettings.NormalPhase;
  const bool cardInput = RunSettings.CardInput;
  // With the normal phase a wave runs from a rising zero crossing to the next, positive half
  // first; with -p from a falling crossing, negative half first.
  auto inFirstHalf = [normalPhase](int s) { return normalPhase ? s >= 0 : s < 0; };
  auto firstStrong = [normalPhase](int s) {
    return normalPhase ? s >= kSignPositiveStrength : s <= kSignNegativeStrength;
  };
  auto secondStrong = [normalPhase](int s) {
    return normalPhase ? s <= kSignNegativeStrength : s >= kSignPositiveStrength;
  };
  int s = 0;
  bool weak = true;
  do {
    // Each half ends with, and includes, the first sample on the far side of zero.
    do {
      if (!ReadSample(source, wave.FirstHalf, cardInput, s)) {
        return;
      }
      weak = weak && !firstStrong(s);
    } while (inFirstHalf(s));
    do {
      if (!ReadSample(source, wave.SecondHalf, cardInput, s)) {
        return;
      }
      weak = weak && !secondStrong(s);
    } while (!inFirstHalf(s));
    // A weak cycle is not a wave of its own: its counts are added to the next cycle's.
  } while (weak);
}

template <class Source>
void MeasurePeakFrom(DelaysElementType& wave) {
  Source& source = static_cast<Source&>(*CurrentSound);
  const bool normalPhase = RunSettings.NormalPhase;
  const bool cardInput = RunSettings.CardInput;
  // With the normal phase a wave runs from a peak through a trough to the next peak; with -p
  // from a trough through a peak. Level stretches stay in the half they started in.
  int previous = normalPhase ? 127 : -128;
  int s = 0;
  bool weak = true;
  do {
    bool goesOn = true;
    do {
      if (!ReadSample(source, wave.FirstHalf, cardInput, s)) {
        return;
      }
      if (normalPhase) {
        weak = weak && s > kPeakFallingStrength;
        goesOn = s <= previous;
      } else {
        weak = weak && s < kPeakRisingStrength;
        goesOn = s >= previous;
      }
      previous = s;
    } while (goesOn);
    do {
      if (!ReadSample(source, wave.SecondHalf, cardInput, s)) {
        return;
      }
      if (normalPhase) {
        weak = weak && s < kPeakRisingStrength;
        goesOn = s >= previous;
      } else {
        weak = weak && s > kPeakFallingStrength;
        goesOn = s <= previous;
      }
      previous = s;
    } while (goesOn);
  } while (weak);
}

template <class Source>
void MeasureCswPulsesFrom(DelaysElementType& wave) {
  Source& source = static_cast<Source&>(*CurrentSound);
  wave.FirstHalf = source.NextPulse();
  wave.SecondHalf = source.NextPulse();
}

template <class Source>
MeasureFunction SelectFor(MainProgram_ns::MeasureMethod method) {
  switch (method) {
    case MainProgram_ns::MeasureMethod::kPeak:
      return MeasurePeakFrom<Source>;
    case MainProgram_ns::MeasureMethod::kCswPulses:
      return MeasureCswPulsesFrom<Source>;
    case MainProgram_ns::MeasureMethod::kSign:
      break;
  }
  return MeasureSignFrom<Source>;
}

}  // namespace

void MeasureSign(DelaysElementType& wave) { MeasureSignFrom<SoundInput_ns::SoundBase>(wave); }

void MeasurePeak(DelaysElementType& wave) { MeasurePeakFrom<SoundInput_ns::SoundBase>(wave); }

void MeasureCswPulses(DelaysElementType& wave) {
  MeasureCswPulsesFrom<SoundInput_ns::SoundBase>(wave);
}

MeasureFunction SelectMeasurement(MainProgram_ns::MeasureMethod method,
                                  SoundInput_ns::SoundBase* source) {
  using namespace SoundInput_ns;
  // The source classes are final, so the calls inside the chosen function are direct.
  if (source == &TheRAWSound) {
    return SelectFor<RAWSound>(method);
  }
  if (source == &TheWAVSound) {
    return SelectFor<WAVSound>(method);
  }
  if (source == &TheCSWSound) {
    return SelectFor<CSWSound>(method);
  }
  return SelectFor<SoundBase>(method);
}

}  // namespace WavesInput_ns
