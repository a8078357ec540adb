#include "demod/Band_filter.h"

#include <algorithm>
#include <cmath>

namespace Demod_ns {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Q of a Butterworth second-order section.
constexpr double kButterworthQ = 0.70710678118654752;

// Far enough below 1200 Hz that the tone passes nearly unchanged (-0.1 dB), far enough above
// any drift of the offset (at 2 Hz: -40 dB) and mains hum (50 Hz: -12 dB).
constexpr double kHighPassHz = 200.0;
// 1.5 times the 2400 Hz tone: the tone loses under 1 dB, while what lies near 16 kHz and
// above, which resampling at 19.2 kHz would fold onto the tones, loses 25 dB or more.
constexpr double kLowPassHz = 3600.0;

}  // namespace

Biquad Biquad::LowPass(double cutoffHz, double sampleRate) {
  const double w = 2.0 * kPi * cutoffHz / sampleRate;
  const double alpha = std::sin(w) / (2.0 * kButterworthQ);
  const double c = std::cos(w);
  const double a0 = 1.0 + alpha;
  Biquad q;
  q.b0 = static_cast<float>((1.0 - c) / 2.0 / a0);
  q.b1 = static_cast<float>((1.0 - c) / a0);
  q.b2 = q.b0;
  q.a1 = static_cast<float>(-2.0 * c / a0);
  q.a2 = static_cast<float>((1.0 - alpha) / a0);
  return q;
}

BandFilter::BandFilter(double sampleRate)
    : pole_(static_cast<float>(std::exp(-2.0 * kPi * kHighPassHz / sampleRate))),
      low_(Biquad::LowPass(std::min(kLowPassHz, 0.42 * sampleRate), sampleRate)) {}

}  // namespace Demod_ns
