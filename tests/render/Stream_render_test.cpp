// Rendering a tape as it comes, and writing it as a CSW recording.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "render/Csw_writer.h"
#include "render/Tape_builder.h"

namespace {

using namespace TapeBuilder_ns;

class Collect final : public SampleSink {
 public:
  void Put(const int8_t* samples, size_t count) override {
    all.insert(all.end(), samples, samples + count);
  }
  std::vector<int8_t> all;
};

class PulseList final : public PulseSink {
 public:
  void Pulse(uint32_t length) override { lengths.push_back(length); }
  std::vector<uint32_t> lengths;
};

Tape ShortTape() {
  TapeLayout layout;
  layout.leadingSilenceSeconds = 0.2;
  layout.firstLeaderSeconds = 0.4;
  layout.dummyAfterSeconds = 0.1;
  layout.blockLeaderSeconds = 0.2;
  layout.trailerSeconds = 0.2;
  layout.trailingSilenceSeconds = 0.2;
  layout.blockSize = 16;
  return StandardTape({{"T", 0x1900, 0x1900, std::vector<uint8_t>(40, 0x5A)}}, layout);
}

// The tape given a half cycle or a bit of silence at a time, as a UEF image is played.
std::vector<int8_t> StreamedInPieces(const Tape& tape, const RenderOptions& options,
                                     uint64_t* counted) {
  Collect sink;
  StreamRenderer renderer(options, &sink);
  StreamRenderer timing(options, nullptr);
  for (const Segment& segment : tape.Segments()) {
    if (segment.kind == SegmentKind::Tone) {
      for (uint64_t k = 0; k < segment.halfCycles; ++k) {
        renderer.Tone(segment.frequencyHz, 1);
        timing.Tone(segment.frequencyHz, 1);
      }
    } else {
      renderer.Silence(segment.seconds / 2);
      renderer.Silence(segment.seconds / 2);
      timing.Silence(segment.seconds);
    }
  }
  const uint64_t soFar = timing.SamplesSoFar();
  *counted = timing.Finish();
  EXPECT_EQ(soFar, *counted);
  const uint64_t rendered = renderer.Finish();
  EXPECT_EQ(rendered, sink.all.size());
  return sink.all;
}

TEST(StreamRenderer, GivesRenderSamplesOutputAndTimingAloneCountsIt) {
  RenderOptions noisy;
  noisy.sampleRate = 48000;
  noisy.noiseStdDev = 6;
  noisy.driftAmplitude = 10;
  noisy.driftFrequencyHz = 3;
  noisy.phaseDegrees = 90;
  RenderOptions fast;
  fast.speed = 1.02;
  fast.shape = WaveShape::Square;
  RenderOptions wobbly;
  wobbly.wowDepth = 0.03;
  wobbly.wowFrequencyHz = 2;
  RenderOptions worn = noisy;
  worn.flutterDepth = 0.02;
  worn.flutterFrequencyHz = 15;
  worn.jitter = 0.2;
  worn.faults.trebleCutHz = 2000;
  worn.faults.trebleOrder = 2;
  worn.faults.bassCutHz = 300;
  worn.faults.humLevel = 0.1;
  worn.faults.clicksPerSecond = 20;
  worn.faults.clickLevel = 1;
  worn.faults.fadesPerSecond = 5;
  worn.faults.fadeDepthDb = 20;
  worn.faults.echoSeconds = 0.01;
  worn.faults.echoLevel = 0.1;
  for (const RenderOptions& options : {RenderOptions{}, noisy, fast, wobbly, worn}) {
    SCOPED_TRACE(options.sampleRate + options.speed + options.wowDepth);
    const Tape tape = ShortTape();
    uint64_t counted = 0;
    const std::vector<int8_t> streamed = StreamedInPieces(tape, options, &counted);
    EXPECT_EQ(streamed, RenderSamples(tape, options));
    EXPECT_EQ(counted, streamed.size());
  }
}

// Lengths of the runs of one sign in a square render: the half cycles as they were placed.
std::vector<size_t> RunLengths(const std::vector<int8_t>& samples) {
  std::vector<size_t> runs;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (i == 0 || (samples[i] > 0) != (samples[i - 1] > 0))
      runs.push_back(0);
    ++runs.back();
  }
  return runs;
}

TEST(StreamRenderer, WowSwingsTheWaveLengthsBothWaysWithoutChangingTheAverage) {
  const Tape carrier = TapeWriter().Carrier(24000).Take();  // 10 s of 2400 Hz
  RenderOptions options;
  options.shape = WaveShape::Square;
  options.sampleRate = 96000;  // 20 samples a half cycle
  options.wowDepth = 0.05;
  options.wowFrequencyHz = 1;
  const std::vector<int8_t> samples = RenderSamples(carrier, options);
  std::vector<size_t> runs = RunLengths(samples);
  runs.erase(runs.begin());  // the edges may cut the first and last short
  runs.pop_back();
  const auto [shortest, longest] = std::minmax_element(runs.begin(), runs.end());
  EXPECT_LE(*shortest, 19u);
  EXPECT_GE(*longest, 21u);
  EXPECT_GE(*shortest, 18u);
  EXPECT_LE(*longest, 22u);
  // Ten whole swings: the recording is as long as without wow.
  EXPECT_NEAR(static_cast<double>(samples.size()), 960000.0, 2.0);
}

// The root mean square of samples [from, to).
double Rms(const std::vector<float>& samples, size_t from, size_t to) {
  double sum = 0.0;
  for (size_t i = from; i < to; ++i)
    sum += double{samples[i]} * samples[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

TEST(StreamRenderer, TheFaultsOfWornTapesChangeTheWavesAsTheirModelsSay) {
  // One second of each tone.
  const Tape tones = TapeWriter().Cycles(1200, 1200).Cycles(2400, 2400).Take();
  const double sine = 100.0 / std::sqrt(2.0);
  auto gains = [&](const RenderOptions& options) {
    const std::vector<float> samples = RenderFloatSamples(tones, options);
    EXPECT_EQ(samples.size(), 88200u);
    // The middle of each second, after the filters have settled.
    return std::make_pair(Rms(samples, 11025, 33075) / sine, Rms(samples, 55125, 77175) / sine);
  };
  RenderOptions options;
  const auto clean = gains(options);
  EXPECT_NEAR(clean.first, 1.0, 0.001);
  EXPECT_NEAR(clean.second, 1.0, 0.001);
  // Treble loss: a Butterworth low-pass's gain 1 / sqrt(1 + (f / fc)^(2n)).
  options.faults.trebleCutHz = 1500;
  auto treble = gains(options);
  EXPECT_NEAR(treble.first, 1.0 / std::sqrt(1.0 + 0.64), 0.01);
  EXPECT_NEAR(treble.second, 1.0 / std::sqrt(1.0 + 2.56), 0.01);
  options.faults.trebleOrder = 2;
  treble = gains(options);
  EXPECT_NEAR(treble.first, 1.0 / std::sqrt(1.0 + 0.64 * 0.64), 0.01);
  EXPECT_NEAR(treble.second, 1.0 / std::sqrt(1.0 + 2.56 * 2.56), 0.01);
  // Bass loss: a first-order high-pass, 3 dB down at its cut-off.
  options = RenderOptions{};
  options.faults.bassCutHz = 1200;
  const auto bass = gains(options);
  EXPECT_NEAR(bass.first, std::sqrt(0.5), 0.01);
  EXPECT_NEAR(bass.second, 1.0 / std::sqrt(1.25), 0.01);

  // Fades: the level falls by their depth for 20 to 200 ms, and comes back.
  options = RenderOptions{};
  options.faults.fadesPerSecond = 2;
  options.faults.fadeDepthDb = 30;
  const Tape carrier = TapeWriter().Carrier(24000).Take();  // 10 s
  const std::vector<float> faded = RenderFloatSamples(carrier, options);
  size_t quiet = 0, loud = 0;
  for (size_t at = 0; at + 441 <= faded.size(); at += 441) {  // 10 ms at a time
    const double level = Rms(faded, at, at + 441) / sine;
    quiet += level < 0.04 ? 1u : 0u;
    loud += level > 0.99 ? 1u : 0u;
  }
  EXPECT_GT(quiet, 40u);  // 2 fades a second of 20 to 200 ms: about 1.6 s of 10
  EXPECT_LT(quiet, 400u);
  EXPECT_GT(loud, 500u);

  // Hum, clicks and print-through over silence and a short burst of tone.
  options = RenderOptions{};
  options.faults.humLevel = 0.1;
  const Tape silence = TapeWriter().Gap(1.0).Take();
  const std::vector<float> hum = RenderFloatSamples(silence, options);
  EXPECT_NEAR(hum[1000], hum[1000 + 882], 1e-3);  // 50 Hz: 882 samples a cycle
  EXPECT_GT(*std::max_element(hum.begin(), hum.end()), 10.0f);
  options = RenderOptions{};
  options.faults.clicksPerSecond = 50;
  options.faults.clickLevel = 2;
  const std::vector<float> clicks = RenderFloatSamples(silence, options);
  const auto peaks = std::count_if(clicks.begin(), clicks.end(),
                                   [](float value) { return std::fabs(value) > 190.0f; });
  EXPECT_GT(peaks, 25);  // 50 on average in the second
  EXPECT_LT(peaks, 80);
  options = RenderOptions{};
  options.faults.echoSeconds = 0.1;
  options.faults.echoLevel = 0.1;
  const std::vector<float> echoed =
      RenderFloatSamples(TapeWriter().Cycles(2400, 240).Gap(0.5).Take(), options);
  EXPECT_NEAR(Rms(echoed, 4410 + 441, 4410 + 3969) / sine, 0.1, 0.005);  // 0.1 s on
  EXPECT_LT(Rms(echoed, 12000, 20000), 1e-6);
}

TEST(StreamRenderer, JitterMovesTheEdgesButNotTheRunsOfTone) {
  const Tape carrier = TapeWriter().Carrier(2400).Take();  // 1 s
  RenderOptions options;
  options.shape = WaveShape::Square;
  options.sampleRate = 96000;  // 20 samples a half cycle
  const size_t plain = RenderSamples(carrier, options).size();
  options.jitter = 0.3;
  const std::vector<int8_t> samples = RenderSamples(carrier, options);
  EXPECT_EQ(samples.size(), plain);
  std::vector<size_t> runs = RunLengths(samples);
  const auto [shortest, longest] = std::minmax_element(runs.begin(), runs.end());
  EXPECT_LE(*shortest, 16u);  // up to 6 samples shorter or longer
  EXPECT_GE(*longest, 24u);
  EXPECT_GE(*shortest, 13u);
  EXPECT_LE(*longest, 27u);
  RenderOptions tooMuch;
  tooMuch.jitter = 0.5;
  EXPECT_THROW({ StreamRenderer renderer(tooMuch, nullptr); }, std::invalid_argument);
  tooMuch = RenderOptions{};
  tooMuch.faults.trebleCutHz = 30000;
  EXPECT_THROW({ StreamRenderer renderer(tooMuch, nullptr); }, std::invalid_argument);
}

TEST(StreamRenderer, DropoutsSilenceTheSignalOnlyWhereTheyAre) {
  const Tape carrier = TapeWriter().Carrier(2400).Take();  // 1 s
  RenderOptions options;
  options.sampleRate = 10000;
  options.dropouts = {{0.5, 0.1}, {0.2, 0.05}, {0.22, 0.05}};  // the last two overlap
  const std::vector<int8_t> samples = RenderSamples(carrier, options);
  auto silent = [&](size_t from, size_t to) {
    return std::all_of(samples.begin() + long(from), samples.begin() + long(to),
                       [](int8_t s) { return s == 0; });
  };
  EXPECT_TRUE(silent(5000, 6000));
  EXPECT_TRUE(silent(2000, 2700));
  EXPECT_FALSE(silent(1990, 2000));
  EXPECT_FALSE(silent(2700, 2710));
  EXPECT_FALSE(silent(6000, 6010));
  RenderOptions tooMuchWow;
  tooMuchWow.wowDepth = 0.6;
  tooMuchWow.wowFrequencyHz = 1;
  EXPECT_THROW({ StreamRenderer renderer(tooMuchWow, nullptr); }, std::invalid_argument);
}

TEST(SignRunPulses, SquareRenderGivesRenderPulsesExactly) {
  const Tape tape =
      TapeWriter().Gap(0.01).Carrier(20).Byte(0x35).Gap(0.02).HalfCycles(1200, 3).Take();
  for (const double phase : {0.0, 180.0}) {
    RenderOptions options;
    options.shape = WaveShape::Square;
    options.phaseDegrees = phase;
    PulseList list;
    SignRunPulses runs(list);
    StreamRenderer renderer(options, &runs);
    renderer.Append(tape);
    renderer.Finish();
    runs.Finish();
    const PulseTrain expected = RenderPulses(tape, options.sampleRate, 1.0, phase == 0.0);
    EXPECT_EQ(list.lengths, expected.lengths);
    EXPECT_EQ(runs.InitialHigh(), expected.initialHigh);
    EXPECT_EQ(runs.PulseCount(), expected.lengths.size());
  }

  PulseList silent;
  SignRunPulses zeros(silent);
  const std::vector<int8_t> nothing(500, 0);
  zeros.Put(nothing.data(), nothing.size());
  zeros.Finish();
  EXPECT_EQ(silent.lengths, std::vector<uint32_t>{500});
  EXPECT_FALSE(zeros.InitialHigh());
}

std::string Inflate(const std::string& packed) {
  std::string out(1 << 20, '\0');
  uLongf size = static_cast<uLongf>(out.size());
  EXPECT_EQ(
      uncompress(reinterpret_cast<Bytef*>(&out[0]), &size,
                 reinterpret_cast<const Bytef*>(packed.data()), static_cast<uLong>(packed.size())),
      Z_OK);
  out.resize(size);
  return out;
}

TEST(CswStreamWriter, WritesWhatEncodeCswEncodesAndChecksTheCount) {
  std::vector<uint32_t> pulses;
  for (uint32_t i = 0; i < 100000; ++i)
    pulses.push_back(i % 7 == 0 ? 300 + i : (i % 5 == 0 ? 0 : 1 + i % 255));
  for (const CswCompression compression : {CswCompression::Rle, CswCompression::ZRle}) {
    std::ostringstream out;
    CswStreamWriter writer(out, 48000, static_cast<uint32_t>(pulses.size()), compression, false,
                           "TapeBuilder");
    for (uint32_t pulse : pulses)
      writer.Pulse(pulse);
    writer.Finish();
    const std::vector<uint8_t> reference = EncodeCsw(pulses, 48000, compression, false);
    const std::string expected(reference.begin(), reference.end());
    const std::string written = out.str();
    ASSERT_GE(written.size(), 52u);
    EXPECT_EQ(written.substr(0, 52), expected.substr(0, 52));
    if (compression == CswCompression::Rle)
      EXPECT_EQ(written, expected);
    else
      EXPECT_EQ(Inflate(written.substr(52)), Inflate(expected.substr(52)));
  }

  std::ostringstream out;
  CswStreamWriter writer(out, 44100, 3, CswCompression::Rle, true, "x");
  writer.Pulse(5);
  EXPECT_THROW(writer.Finish(), std::runtime_error);
}

}  // namespace
