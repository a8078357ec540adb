#pragma once

// The faults of a worn tape and of its playback that act on the waves' level and shape, for
// testing decoders: print-through (an echo), fades, treble and bass loss, mains hum and clicks.
// The renderer passes each sample's wave through them, in that order, before it adds the
// offset, drift and noise of the capture.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TapeBuilder_ns {

struct FaultOptions {
  // Treble loss (worn or dirty heads, an azimuth error): a Butterworth low-pass of this order
  // (1 or 2) at trebleCutHz; 0 for none.
  double trebleCutHz = 0.0;
  int trebleOrder = 1;
  // Bass loss (a small coupling capacitor, a thin recording): a first-order high-pass at
  // bassCutHz; 0 for none.
  double bassCutHz = 0.0;
  // Mains hum: a sine of humFrequencyHz whose peak is humLevel times the waves' amplitude, with
  // its 2nd to 5th harmonics at half, a third, a quarter and a fifth of that.
  double humLevel = 0.0;
  double humFrequencyHz = 50.0;
  // Clicks: impulses at random instants, clicksPerSecond on average, each of clickLevel times
  // the waves' amplitude at its peak, either sign, decaying over a few tenths of a millisecond.
  double clicksPerSecond = 0.0;
  double clickLevel = 0.0;
  // Fades: the level falls by fadeDepthDb for 20 to 200 ms (with ramps of 5 ms), at random
  // instants, fadesPerSecond on average; the oxide worn thin rather than lost.
  double fadesPerSecond = 0.0;
  double fadeDepthDb = 0.0;
  // Print-through: the waves again, echoSeconds later, at echoLevel times their level.
  double echoSeconds = 0.0;
  double echoLevel = 0.0;

  bool Any() const {
    return trebleCutHz > 0.0 || bassCutHz > 0.0 || humLevel > 0.0 ||
           (clicksPerSecond > 0.0 && clickLevel > 0.0) ||
           (fadesPerSecond > 0.0 && fadeDepthDb > 0.0) || (echoSeconds > 0.0 && echoLevel > 0.0);
  }
};

// Applies the faults to one sample after another. Throws std::invalid_argument for values
// out of range (a cut-off at or above half the rate, an order other than 1 or 2, negative
// levels or rates, an echo longer than 10 s).
class TapeFaults {
 public:
  TapeFaults(const FaultOptions& options, double sampleRate, double amplitude, uint64_t seed);

  // The wave's value at the next sample, as played back.
  double Apply(double wave);

 private:
  struct Section {  // a second-order section, direct form I in double precision
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    double Step(double x) {
      const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
      return y;
    }
  };

  double Uniform();              // in [0, 1)
  double Gap(double perSecond);  // samples to the next event of a random process

  const FaultOptions options_;
  const double rate_;
  const double amplitude_;
  uint64_t state_;
  uint64_t count_ = 0;

  std::vector<Section> sections_;
  std::vector<double> echo_;  // the waves of the last echoSeconds
  size_t echoAt_ = 0;
  double humStep_ = 0.0;

  double nextClick_ = 0.0;  // sample of the next click
  double clickValue_ = 0.0;
  double clickDecay_ = 0.0;

  double nextFade_ = 0.0;  // sample where the next fade starts
  double fadeStart_ = -1.0;
  double fadeLength_ = 0.0;
  double fadeRamp_ = 0.0;
  double fadeGain_ = 1.0;  // the level at the fade's depth
};

}  // namespace TapeBuilder_ns
