#pragma once

// The input filter of the demodulator: a first-order high-pass well below the 1200 Hz tone (it
// removes a DC offset, slow drift and most of any mains hum; what is left of them the cells'
// correlations, over whole cycles of the tones, reject) and a second-order Butterworth
// low-pass above the 2400 Hz tone (it removes the noise and the harmonics that would otherwise
// fold back onto the tones when the signal is resampled at 16 points a bit cell), designed by
// the bilinear transform for the recording's own rate.

#include <cstddef>

namespace Demod_ns {

// One second-order section in transposed direct form II.
struct Biquad {
  float b0 = 1.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;
  float s1 = 0.0f, s2 = 0.0f;

  float Step(float x) {
    const float y = b0 * x + s1;
    s1 = b1 * x - a1 * y + s2;
    s2 = b2 * x - a2 * y;
    return y;
  }

  static Biquad LowPass(double cutoffHz, double sampleRate);
};

class BandFilter {
 public:
  // Cut-offs below the 1200 Hz and above the 2400 Hz tone, the upper one kept below the
  // recording's Nyquist frequency.
  explicit BandFilter(double sampleRate);

  // Filters count samples from in to out (which may be the same buffer).
  void Process(const float* in, float* out, size_t count) {
    Biquad low = low_;
    float lastIn = lastIn_, lastOut = lastOut_;
    for (size_t i = 0; i < count; ++i) {
      const float x = in[i];
      lastOut = x - lastIn + pole_ * lastOut;
      lastIn = x;
      out[i] = low.Step(lastOut);
    }
    lastIn_ = lastIn;
    lastOut_ = lastOut;
    low_ = low;
  }

 private:
  float pole_;  // of the high-pass
  float lastIn_ = 0.0f;
  float lastOut_ = 0.0f;
  Biquad low_;
};

}  // namespace Demod_ns
