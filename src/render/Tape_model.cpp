#include "render/Tape_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace TapeBuilder_ns {

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

}  // namespace TapeBuilder_ns
