#include "render/TapeBuilder.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <utility>

#include "blocks/Block_header.h"

namespace TapeBuilder_ns {

namespace {

constexpr double kPi = 3.14159265358979323846;

void PutLe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFFu));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<uint8_t>((value >> shift) & 0xFFu));
}

// CRCs on tape are stored high byte first, unlike every other field.
void PutBe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value & 0xFFu));
}

void PutText(std::vector<uint8_t>& out, const char* text, size_t width) {
  size_t i = 0;
  for (; text[i] != '\0' && i < width; ++i)
    out.push_back(static_cast<uint8_t>(text[i]));
  for (; i < width; ++i)
    out.push_back(0);
}

uint32_t CheckedU32(size_t value, const char* what) {
  if (value > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument(std::string(what) + " does not fit in 32 bits");
  return static_cast<uint32_t>(value);
}

// Index of the first sample at or after position x (in samples). Sample n
// stands for the instant n + 0.5, so this counts the instants before x.
uint64_t SampleIndexAt(double x) {
  if (x <= 0.5)
    return 0;
  return static_cast<uint64_t>(std::ceil(x - 0.5));
}

// Walks the tape in order, calling onHalfCycle(start, end, index) for each
// half cycle and onSilence(start, end) for each silence, with positions in
// samples at samplesPerSecond. Positions within a tone are computed from the
// segment start rather than summed cycle by cycle, so rounding error does not
// build up. Returns the end position of the tape.
template <typename HalfCycleFn, typename SilenceFn>
double WalkTape(const Tape& tape, double samplesPerSecond, HalfCycleFn onHalfCycle,
                SilenceFn onSilence) {
  double segmentStart = 0.0;
  uint64_t halfCycleIndex = 0;
  for (const Segment& segment : tape.Segments()) {
    if (segment.kind == SegmentKind::Tone) {
      const double halfLength = samplesPerSecond / (2.0 * segment.frequencyHz);
      for (uint64_t k = 0; k < segment.halfCycles; ++k) {
        const double start = segmentStart + static_cast<double>(k) * halfLength;
        const double end = segmentStart + static_cast<double>(k + 1) * halfLength;
        onHalfCycle(start, end, halfCycleIndex++);
      }
      segmentStart += static_cast<double>(segment.halfCycles) * halfLength;
    } else {
      const double end = segmentStart + segment.seconds * samplesPerSecond;
      onSilence(segmentStart, end);
      segmentStart = end;
    }
  }
  return segmentStart;
}

double SamplesPerSecond(uint32_t sampleRate, double speed) {
  if (sampleRate == 0)
    throw std::invalid_argument("sample rate must be positive");
  if (!std::isfinite(speed) || speed <= 0.0)
    throw std::invalid_argument("speed must be finite and positive");
  return static_cast<double>(sampleRate) / speed;
}

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

  // Uniform in (0, 1], never 0 so the logarithm above is finite.
  double Uniform() { return static_cast<double>((Next() >> 11) + 1) * 0x1.0p-53; }

  uint64_t state_ = 0;
  double spare_ = 0.0;
  bool haveSpare_ = false;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file)
    throw std::runtime_error("cannot open " + path + " for writing");
  if (!bytes.empty())
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file)
    throw std::runtime_error("cannot write " + path);
}

}  // namespace

// ---------------------------------------------------------------------------
// Bytes

uint16_t Crc16(const uint8_t* data, size_t n) {
  return BlockProcessing_ns::BlockChecksum(data, n);
}

uint16_t Crc16(const std::vector<uint8_t>& data) {
  return Crc16(data.data(), data.size());
}

std::vector<uint8_t> BlockBytes(const BlockSpec& block) {
  if (block.name.empty() || block.name.size() > kMaxNameLength)
    throw std::invalid_argument("block name must be 1 to 10 characters: '" + block.name + "'");
  if (block.name.find('\0') != std::string::npos)
    throw std::invalid_argument("block name must not contain a NUL character");
  if (block.data.size() > 0xFFFFu)
    throw std::invalid_argument("block data must be at most 65535 bytes");

  std::vector<uint8_t> out;
  out.reserve(1 + block.name.size() + 1 + kHeaderLength + 2 + block.data.size() + 2);
  out.push_back(kSyncByte);

  const size_t headerStart = out.size();
  for (char c : block.name)
    out.push_back(static_cast<uint8_t>(c));
  out.push_back(0);
  PutLe32(out, block.load);
  PutLe32(out, block.exec);
  PutLe16(out, block.number);
  PutLe16(out, static_cast<uint16_t>(block.data.size()));
  out.push_back(block.flag);
  PutLe32(out, block.nextFile);
  PutBe16(out, Crc16(out.data() + headerStart, out.size() - headerStart));

  if (!block.data.empty()) {
    out.insert(out.end(), block.data.begin(), block.data.end());
    if (!block.omitDataCrc)
      PutBe16(out, Crc16(block.data));
  }
  return out;
}

std::vector<BlockSpec> FileBlocks(const std::string& name, uint32_t load, uint32_t exec,
                                  const std::vector<uint8_t>& data, size_t blockSize) {
  if (blockSize == 0 || blockSize > 0xFFFFu)
    throw std::invalid_argument("block size must be 1 to 65535");
  const size_t blockCount = data.empty() ? 1 : (data.size() + blockSize - 1) / blockSize;
  if (blockCount > 0x10000u)
    throw std::invalid_argument("file needs more than 65536 blocks");

  std::vector<BlockSpec> blocks;
  blocks.reserve(blockCount);
  for (size_t i = 0; i < blockCount; ++i) {
    BlockSpec block;
    block.name = name;
    block.load = load;
    block.exec = exec;
    block.number = static_cast<uint16_t>(i);
    const size_t begin = i * blockSize;
    const size_t end = std::min(data.size(), begin + blockSize);
    block.data.assign(data.begin() + static_cast<std::ptrdiff_t>(begin),
                      data.begin() + static_cast<std::ptrdiff_t>(end));
    if (i + 1 == blockCount)
      block.flag = static_cast<uint8_t>(block.flag | kFlagLastBlock);
    if (block.data.empty())
      block.flag = static_cast<uint8_t>(block.flag | kFlagNoData);
    blocks.push_back(std::move(block));
  }
  return blocks;
}

// ---------------------------------------------------------------------------
// Waves

double Segment::DurationSeconds() const {
  if (kind == SegmentKind::Tone)
    return static_cast<double>(halfCycles) / (2.0 * frequencyHz);
  return seconds;
}

void Tape::AppendTone(double frequencyHz, uint64_t halfCycles) {
  if (!std::isfinite(frequencyHz) || frequencyHz <= 0.0)
    throw std::invalid_argument("tone frequency must be finite and positive");
  if (halfCycles == 0)
    return;
  if (!segments_.empty()) {
    Segment& last = segments_.back();
    if (last.kind == SegmentKind::Tone && last.frequencyHz == frequencyHz) {
      last.halfCycles += halfCycles;
      return;
    }
  }
  Segment segment;
  segment.kind = SegmentKind::Tone;
  segment.frequencyHz = frequencyHz;
  segment.halfCycles = halfCycles;
  segments_.push_back(segment);
}

void Tape::AppendSilence(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0.0)
    throw std::invalid_argument("silence length must be finite and non-negative");
  if (seconds == 0.0)
    return;
  if (!segments_.empty() && segments_.back().kind == SegmentKind::Silence) {
    segments_.back().seconds += seconds;
    return;
  }
  Segment segment;
  segment.kind = SegmentKind::Silence;
  segment.seconds = seconds;
  segments_.push_back(segment);
}

void Tape::Append(const Tape& other) {
  // Copy first so that appending a tape to itself is safe.
  const std::vector<Segment> segments = other.segments_;
  for (const Segment& segment : segments) {
    if (segment.kind == SegmentKind::Tone)
      AppendTone(segment.frequencyHz, segment.halfCycles);
    else
      AppendSilence(segment.seconds);
  }
}

double Tape::DurationSeconds() const {
  double total = 0.0;
  for (const Segment& segment : segments_)
    total += segment.DurationSeconds();
  return total;
}

uint64_t Tape::HalfCycleCount() const {
  uint64_t total = 0;
  for (const Segment& segment : segments_)
    if (segment.kind == SegmentKind::Tone)
      total += segment.halfCycles;
  return total;
}

TapeWriter& TapeWriter::Carrier(uint32_t cycles) {
  return Cycles(kShortWaveHz, cycles);
}

TapeWriter& TapeWriter::CarrierSeconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0.0)
    throw std::invalid_argument("carrier length must be finite and non-negative");
  const double cycles = std::round(seconds * kShortWaveHz);
  if (cycles > static_cast<double>(std::numeric_limits<uint32_t>::max()))
    throw std::invalid_argument("carrier too long");
  return Carrier(static_cast<uint32_t>(cycles));
}

TapeWriter& TapeWriter::Bit(bool one) {
  return one ? Cycles(kShortWaveHz, 2) : Cycles(kLongWaveHz, 1);
}

TapeWriter& TapeWriter::Byte(uint8_t value) {
  Bit(false);
  for (unsigned bit = 0; bit < 8; ++bit)
    Bit(((static_cast<unsigned>(value) >> bit) & 1u) != 0);
  return Bit(true);
}

TapeWriter& TapeWriter::Bytes(const std::vector<uint8_t>& values) {
  for (uint8_t value : values)
    Byte(value);
  return *this;
}

TapeWriter& TapeWriter::Block(const BlockSpec& block) {
  return Bytes(BlockBytes(block));
}

TapeWriter& TapeWriter::DummyByte() {
  return Byte(kDummyByte);
}

TapeWriter& TapeWriter::Gap(double seconds) {
  tape_.AppendSilence(seconds);
  return *this;
}

TapeWriter& TapeWriter::Cycles(double frequencyHz, uint32_t count) {
  tape_.AppendTone(frequencyHz, 2 * static_cast<uint64_t>(count));
  return *this;
}

TapeWriter& TapeWriter::HalfCycles(double frequencyHz, uint32_t count) {
  tape_.AppendTone(frequencyHz, count);
  return *this;
}

TapeWriter& TapeWriter::Append(const Tape& tape) {
  tape_.Append(tape);
  return *this;
}

Tape TapeWriter::Take() {
  Tape result = std::move(tape_);
  tape_ = Tape();
  return result;
}

Tape StandardTape(const std::vector<FileSpec>& files, const TapeLayout& layout) {
  TapeWriter writer;
  writer.Gap(layout.leadingSilenceSeconds);
  for (size_t fileIndex = 0; fileIndex < files.size(); ++fileIndex) {
    const FileSpec& file = files[fileIndex];
    if (fileIndex > 0) {
      if (layout.securityCycles > 0) {
        writer.Gap(layout.fileGapSeconds / 2.0)
            .Cycles(kShortWaveHz, layout.securityCycles)
            .Gap(layout.fileGapSeconds / 2.0);
      } else {
        writer.Gap(layout.fileGapSeconds);
      }
    }
    const std::vector<BlockSpec> blocks =
        FileBlocks(file.name, file.load, file.exec, file.data, layout.blockSize);
    for (size_t blockIndex = 0; blockIndex < blocks.size(); ++blockIndex) {
      if (blockIndex == 0) {
        if (layout.dummyByte) {
          const double before =
              std::clamp(layout.dummyAfterSeconds, 0.0, layout.firstLeaderSeconds);
          writer.CarrierSeconds(before).DummyByte().CarrierSeconds(layout.firstLeaderSeconds -
                                                                   before);
        } else {
          writer.CarrierSeconds(layout.firstLeaderSeconds);
        }
      } else {
        writer.Gap(layout.interBlockGapSeconds).CarrierSeconds(layout.blockLeaderSeconds);
      }
      writer.Block(blocks[blockIndex]);
    }
    writer.CarrierSeconds(layout.trailerSeconds);
  }
  writer.Gap(layout.trailingSilenceSeconds);
  return writer.Take();
}

// ---------------------------------------------------------------------------
// Rendering

double NoiseStdDevForSnr(double amplitude, WaveShape shape, double snrDb) {
  const double signalRms = shape == WaveShape::Sine ? amplitude / std::sqrt(2.0) : amplitude;
  return signalRms / std::pow(10.0, snrDb / 20.0);
}

class StreamRenderer::Impl {
 public:
  Impl(const RenderOptions& options, SampleSink* sink)
      : options_(options),
        sink_(sink),
        samplesPerSecond_(SamplesPerSecond(options.sampleRate, options.speed)),
        phaseHalves_(std::fmod(options.phaseDegrees, 360.0) / 180.0),
        rate_(static_cast<double>(options.sampleRate)),
        addDrift_(options.driftAmplitude != 0.0 && options.driftFrequencyHz != 0.0),
        noise_(options.noiseSeed) {
    if (!(options.wowDepth >= 0.0 && options.wowDepth < 0.5) ||
        !std::isfinite(options.wowFrequencyHz) || options.wowFrequencyHz < 0.0)
      throw std::invalid_argument("wow depth must be 0 to 0.5 and its frequency finite");
    if (options.wowDepth > 0.0 && options.wowFrequencyHz > 0.0) {
      // Positions move by the integral of the speed swing, so no error builds up.
      wowOmega_ = 2.0 * kPi * options.wowFrequencyHz / samplesPerSecond_;
      wowScale_ = options.wowDepth / wowOmega_;
    }
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
    double end = segmentStart_;
    if (hasPending_)
      end = SegmentEnd(pending_);
    return SampleIndexAt(Warp(end));
  }

  uint64_t Finish() {
    CheckOpen();
    RenderPending();
    finished_ = true;
    if (sink_ == nullptr)
      return SampleIndexAt(Warp(segmentStart_));
    FlushBuffer();
    return count_;
  }

 private:
  static constexpr size_t kBufferSize = 1 << 16;

  void CheckOpen() const {
    if (finished_)
      throw std::invalid_argument("the rendering has been finished");
  }

  double HalfLength(const Segment& segment) const {
    return samplesPerSecond_ / (2.0 * segment.frequencyHz);
  }

  // Where a segment starting at the current position ends, in samples before the wow.
  double SegmentEnd(const Segment& segment) const {
    if (segment.kind == SegmentKind::Tone)
      return segmentStart_ + static_cast<double>(segment.halfCycles) * HalfLength(segment);
    return segmentStart_ + segment.seconds * samplesPerSecond_;
  }

  double Warp(double x) const {
    if (wowOmega_ == 0.0)
      return x;
    return x + wowScale_ * (1.0 - std::cos(wowOmega_ * x));
  }

  void RenderPending() {
    if (!hasPending_)
      return;
    hasPending_ = false;
    const double end = SegmentEnd(pending_);
    if (sink_ != nullptr) {
      if (pending_.kind == SegmentKind::Tone) {
        // Positions within a tone are computed from the segment start rather
        // than summed cycle by cycle, so rounding error does not build up.
        const double halfLength = HalfLength(pending_);
        for (uint64_t k = 0; k < pending_.halfCycles; ++k) {
          const double start = segmentStart_ + static_cast<double>(k) * halfLength;
          const double stop = segmentStart_ + static_cast<double>(k + 1) * halfLength;
          HalfCycle(Warp(start), Warp(stop), halfCycleIndex_ + k);
        }
      } else {
        const uint64_t last = SampleIndexAt(Warp(end));
        while (count_ < last)
          Emit(0.0);
      }
    }
    if (pending_.kind == SegmentKind::Tone)
      halfCycleIndex_ += pending_.halfCycles;
    segmentStart_ = end;
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
    const double t = static_cast<double>(count_) / rate_;
    double value = signal + options_.dcOffset;
    if (addDrift_)
      value += options_.driftAmplitude * std::sin(2.0 * kPi * options_.driftFrequencyHz * t);
    if (options_.noiseStdDev > 0.0)
      value += options_.noiseStdDev * noise_.Gaussian();
    const double clamped = std::clamp(std::round(value), -128.0, 127.0);
    buffer_[fill_++] = static_cast<int8_t>(static_cast<int>(clamped));
    ++count_;
    if (fill_ == buffer_.size())
      FlushBuffer();
  }

  void FlushBuffer() {
    if (fill_ > 0)
      sink_->Put(buffer_.data(), fill_);
    fill_ = 0;
  }

  const RenderOptions options_;
  SampleSink* const sink_;
  const double samplesPerSecond_;
  const double phaseHalves_;  // 180 degrees is one half cycle
  const double rate_;
  const bool addDrift_;
  double wowOmega_ = 0.0;
  double wowScale_ = 0.0;
  NoiseSource noise_;
  std::vector<std::pair<uint64_t, uint64_t>> dropouts_;  // [first, end) sample numbers
  size_t dropoutIndex_ = 0;

  Segment pending_;
  bool hasPending_ = false;
  bool finished_ = false;
  double segmentStart_ = 0.0;  // in samples, before the wow
  uint64_t halfCycleIndex_ = 0;
  uint64_t count_ = 0;  // samples emitted
  std::vector<int8_t> buffer_;
  size_t fill_ = 0;
};

StreamRenderer::StreamRenderer(const RenderOptions& options, SampleSink* sink)
    : impl_(std::make_unique<Impl>(options, sink)) {}

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

PulseTrain RenderPulses(const Tape& tape, uint32_t sampleRate, double speed,
                        bool firstHalfCycleHigh) {
  const double samplesPerSecond = SamplesPerSecond(sampleRate, speed);
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

  const double end = WalkTape(tape, samplesPerSecond, onHalfCycle, onSilence);
  if (pulseOpen)
    closePulse(SampleIndexAt(end));
  return train;
}

// ---------------------------------------------------------------------------
// Files

std::vector<uint8_t> WavHeader(uint32_t sampleRate, uint32_t dataLength, bool padded) {
  const uint32_t pad = padded ? dataLength % 2 : 0;
  if (dataLength > std::numeric_limits<uint32_t>::max() - 36 - pad)
    throw std::invalid_argument("WAV data too large");
  std::vector<uint8_t> out;
  out.reserve(44);
  PutText(out, "RIFF", 4);
  PutLe32(out, 36 + dataLength + pad);
  PutText(out, "WAVE", 4);
  PutText(out, "fmt ", 4);
  PutLe32(out, 16);  // fmt chunk size
  PutLe16(out, 1);   // PCM
  PutLe16(out, 1);   // mono
  PutLe32(out, sampleRate);
  PutLe32(out, sampleRate);  // byte rate: one byte per sample
  PutLe16(out, 1);           // block align
  PutLe16(out, 8);           // bits per sample
  PutText(out, "data", 4);
  PutLe32(out, dataLength);
  return out;
}

std::vector<uint8_t> EncodeWav(const std::vector<int8_t>& samples, uint32_t sampleRate) {
  const uint32_t dataSize = CheckedU32(samples.size(), "WAV data");
  std::vector<uint8_t> out = WavHeader(sampleRate, dataSize, true);
  out.reserve(44 + samples.size() + 1);
  for (int8_t sample : samples)
    out.push_back(static_cast<uint8_t>(static_cast<int>(sample) + 128));
  if (dataSize % 2 != 0)
    out.push_back(0);
  return out;
}

std::vector<uint8_t> CswHeader(uint32_t sampleRate, uint32_t pulseCount, CswCompression compression,
                               bool initialPolarityHigh, const char* application) {
  if (compression != CswCompression::Rle && compression != CswCompression::ZRle)
    throw std::invalid_argument("unknown CSW compression");
  std::vector<uint8_t> out;
  out.reserve(52);
  PutText(out, "Compressed Square Wave", 22);
  out.push_back(0x1A);
  out.push_back(2);  // major version
  out.push_back(0);  // minor version
  PutLe32(out, sampleRate);
  PutLe32(out, pulseCount);
  out.push_back(static_cast<uint8_t>(compression));
  out.push_back(initialPolarityHigh ? 0x01 : 0x00);
  out.push_back(0);  // header extension length
  PutText(out, application, 16);
  return out;
}

void AppendCswPulse(std::vector<uint8_t>& out, uint32_t pulse) {
  if (pulse >= 1 && pulse <= 255) {
    out.push_back(static_cast<uint8_t>(pulse));
  } else {
    out.push_back(0);
    PutLe32(out, pulse);
  }
}

std::vector<uint8_t> EncodeCsw(const std::vector<uint32_t>& pulses, uint32_t sampleRate,
                               CswCompression compression, bool initialPolarityHigh) {
  std::vector<uint8_t> out = CswHeader(sampleRate, CheckedU32(pulses.size(), "CSW pulse count"),
                                       compression, initialPolarityHigh, "TapeBuilder");

  std::vector<uint8_t> rle;
  rle.reserve(pulses.size());
  for (uint32_t pulse : pulses)
    AppendCswPulse(rle, pulse);

  if (compression == CswCompression::Rle) {
    out.insert(out.end(), rle.begin(), rle.end());
    return out;
  }

  uLongf packedSize = compressBound(static_cast<uLong>(rle.size()));
  std::vector<uint8_t> packed(static_cast<size_t>(packedSize));
  const int status = compress2(packed.data(), &packedSize, rle.data(),
                               static_cast<uLong>(rle.size()), Z_BEST_COMPRESSION);
  if (status != Z_OK)
    throw std::runtime_error("zlib compression failed");
  packed.resize(static_cast<size_t>(packedSize));
  out.insert(out.end(), packed.begin(), packed.end());
  return out;
}

void WriteRaw(const std::string& path, const std::vector<int8_t>& samples, bool signedData) {
  std::vector<uint8_t> bytes;
  bytes.reserve(samples.size());
  for (int8_t sample : samples) {
    const int value = signedData ? static_cast<int>(sample) & 0xFF : static_cast<int>(sample) + 128;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  WriteFile(path, bytes);
}

void WriteWav(const std::string& path, const std::vector<int8_t>& samples, uint32_t sampleRate) {
  WriteFile(path, EncodeWav(samples, sampleRate));
}

void WriteCsw(const std::string& path, const std::vector<uint32_t>& pulses, uint32_t sampleRate,
              CswCompression compression, bool initialPolarityHigh) {
  WriteFile(path, EncodeCsw(pulses, sampleRate, compression, initialPolarityHigh));
}

void WriteCsw(const std::string& path, const PulseTrain& pulses, uint32_t sampleRate,
              CswCompression compression) {
  WriteCsw(path, pulses.lengths, sampleRate, compression, pulses.initialHigh);
}

}  // namespace TapeBuilder_ns
