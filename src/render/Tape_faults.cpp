#include "render/Tape_faults.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace TapeBuilder_ns {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kShortestFade = 0.020;
constexpr double kLongestFade = 0.200;
constexpr double kFadeRamp = 0.005;
// A click's decay: its level falls to 1/e in this time.
constexpr double kClickDecaySeconds = 0.0001;
constexpr double kLongestEcho = 10.0;

bool NonNegative(double value) {
  return std::isfinite(value) && value >= 0.0;
}

}  // namespace

TapeFaults::TapeFaults(const FaultOptions& options, double sampleRate, double amplitude,
                       uint64_t seed)
    : options_(options),
      rate_(sampleRate),
      amplitude_(amplitude),
      // Its own stream of random numbers, apart from the noise's: the same seed gives the same
      // noise with and without these faults.
      state_((seed ^ 0x6A09E667F3BCC909ull) * 0x9E3779B97F4A7C15ull | 1u) {
  if (!NonNegative(options.trebleCutHz) || !NonNegative(options.bassCutHz) ||
      !NonNegative(options.humLevel) || !NonNegative(options.humFrequencyHz) ||
      !NonNegative(options.clicksPerSecond) || !NonNegative(options.clickLevel) ||
      !NonNegative(options.fadesPerSecond) || !NonNegative(options.fadeDepthDb) ||
      !NonNegative(options.echoSeconds) || !NonNegative(options.echoLevel))
    throw std::invalid_argument("the tape's faults need finite values of 0 or more");
  if (options.trebleCutHz >= sampleRate / 2.0 || options.bassCutHz >= sampleRate / 2.0)
    throw std::invalid_argument("a cut-off must lie below half the sample rate");
  if (options.trebleOrder != 1 && options.trebleOrder != 2)
    throw std::invalid_argument("the treble loss's order must be 1 or 2");
  if (options.echoSeconds > kLongestEcho)
    throw std::invalid_argument("an echo may come at most 10 s later");

  // The filters by the bilinear transform, each cut-off prewarped.
  if (options.trebleCutHz > 0.0) {
    const double k = std::tan(kPi * options.trebleCutHz / sampleRate);
    Section low;
    if (options.trebleOrder == 1) {
      low.b0 = low.b1 = k / (1.0 + k);
      low.a1 = (k - 1.0) / (k + 1.0);
    } else {
      const double q = 1.0 / std::sqrt(2.0);
      const double norm = 1.0 / (1.0 + k / q + k * k);
      low.b0 = k * k * norm;
      low.b1 = 2.0 * low.b0;
      low.b2 = low.b0;
      low.a1 = 2.0 * (k * k - 1.0) * norm;
      low.a2 = (1.0 - k / q + k * k) * norm;
    }
    sections_.push_back(low);
  }
  if (options.bassCutHz > 0.0) {
    const double k = std::tan(kPi * options.bassCutHz / sampleRate);
    Section high;
    high.b0 = 1.0 / (1.0 + k);
    high.b1 = -high.b0;
    high.a1 = (k - 1.0) / (k + 1.0);
    sections_.push_back(high);
  }
  if (options.echoSeconds > 0.0 && options.echoLevel > 0.0)
    echo_.assign(static_cast<size_t>(std::lround(options.echoSeconds * sampleRate)) + 1, 0.0);
  humStep_ = 2.0 * kPi * options.humFrequencyHz / sampleRate;
  clickDecay_ = std::exp(-1.0 / (kClickDecaySeconds * sampleRate));
  if (options.clicksPerSecond > 0.0)
    nextClick_ = Gap(options.clicksPerSecond);
  if (options.fadesPerSecond > 0.0)
    nextFade_ = Gap(options.fadesPerSecond);
  fadeGain_ = std::pow(10.0, -options.fadeDepthDb / 20.0);
}

double TapeFaults::Uniform() {
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return static_cast<double>((state_ * 0x2545F4914F6CDD1Dull) >> 11) * 0x1.0p-53;
}

double TapeFaults::Gap(double perSecond) {
  return -std::log(1.0 - Uniform()) * rate_ / perSecond;
}

double TapeFaults::Apply(double wave) {
  const auto n = static_cast<double>(count_++);
  double value = wave;
  if (!echo_.empty()) {
    // The ring holds the waves of the last echoSeconds; the oldest is the echo's.
    const double old = echo_[echoAt_];
    echo_[echoAt_] = wave;
    echoAt_ = echoAt_ + 1 == echo_.size() ? 0 : echoAt_ + 1;
    value += options_.echoLevel * old;
  }
  if (options_.fadesPerSecond > 0.0 && options_.fadeDepthDb > 0.0) {
    if (fadeStart_ < 0.0 && n >= nextFade_) {
      fadeStart_ = n;
      fadeLength_ = (kShortestFade + (kLongestFade - kShortestFade) * Uniform()) * rate_;
      fadeRamp_ = kFadeRamp * rate_;
    }
    if (fadeStart_ >= 0.0) {
      const double into = n - fadeStart_;
      const double edge = std::max(0.0, std::min(into, fadeLength_ - into));
      // Raised-cosine ramps into and out of the fade.
      const double depth = edge >= fadeRamp_ ? 1.0 : 0.5 - 0.5 * std::cos(kPi * edge / fadeRamp_);
      value *= 1.0 - (1.0 - fadeGain_) * depth;
      if (into >= fadeLength_) {
        fadeStart_ = -1.0;
        nextFade_ = n + Gap(options_.fadesPerSecond);
      }
    }
  }
  for (Section& section : sections_)
    value = section.Step(value);
  if (options_.humLevel > 0.0) {
    const double phase = humStep_ * n;
    double hum = 0.0;
    for (int h = 1; h <= 5; ++h)
      hum += std::sin(h * phase) / h;
    value += options_.humLevel * amplitude_ * hum;
  }
  if (options_.clicksPerSecond > 0.0 && options_.clickLevel > 0.0) {
    clickValue_ *= clickDecay_;
    if (n >= nextClick_) {
      clickValue_ = options_.clickLevel * amplitude_ * (Uniform() < 0.5 ? -1.0 : 1.0);
      nextClick_ = n + Gap(options_.clicksPerSecond);
    }
    value += clickValue_;
  }
  return value;
}

}  // namespace TapeBuilder_ns
