#pragma once

// The input filter of the demodulator: a second-order high-pass below the 1200 Hz tone (it
// removes a DC offset, slow drift and mains hum) and a second-order low-pass above the
// 2400 Hz tone (it removes the noise and the harmonics that would otherwise fold back onto the
// tones when the signal is resampled at 16 points a bit cell). Both are Butterworth sections,
// designed by the bilinear transform for the recording's own rate.

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
  static Biquad HighPass(double cutoffHz, double sampleRate);
};

class BandFilter {
 public:
  // Cut-offs below the 1200 Hz and above the 2400 Hz tone, the upper one kept below the
  // recording's Nyquist frequency.
  explicit BandFilter(double sampleRate);

  // Filters count samples from in to out (which may be the same buffer).
  void Process(const float* in, float* out, size_t count) {
    Biquad high = high_;
    Biquad low = low_;
    for (size_t i = 0; i < count; ++i)
      out[i] = low.Step(high.Step(in[i]));
    high_ = high;
    low_ = low;
  }

 private:
  Biquad high_;
  Biquad low_;
};

}  // namespace Demod_ns
