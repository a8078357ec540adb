#pragma once

// Rendering a Tape: as samples (all at once or streamed into a sink) and as the pulses a CSW
// file stores, all on the same timing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "render/Tape_faults.h"
#include "render/Tape_model.h"

namespace TapeBuilder_ns {

enum class WaveShape { Sine, Square };

struct RenderOptions {
  uint32_t sampleRate = 44100;
  WaveShape shape = WaveShape::Sine;
  double amplitude = 100.0;  // peak level of the waves
  // Where each cycle starts, in degrees: 0 = at a rising zero crossing with
  // the positive half first, 90 = at the positive peak, 180 = negative half
  // first, 270 = at the negative peak. Any value is accepted.
  double phaseDegrees = 0.0;
  double speed = 1.0;             // tape speed factor; 1.02 plays 2% fast (shorter)
  double dcOffset = 0.0;          // constant added to every sample
  double driftAmplitude = 0.0;    // slow sine added to every sample...
  double driftFrequencyHz = 0.0;  // ...at this frequency (starts at 0 at sample 0)
  double noiseStdDev = 0.0;       // Gaussian white noise, in sample units
  uint64_t noiseSeed = 1;         // same seed, same noise, on every platform
  // Wow: the speed swings by up to wowDepth (0.01 = 1%) either way, as a sine
  // of wowFrequencyHz. wowDepth must be below 0.5.
  double wowDepth = 0.0;
  double wowFrequencyHz = 0.0;
  // Flutter: a second swing of the speed, as wow's (the two add up; their depths together
  // must stay below 0.5).
  double flutterDepth = 0.0;
  double flutterFrequencyHz = 0.0;
  // Cycle jitter: every edge between half cycles moves at random by up to jitter / 2 of a half
  // cycle either way, so that each half cycle is up to jitter (0.1 = 10%) longer or shorter
  // than its neighbours; the first and last edge of each run of one tone stay in place. Below
  // 0.5.
  double jitter = 0.0;
  // Treble and bass loss, hum, clicks, fades and print-through (see Tape_faults.h).
  FaultOptions faults;
  // Stretches of the output, in seconds from its start, where the signal is
  // lost (offset, drift and noise remain).
  struct Dropout {
    double startSeconds = 0.0;
    double seconds = 0.0;
  };
  std::vector<Dropout> dropouts;
};

// Noise standard deviation that gives the requested signal-to-noise ratio in
// dB for waves of the given peak amplitude and shape (RMS of a sine is
// amplitude/sqrt(2), of a square wave the amplitude itself).
double NoiseStdDevForSnr(double amplitude, WaveShape shape, double snrDb);

// Timing, shared by all renderers: the tape's segment boundaries are
// accumulated in floating point, in samples, at sampleRate / speed, then
// moved by the wow, if any. Sample n
// stands for the instant n + 0.5, so it belongs to the half cycle (or
// silence) covering that instant; a rendered 1200 Hz cycle at 44100 Hz is 36
// or 37 samples long, averaging exactly 36.75 with no drift. The output
// holds every sample whose instant falls before the end of the tape.
//
// Samples are the signal through the faults, + dcOffset + drift + noise,
// rounded and clamped to -128..127. Silence (and a drop-out) renders as 0
// before the faults, offset, drift and noise.
std::vector<int8_t> RenderSamples(const Tape& tape, const RenderOptions& options);

// The same samples before they are rounded and clamped: a capture of more than 8 bits (a
// level beyond -128..127 is kept).
std::vector<float> RenderFloatSamples(const Tape& tape, const RenderOptions& options);

// Receives rendered samples in order, a buffer at a time.
class SampleSink {
 public:
  virtual ~SampleSink() = default;
  virtual void Put(const int8_t* samples, size_t count) = 0;
};

// Receives rendered samples before rounding, a buffer at a time.
class FloatSampleSink {
 public:
  virtual ~FloatSampleSink() = default;
  virtual void Put(const float* samples, size_t count) = 0;
};

// Renders a tape given segment by segment, exactly as RenderSamples renders
// the Tape those segments make: adjacent tones of one frequency (and adjacent
// silences) are merged as Tape merges them, and a segment is rendered once
// the next one shows it complete. Memory stays the same however long the
// recording. Without a sink it only keeps time, which is cheap: SamplesSoFar
// and Finish then count the samples a rendering would give.
class StreamRenderer {
 public:
  // Throws std::invalid_argument for a sample rate of 0, a speed that is not
  // finite and positive, or a wow depth outside 0..0.5.
  StreamRenderer(const RenderOptions& options, SampleSink* sink);
  // The same, giving the samples before they are rounded and clamped.
  StreamRenderer(const RenderOptions& options, FloatSampleSink& sink);
  ~StreamRenderer();
  StreamRenderer(const StreamRenderer&) = delete;
  StreamRenderer& operator=(const StreamRenderer&) = delete;

  // As Tape::AppendTone and Tape::AppendSilence, with the same checks.
  void Tone(double frequencyHz, uint64_t halfCycles);
  void Silence(double seconds);
  void Append(const Tape& tape);

  // The number of samples of everything given so far, the segment still
  // open included.
  uint64_t SamplesSoFar() const;
  // Renders what is left into the sink and returns the number of samples.
  // Nothing may be added afterwards.
  uint64_t Finish();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Half-cycle lengths in samples, as stored in a CSW file, plus the level of
// the first pulse.
struct PulseTrain {
  std::vector<uint32_t> lengths;
  bool initialHigh = true;
};

// Renders the tape as square-wave pulses using the same timing as
// RenderSamples, so the lengths sum to the number of samples RenderSamples
// gives for the same rate and speed, and a square render at phase 0 has
// exactly these runs of equal sign (where there is signal).
// Each half cycle is one pulse, high and low alternating; firstHalfCycleHigh
// is the level of the tape's first half cycle. Silence extends the pulse
// before it (the level is held until the next edge); silence at the very
// start becomes its own pulse at the level opposite the first half cycle,
// and initialHigh reports the level of pulse 0 accordingly. A half cycle
// shorter than a sample may give a pulse of length 0, which keeps the
// polarity of the pulses after it right.
PulseTrain RenderPulses(const Tape& tape, uint32_t sampleRate, double speed = 1.0,
                        bool firstHalfCycleHigh = true);

}  // namespace TapeBuilder_ns
