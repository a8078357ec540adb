#include "tool/Histogram_measure.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

#include "sound/Sound_device_base.h"
#include "waves/Wavesinputstate.h"

namespace Tool_ns {
namespace Histogram_ns {

using BlockProcessing_ns::WaveClass;
using WavesInput_ns::DelaysElementType;

namespace {

constexpr uint64_t kFewestBars = 12;
constexpr uint64_t kMostBars = 600;
// A reference length so long that the long window found for it by whole lengths gives the
// window's centre, relative to T, to a millionth.
constexpr double kProbeLength = 1e6;
// Rounds of recentring the long window on the waves it holds.
constexpr int kRecentringRounds = 8;

// Counts every wave of the pass.
Histogram Measure(DecodingPass& decoding) {
  using namespace WavesInput_ns;
  SoundInput_ns::SoundBase& sound = decoding.Sound();
  WavesInputState& waves = decoding.Context().Waves;
  Histogram histogram;
  histogram.sampleRate = sound.SampleRate;
  histogram.t = ReferenceWaveLength(waves);
  const uint64_t lengths = std::max(kFewestBars, static_cast<uint64_t>(3 * histogram.t));
  histogram.lengthsPerBar = (lengths + kMostBars - 1) / kMostBars;
  histogram.bars.assign((lengths + histogram.lengthsPerBar - 1) / histogram.lengthsPerBar, 0);
  histogram.lengthTotals.assign(histogram.bars.size(), 0);

  while (WavesLeft(waves) > 0) {
    const DelaysElementType& wave = WaveAt(waves, 0);
    const uint64_t length = wave.Length();
    if (length != 0) {  // both halves 0: no wave
      ++histogram.waves;
      if (length > histogram.LongestDrawn()) {
        ++histogram.overflow;
      } else {
        ++histogram.bars[(length - 1) / histogram.lengthsPerBar];
        histogram.lengthTotals[(length - 1) / histogram.lengthsPerBar] += length;
      }
      const WaveClass waveClass = BlockProcessing_ns::ClassifyWave(wave, histogram.t);
      ++(waveClass == WaveClass::kLong    ? histogram.longWaves
         : waveClass == WaveClass::kShort ? histogram.shortWaves
                                          : histogram.otherWaves);
    }
    // Once the sound has run out only the waves already in the window are left.
    if (sound.AtEnd())
      DropCurrentWave(waves);
    else
      AdvanceWaves(waves, 1);
  }
  return histogram;
}

}  // namespace

// The decoding's own ranges for reference length t.
Window WindowOf(WaveClass waveClass, double t, double nominal) {
  Window window;
  if (!(nominal >= 1) || nominal > 4e8)
    return window;
  BlockProcessing_ns::WaveClassifier classes;
  classes.Use(t);
  const BlockProcessing_ns::LengthRange& range =
      waveClass == WaveClass::kLong ? classes.longWave : classes.shortWave;
  window.lowest = range.lowest;
  window.highest = range.highest;
  return window;
}

double LongWindowCentreFactor() {
  return WindowOf(WaveClass::kLong, kProbeLength, kProbeLength).Centre() / kProbeLength;
}

PassSettings PassInPhase(RecordingKind kind, bool normalPhase) {
  if (kind == RecordingKind::kCsw) {
    for (const PassSettings& offered : PassesFor(RecordingKind::kCsw))
      if (offered.normalPhase == normalPhase)
        return offered;
  }
  PassSettings pass;
  pass.normalPhase = normalPhase;
  return pass;
}

Histogram MeasurePass(const RecordingSettings& recording, const PassSettings& pass) {
  BlockProcessing_ns::NoBlockSink noBlocks;
  DecodingPass decoding(recording, pass, noBlocks);
  return Measure(decoding);
}

LongWaves FindLongWaves(const Histogram& histogram, double centreFactor) {
  LongWaves found;
  Window window{static_cast<uint64_t>(std::ceil(histogram.t / std::sqrt(2.0))),
                static_cast<uint64_t>(std::floor(histogram.t * std::sqrt(2.0)))};
  for (int round = 0; round < kRecentringRounds && !window.Empty(); ++round) {
    uint64_t count = 0;
    double sum = 0;
    for (size_t bar = 0; bar < histogram.bars.size(); ++bar) {
      if (window.Holds(histogram.MiddleLength(bar))) {
        count += histogram.bars[bar];
        sum += double(histogram.lengthTotals[bar]);
      }
    }
    if (count == 0)
      break;
    found = {count, sum / double(count), sum / double(count) / centreFactor};
    const Window next = WindowOf(WaveClass::kLong, found.centringT, found.centringT);
    if (next == window)
      break;
    window = next;
  }
  return found;
}

std::string Fixed(double value, int decimals) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

}  // namespace Histogram_ns
}  // namespace Tool_ns
