#pragma once

// varnstow-tool histogram's measuring: every wave of one pass over a recording counted by its
// length and by the class varnstow gives it, the windows of lengths varnstow reads as long and
// short waves, and where the long waves lie.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "blocks/Bits_and_bytes.h"
#include "tool/Recording.h"

namespace Tool_ns {
namespace Histogram_ns {

// A range of whole lengths in samples; empty while highest < lowest.
struct Window {
  uint64_t lowest = 1;
  uint64_t highest = 0;
  bool Empty() const { return highest < lowest; }
  bool Holds(double length) const { return length >= double(lowest) && length <= double(highest); }
  double Centre() const { return (double(lowest) + double(highest)) / 2; }
  bool operator==(const Window& other) const {
    return lowest == other.lowest && highest == other.highest;
  }
};

// The lengths that the decoding puts in one class for reference length t, found around the
// class's nominal length (T for a long wave, T/2 for a short one).
Window WindowOf(BlockProcessing_ns::WaveClass waveClass, double t, double nominal);

// The centre of the long window relative to T: the window scales with T, so the reference
// length that centres it on a length m is m over this.
double LongWindowCentreFactor();

// The waves of one pass: counted in bars of whole lengths, allocated once, and by class.
struct Histogram {
  uint32_t sampleRate = 0;
  double t = 0;  // the reference length of the pass
  uint64_t lengthsPerBar = 1;
  std::vector<uint64_t> bars;  // bars[i]: waves of i * lengthsPerBar + 1 to (i + 1) * lengthsPerBar
  std::vector<uint64_t> lengthTotals;  // the lengths of the waves in each bar, added up
  uint64_t overflow = 0;               // waves longer than the last bar
  uint64_t waves = 0, longWaves = 0, shortWaves = 0, otherWaves = 0;

  uint64_t LongestDrawn() const { return bars.size() * lengthsPerBar; }
  uint64_t FirstLength(size_t bar) const { return bar * lengthsPerBar + 1; }
  uint64_t LastLength(size_t bar) const { return (bar + 1) * lengthsPerBar; }
  double MiddleLength(size_t bar) const {
    return (double(FirstLength(bar)) + double(LastLength(bar))) / 2;
  }
};

// A pass in one phase: the sign method for samples, a CSW file's pulses.
PassSettings PassInPhase(RecordingKind kind, bool normalPhase);

// Walks the whole recording through the waves window, as the decoding does without decoding.
Histogram MeasurePass(const RecordingSettings& recording, const PassSettings& pass);

// Where the long waves are: their mean length, and the reference length that centres the long
// window on it. The search starts from the lengths between T/sqrt(2) and T*sqrt(2), halfway on
// a ratio scale between short and long waves: that holds the long waves, and none of the short
// ones, of a tape up to about 40% fast or 25% slow (where the two meet, waves spread over
// neighbouring lengths). It goes on with the long window recentred on the mean of the waves it
// holds, until the window settles.
struct LongWaves {
  uint64_t count = 0;
  double mean = 0;
  double centringT = 0;  // 0 without long waves
};

LongWaves FindLongWaves(const Histogram& histogram, double centreFactor);

// A figure with that many decimals, as the picture and the summary give them.
std::string Fixed(double value, int decimals);

}  // namespace Histogram_ns
}  // namespace Tool_ns
