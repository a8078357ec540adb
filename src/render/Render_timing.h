#pragma once

// The timing every renderer shares: where each half cycle and each silence of a tape falls, in
// samples at samplesPerSecond, before any wow. Sample n stands for the instant n + 0.5.

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "render/Tape_model.h"

namespace TapeBuilder_ns {

// Index of the first sample at or after position x (in samples). Sample n
// stands for the instant n + 0.5, so this counts the instants before x.
inline uint64_t SampleIndexAt(double x) {
  if (x <= 0.5)
    return 0;
  return static_cast<uint64_t>(std::ceil(x - 0.5));
}

inline double SamplesPerSecond(uint32_t sampleRate, double speed) {
  if (sampleRate == 0)
    throw std::invalid_argument("sample rate must be positive");
  if (!std::isfinite(speed) || speed <= 0.0)
    throw std::invalid_argument("speed must be finite and positive");
  return static_cast<double>(sampleRate) / speed;
}

// Walks a tape segment by segment, in order. Positions within a tone are computed from the
// segment start rather than summed cycle by cycle, so rounding error does not build up.
class TapeTiming {
 public:
  explicit TapeTiming(double samplesPerSecond) : samplesPerSecond_(samplesPerSecond) {}

  // Where the segments walked so far end.
  double Position() const { return segmentStart_; }

  // Where the segment ends when it starts at Position().
  double End(const Segment& segment) const {
    if (segment.kind == SegmentKind::Tone)
      return segmentStart_ + static_cast<double>(segment.halfCycles) * HalfLength(segment);
    return segmentStart_ + segment.seconds * samplesPerSecond_;
  }

  // Calls onHalfCycle(start, end, index) for each half cycle of a tone, index counting the
  // tape's half cycles from its first, or onSilence(start, end) for a silence; then moves past
  // the segment.
  template <typename HalfCycleFn, typename SilenceFn>
  void Walk(const Segment& segment, HalfCycleFn&& onHalfCycle, SilenceFn&& onSilence) {
    if (segment.kind == SegmentKind::Tone) {
      const double halfLength = HalfLength(segment);
      for (uint64_t k = 0; k < segment.halfCycles; ++k) {
        const double start = segmentStart_ + static_cast<double>(k) * halfLength;
        const double end = segmentStart_ + static_cast<double>(k + 1) * halfLength;
        onHalfCycle(start, end, halfCycleIndex_ + k);
      }
    } else {
      onSilence(segmentStart_, End(segment));
    }
    Skip(segment);
  }

  // Moves past the segment without walking through it.
  void Skip(const Segment& segment) {
    segmentStart_ = End(segment);
    if (segment.kind == SegmentKind::Tone)
      halfCycleIndex_ += segment.halfCycles;
  }

 private:
  double HalfLength(const Segment& segment) const {
    return samplesPerSecond_ / (2.0 * segment.frequencyHz);
  }

  const double samplesPerSecond_;
  double segmentStart_ = 0.0;
  uint64_t halfCycleIndex_ = 0;
};

}  // namespace TapeBuilder_ns
