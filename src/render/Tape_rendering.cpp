#include "render/Tape_rendering.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "render/Render_timing.h"

namespace TapeBuilder_ns {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Deterministic Gaussian noise: xorshift64* seeded through splitmix64, and the
// Box-Muller transform. Written out here (rather than using the standard
// distributions) so the same seed gives the same noise with any library.
class NoiseSource {
 public:
  explicit NoiseSource(uint64_t seed) {
    uint64_t z = seed + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    state_ = z ^ (z >> 31);
    if (state_ == 0)
      state_ = 0x2545F4914F6CDD1Dull;
  }

  // Uniform in (0, 1], never 0 so the logarithm below is finite.
  double Uniform() { return static_cast<double>((Next() >> 11) + 1) * 0x1.0p-53; }

  double Gaussian() {
    if (haveSpare_) {
      haveSpare_ = false;
      return spare_;
    }
    const double radius = std::sqrt(-2.0 * std::log(Uniform()));
    const double angle = 2.0 * kPi * Uniform();
    spare_ = radius * std::sin(angle);
    haveSpare_ = true;
    return radius * std::cos(angle);
  }

 private:
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }

  uint64_t state_ = 0;
  double spare_ = 0.0;
  bool haveSpare_ = false;
};

}  // namespace

double NoiseStdDevForSnr(double amplitude, WaveShape shape, double snrDb) {
  const double signalRms = shape == WaveShape::Sine ? amplitude / std::sqrt(2.0) : amplitude;
  return signalRms / std::pow(10.0, snrDb / 20.0);
}

class StreamRenderer::Impl {
 public:
  Impl(const RenderOptions& options, SampleSink* sink, FloatSampleSink* floatSink)
      : options_(options),
        sink_(sink),
        floatSink_(floatSink),
        samplesPerSecond_(SamplesPerSecond(options.sampleRate, options.speed)),
        timing_(samplesPerSecond_),
        phaseHalves_(std::fmod(options.phaseDegrees, 360.0) / 180.0),
        rate_(static_cast<double>(options.sampleRate)),
        addDrift_(options.driftAmplitude != 0.0 && options.driftFrequencyHz != 0.0),
        noise_(options.noiseSeed),
        jitterSource_(options.noiseSeed ^ 0xA5A5A5A5u),
        faults_(options.faults, static_cast<double>(options.sampleRate), options.amplitude,
                options.noiseSeed) {
    if (!(options.wowDepth >= 0.0 && options.wowDepth < 0.5) ||
        !std::isfinite(options.wowFrequencyHz) || options.wowFrequencyHz < 0.0 ||
        !(options.flutterDepth >= 0.0 && options.wowDepth + options.flutterDepth < 0.5) ||
        !std::isfinite(options.flutterFrequencyHz) || options.flutterFrequencyHz < 0.0)
      throw std::invalid_argument(
          "wow and flutter depths must be 0 to 0.5 together and their frequencies finite");
    if (!(options.jitter >= 0.0 && options.jitter < 0.5))
      throw std::invalid_argument("jitter must be 0 to 0.5");
    // Positions move by the integral of the speed swing, so no error builds up.
    if (options.wowDepth > 0.0 && options.wowFrequencyHz > 0.0) {
      wowOmega_ = 2.0 * kPi * options.wowFrequencyHz / samplesPerSecond_;
      wowScale_ = options.wowDepth / wowOmega_;
    }
    if (options.flutterDepth > 0.0 && options.flutterFrequencyHz > 0.0) {
      flutterOmega_ = 2.0 * kPi * options.flutterFrequencyHz / samplesPerSecond_;
      flutterScale_ = options.flutterDepth / flutterOmega_;
    }
    useFaults_ = options.faults.Any();
    for (const RenderOptions::Dropout& dropout : options.dropouts) {
      if (!std::isfinite(dropout.startSeconds) || !std::isfinite(dropout.seconds) ||
          dropout.startSeconds < 0.0 || dropout.seconds < 0.0)
        throw std::invalid_argument("drop-outs must have finite, non-negative times");
      const double begin = std::round(dropout.startSeconds * rate_);
      const double end = std::round((dropout.startSeconds + dropout.seconds) * rate_);
      constexpr double kLast = 1.8e19;  // below 2^64
      if (end > begin)
        dropouts_.push_back({static_cast<uint64_t>(std::min(begin, kLast)),
                             static_cast<uint64_t>(std::min(end, kLast))});
    }
    // Merged and in order, so one index walks through them.
    std::sort(dropouts_.begin(), dropouts_.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto& range : dropouts_) {
      if (!merged.empty() && range.first <= merged.back().second)
        merged.back().second = std::max(merged.back().second, range.second);
      else
        merged.push_back(range);
    }
    dropouts_ = std::move(merged);
    if (sink_ != nullptr)
      buffer_.resize(kBufferSize);
    if (floatSink_ != nullptr)
      floatBuffer_.resize(kBufferSize);
  }

  void Tone(double frequencyHz, uint64_t halfCycles) {
    if (!std::isfinite(frequencyHz) || frequencyHz <= 0.0)
      throw std::invalid_argument("tone frequency must be finite and positive");
    CheckOpen();
    if (halfCycles == 0)
      return;
    if (hasPending_ && pending_.kind == SegmentKind::Tone && pending_.frequencyHz == frequencyHz) {
      pending_.halfCycles += halfCycles;
      return;
    }
    RenderPending();
    pending_ = Segment();
    pending_.kind = SegmentKind::Tone;
    pending_.frequencyHz = frequencyHz;
    pending_.halfCycles = halfCycles;
    hasPending_ = true;
  }

  void Silence(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0)
      throw std::invalid_argument("silence length must be finite and non-negative");
    CheckOpen();
    if (seconds == 0.0)
      return;
    if (hasPending_ && pending_.kind == SegmentKind::Silence) {
      pending_.seconds += seconds;
      return;
    }
    RenderPending();
    pending_ = Segment();
    pending_.kind = SegmentKind::Silence;
    pending_.seconds = seconds;
    hasPending_ = true;
  }

  uint64_t SamplesSoFar() const {
    double end = timing_.Position();
    if (hasPending_)
      end = timing_.End(pending_);
    return SampleIndexAt(Warp(end));
  }

  uint64_t Finish() {
    CheckOpen();
    RenderPending();
    finished_ = true;
    if (sink_ == nullptr && floatSink_ == nullptr)
      return SampleIndexAt(Warp(timing_.Position()));
    FlushBuffer();
    return count_;
  }

 private:
  static constexpr size_t kBufferSize = 1 << 16;

  void CheckOpen() const {
    if (finished_)
      throw std::invalid_argument("the rendering has been finished");
  }

  double Warp(double x) const {
    if (wowOmega_ != 0.0)
      x += wowScale_ * (1.0 - std::cos(wowOmega_ * x));
    if (flutterOmega_ != 0.0)
      x += flutterScale_ * (1.0 - std::cos(flutterOmega_ * x));
    return x;
  }

  void RenderPending() {
    if (!hasPending_)
      return;
    hasPending_ = false;
    if (sink_ == nullptr && floatSink_ == nullptr) {
      timing_.Skip(pending_);
      return;
    }
    // With jitter, each edge inside the run moves at random; the run's own ends stay.
    uint64_t left = pending_.kind == SegmentKind::Tone ? pending_.halfCycles : 0;
    double edge = 0.0;
    timing_.Walk(
        pending_,
        [this, &left, &edge](double start, double end, uint64_t index) {
          const double from = edge;
          edge = --left == 0 || options_.jitter == 0.0
                     ? 0.0
                     : (jitterSource_.Uniform() - 0.5) * options_.jitter * (end - start);
          HalfCycle(Warp(start + from), Warp(end + edge), index);
        },
        [this](double /*start*/, double end) {
          const uint64_t last = SampleIndexAt(Warp(end));
          while (count_ < last)
            Emit(0.0);
        });
  }

  void HalfCycle(double start, double end, uint64_t index) {
    // Half cycles alternate in sign; within one, the shape runs from the
    // chosen phase through half a cycle.
    const double sign = (index % 2 == 0) ? 1.0 : -1.0;
    const uint64_t last = SampleIndexAt(end);
    while (count_ < last) {
      const double position = (static_cast<double>(count_) + 0.5 - start) / (end - start);
      const double u = position + phaseHalves_;
      double shape;
      if (options_.shape == WaveShape::Sine) {
        shape = std::sin(kPi * u);
      } else {
        const auto halfNumber = static_cast<long long>(std::floor(u));
        shape = (halfNumber % 2 == 0) ? 1.0 : -1.0;
      }
      Emit(sign * options_.amplitude * shape);
    }
  }

  void Emit(double signal) {
    while (dropoutIndex_ < dropouts_.size() && count_ >= dropouts_[dropoutIndex_].second)
      ++dropoutIndex_;
    if (dropoutIndex_ < dropouts_.size() && count_ >= dropouts_[dropoutIndex_].first)
      signal = 0.0;
    if (useFaults_)
      signal = faults_.Apply(signal);
    const double t = static_cast<double>(count_) / rate_;
    double value = signal + options_.dcOffset;
    if (addDrift_)
      value += options_.driftAmplitude * std::sin(2.0 * kPi * options_.driftFrequencyHz * t);
    if (options_.noiseStdDev > 0.0)
      value += options_.noiseStdDev * noise_.Gaussian();
    if (floatSink_ != nullptr) {
      floatBuffer_[fill_++] = static_cast<float>(value);
    } else {
      const double clamped = std::clamp(std::round(value), -128.0, 127.0);
      buffer_[fill_++] = static_cast<int8_t>(static_cast<int>(clamped));
    }
    ++count_;
    if (fill_ == kBufferSize)
      FlushBuffer();
  }

  void FlushBuffer() {
    if (fill_ > 0) {
      if (floatSink_ != nullptr)
        floatSink_->Put(floatBuffer_.data(), fill_);
      else
        sink_->Put(buffer_.data(), fill_);
    }
    fill_ = 0;
  }

  const RenderOptions options_;
  SampleSink* const sink_;
  FloatSampleSink* const floatSink_;
  const double samplesPerSecond_;
  TapeTiming timing_;
  const double phaseHalves_;  // 180 degrees is one half cycle
  const double rate_;
  const bool addDrift_;
  double wowOmega_ = 0.0;
  double wowScale_ = 0.0;
  double flutterOmega_ = 0.0;
  double flutterScale_ = 0.0;
  NoiseSource noise_;
  NoiseSource jitterSource_;
  TapeFaults faults_;
  bool useFaults_ = false;
  std::vector<std::pair<uint64_t, uint64_t>> dropouts_;  // [first, end) sample numbers
  size_t dropoutIndex_ = 0;

  Segment pending_;
  bool hasPending_ = false;
  bool finished_ = false;
  uint64_t count_ = 0;  // samples emitted
  std::vector<int8_t> buffer_;
  std::vector<float> floatBuffer_;
  size_t fill_ = 0;
};

StreamRenderer::StreamRenderer(const RenderOptions& options, SampleSink* sink)
    : impl_(std::make_unique<Impl>(options, sink, nullptr)) {}

StreamRenderer::StreamRenderer(const RenderOptions& options, FloatSampleSink& sink)
    : impl_(std::make_unique<Impl>(options, nullptr, &sink)) {}

StreamRenderer::~StreamRenderer() = default;

void StreamRenderer::Tone(double frequencyHz, uint64_t halfCycles) {
  impl_->Tone(frequencyHz, halfCycles);
}

void StreamRenderer::Silence(double seconds) {
  impl_->Silence(seconds);
}

void StreamRenderer::Append(const Tape& tape) {
  for (const Segment& segment : tape.Segments()) {
    if (segment.kind == SegmentKind::Tone)
      impl_->Tone(segment.frequencyHz, segment.halfCycles);
    else
      impl_->Silence(segment.seconds);
  }
}

uint64_t StreamRenderer::SamplesSoFar() const {
  return impl_->SamplesSoFar();
}

uint64_t StreamRenderer::Finish() {
  return impl_->Finish();
}

std::vector<int8_t> RenderSamples(const Tape& tape, const RenderOptions& options) {
  class VectorSink final : public SampleSink {
   public:
    void Put(const int8_t* samples, size_t count) override {
      samples_.insert(samples_.end(), samples, samples + count);
    }
    std::vector<int8_t> samples_;
  } sink;
  sink.samples_.reserve(static_cast<size_t>(
      SampleIndexAt(tape.DurationSeconds() * SamplesPerSecond(options.sampleRate, options.speed)) +
      16));
  StreamRenderer renderer(options, &sink);
  renderer.Append(tape);
  renderer.Finish();
  return std::move(sink.samples_);
}

std::vector<float> RenderFloatSamples(const Tape& tape, const RenderOptions& options) {
  class VectorSink final : public FloatSampleSink {
   public:
    void Put(const float* samples, size_t count) override {
      samples_.insert(samples_.end(), samples, samples + count);
    }
    std::vector<float> samples_;
  } sink;
  StreamRenderer renderer(options, sink);
  renderer.Append(tape);
  renderer.Finish();
  return std::move(sink.samples_);
}

PulseTrain RenderPulses(const Tape& tape, uint32_t sampleRate, double speed,
                        bool firstHalfCycleHigh) {
  TapeTiming timing(SamplesPerSecond(sampleRate, speed));
  PulseTrain train;
  train.initialHigh = firstHalfCycleHigh;

  bool pulseOpen = false;
  uint64_t pulseStart = 0;
  auto closePulse = [&](uint64_t at) {
    const uint64_t length = at - pulseStart;
    if (length > std::numeric_limits<uint32_t>::max())
      throw std::invalid_argument("pulse longer than 2^32-1 samples");
    train.lengths.push_back(static_cast<uint32_t>(length));
  };

  auto onHalfCycle = [&](double start, double /*end*/, uint64_t /*index*/) {
    const uint64_t edge = SampleIndexAt(start);
    if (pulseOpen)
      closePulse(edge);
    pulseOpen = true;
    pulseStart = edge;
  };

  auto onSilence = [&](double start, double end) {
    // Silence holds the current level; only leading silence needs a
    // pulse of its own, at the level opposite the first half cycle.
    if (pulseOpen)
      return;
    const uint64_t first = SampleIndexAt(start);
    if (SampleIndexAt(end) > first) {
      pulseOpen = true;
      pulseStart = first;
      train.initialHigh = !firstHalfCycleHigh;
    }
  };

  for (const Segment& segment : tape.Segments())
    timing.Walk(segment, onHalfCycle, onSilence);
  if (pulseOpen)
    closePulse(SampleIndexAt(timing.Position()));
  return train;
}

}  // namespace TapeBuilder_ns
