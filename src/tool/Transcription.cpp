#include "tool/Transcription.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>

#include "demod/Cell_demodulator.h"
#include "sound/Csw_file_handler.h"
#include "sound/Sound_device_base.h"
#include "tool/Recover.h"
#include "tool/Signal_reader.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace Tool_ns {

namespace {

constexpr double kNominalShortHalf = 1.0 / 4800.0;
// A run of this many 1 bits (at 1200 baud) or more is carrier tone, not the stop bits and
// data of bytes: a byte's 1 bits with its stop bits and parity make at most 11 at 1200 baud,
// 44 at 300 baud.
constexpr size_t kToneBits = 48;
// Chunk field limits: a 16-bit count of cycles; gaps in pieces that emulators play whole (beebjit
// counts a gap's 1200ths of a second in 16 bits, 54.6 s at most).
constexpr uint32_t kMostCyclesPerChunk = 65534;
constexpr double kLongestGapChunk = 50.0;
constexpr uint8_t kDummyByte = 0xAA;
// Fewer half-waves than this between two silences are noise in one silence.
constexpr size_t kNoiseHalves = 16;

// Frames enough to tell framings apart, however long the stream.
constexpr size_t kFramesCompared = 64;

// The framings tried, in the order preferred where two read the same bits.
struct Framing {
  unsigned dataBits;
  char parity;
  unsigned stopBits;
  size_t Length() const { return 1 + dataBits + (parity == 'N' ? 0u : 1u) + stopBits; }
};
constexpr Framing kFramings[] = {{8, 'N', 1}, {8, 'N', 2}, {8, 'O', 1}, {8, 'E', 1}, {8, 'O', 2},
                                 {8, 'E', 2}, {7, 'O', 1}, {7, 'E', 1}, {7, 'O', 2}, {7, 'E', 2}};

// A run of half-waves of one kind: high tone, low tone or silence.
enum class HalfKind { kShort, kLong, kSilence };
struct Run {
  HalfKind kind;
  size_t halves = 0;
  double start = 0.0;
  double seconds = 0.0;
};

// A bit read at some baud rate and where it starts.
struct Bit {
  bool one;
  double start;
};

double EstimateShortHalf(const std::vector<double>& halves) {
  std::vector<double> shorts;
  for (double h : halves) {
    if (h > 0.55 * kNominalShortHalf && h < 1.45 * kNominalShortHalf)
      shorts.push_back(h);
  }
  if (shorts.size() < 100)
    return kNominalShortHalf;
  std::nth_element(shorts.begin(), shorts.begin() + static_cast<long>(shorts.size() / 2),
                   shorts.end());
  return shorts[shorts.size() / 2];
}

// Bits of a stretch of tone runs: at 1200 baud a 0 bit is one low cycle (two long halves) and
// a 1 bit two high cycles; at 300 baud four times as many. The bits are counted by
// half-waves, not by time: on real tapes the low tone's half-waves are seldom exactly twice
// as long as the high tone's, and a run of nine 0 bits measured by time can come out as ten.
void AppendBits(const Run& run, unsigned baud, std::vector<Bit>& bits) {
  const size_t scale = baud == 300 ? 4 : 1;
  const size_t halvesPerBit = (run.kind == HalfKind::kLong ? 2 : 4) * scale;
  const size_t count = (run.halves + halvesPerBit / 2) / halvesPerBit;
  for (size_t i = 0; i < count; ++i)
    bits.push_back(
        Bit{run.kind == HalfKind::kShort,
            run.start + run.seconds * static_cast<double>(i) / static_cast<double>(count)});
}

size_t OnesOf(const Run& run) {
  return (run.halves + 2) / 4;
}

// A stretch of 300 baud bits: every run of low tone holds a multiple of four low cycles.
bool At300Baud(const std::vector<Run>& runs, size_t from, size_t to) {
  size_t lows = 0;
  for (size_t r = from; r < to; ++r) {
    if (runs[r].kind != HalfKind::kLong)
      continue;
    const size_t cycles = (runs[r].halves + 1) / 2;
    if (cycles < 3 || (cycles + 1) % 4 > 2)
      return false;
    ++lows;
  }
  // A run or two of low tone alone could be 1200 baud bits as well.
  return lows >= 3;
}

// Reads one frame of the framing at bit p; the byte, or -1 when the bits are not one.
int FrameAt(const std::vector<Bit>& bits, size_t p, const Framing& framing) {
  if (p + framing.Length() > bits.size() || bits[p].one)
    return -1;
  unsigned value = 0;
  unsigned ones = 0;
  for (unsigned b = 0; b < framing.dataBits; ++b) {
    if (bits[p + 1 + b].one) {
      value |= 1u << b;
      ++ones;
    }
  }
  size_t q = p + 1 + framing.dataBits;
  if (framing.parity != 'N') {
    const bool parityBit = bits[q++].one;
    const bool odd = (ones + (parityBit ? 1u : 0u)) % 2 == 1;
    if (odd != (framing.parity == 'O'))
      return -1;
  }
  for (unsigned b = 0; b < framing.stopBits; ++b) {
    if (!bits[q++].one)
      return -1;
  }
  return static_cast<int>(value);
}

size_t OnesFrom(const std::vector<Bit>& bits, size_t p) {
  size_t q = p;
  while (q < bits.size() && bits[q].one)
    ++q;
  return q - p;
}

// How many frames of this framing (up to kFramesCompared) follow one another from bit p on,
// back to back: a framing that reads a stream without bits left over between its bytes is
// the stream's own (8N1 reads an 8N2 stream too, but leaves a 1 bit after every byte).
size_t FramesFrom(const std::vector<Bit>& bits, size_t p, const Framing& framing) {
  size_t frames = 0;
  while (frames < kFramesCompared && FrameAt(bits, p, framing) >= 0) {
    ++frames;
    p += framing.Length();
  }
  return frames;
}

class Transcriber {
 public:
  explicit Transcriber(std::vector<TapeEvent>& events) : events_(events) {}

  void Tone(uint64_t cycles, double start, double end) {
    if (cycles == 0)
      return;
    if (!events_.empty() && events_.back().kind == TapeEvent::Kind::kTone) {
      events_.back().cycles += static_cast<uint32_t>(cycles);
      events_.back().endSeconds = end;
      return;
    }
    TapeEvent event;
    event.kind = TapeEvent::Kind::kTone;
    event.cycles = static_cast<uint32_t>(cycles);
    event.startSeconds = start;
    event.endSeconds = end;
    events_.push_back(event);
  }

  void Gap(double start, double seconds) {
    if (!events_.empty() && events_.back().kind == TapeEvent::Kind::kGap) {
      events_.back().endSeconds = start + seconds;
      return;
    }
    TapeEvent event;
    event.kind = TapeEvent::Kind::kGap;
    event.startSeconds = start;
    event.endSeconds = start + seconds;
    events_.push_back(event);
  }

  void Security(bool one, unsigned baud, double start, double end) {
    if (events_.empty() || events_.back().kind != TapeEvent::Kind::kSecurity) {
      TapeEvent event;
      event.kind = TapeEvent::Kind::kSecurity;
      event.startSeconds = start;
      events_.push_back(event);
    }
    TapeEvent& event = events_.back();
    const size_t cycles = (one ? 2u : 1u) * (baud == 300 ? 4u : 1u);
    event.securityCycles.insert(event.securityCycles.end(), cycles, one);
    event.endSeconds = end;
  }

  void Byte(int value, const Framing& framing, unsigned baud, double start, double end) {
    TapeEvent* event = events_.empty() ? nullptr : &events_.back();
    if (event == nullptr || event->kind != TapeEvent::Kind::kData || event->baud != baud ||
        event->dataBits != framing.dataBits || event->parity != framing.parity ||
        event->stopBits != framing.stopBits) {
      TapeEvent data;
      data.kind = TapeEvent::Kind::kData;
      data.baud = baud;
      data.dataBits = framing.dataBits;
      data.parity = framing.parity;
      data.stopBits = framing.stopBits;
      data.startSeconds = start;
      events_.push_back(data);
      event = &events_.back();
    }
    event->bytes.push_back(static_cast<uint8_t>(value));
    event->byteStarts.push_back(start);
    event->endSeconds = end;
  }

  // The bits of one stretch between carrier tones, the carrier after it included: its last
  // lastOnes bits, lastCycles high cycles as measured.
  void Stretch(const std::vector<Bit>& bits, unsigned baud, double end, size_t lastOnes,
               uint64_t lastCycles) {
    const uint64_t cyclesPerOne = baud == 300 ? 8 : 2;
    auto endOf = [&](size_t p) { return p < bits.size() ? bits[p].start : end; };
    size_t p = 0;
    const Framing* framing = nullptr;
    while (p < bits.size()) {
      if (bits[p].one) {
        const size_t ones = OnesFrom(bits, p);
        uint64_t cycles = ones * cyclesPerOne;
        // The carrier that ends the stretch: its cycles as counted, less those that were
        // the last byte's stop bits.
        if (p + ones == bits.size() && ones <= lastOnes &&
            lastCycles >= (lastOnes - ones) * cyclesPerOne)
          cycles = lastCycles - (lastOnes - ones) * cyclesPerOne;
        Tone(cycles, bits[p].start, endOf(p + ones));
        p += ones;
        framing = nullptr;
        continue;
      }
      if (framing == nullptr || FrameAt(bits, p, *framing) < 0) {
        framing = nullptr;
        size_t best = 0;
        for (const Framing& candidate : kFramings) {
          const size_t covered = FramesFrom(bits, p, candidate);
          if (covered > best) {
            best = covered;
            framing = &candidate;
          }
        }
      }
      if (framing == nullptr) {
        Security(false, baud, bits[p].start, endOf(p + 1));
        ++p;
        // The 1 bits up to the next 0 belong to the same cycles, unless they are carrier.
        const size_t ones = OnesFrom(bits, p);
        if (ones < kToneBits) {
          for (size_t i = 0; i < ones; ++i)
            Security(true, baud, bits[p + i].start, endOf(p + i + 1));
          p += ones;
        }
        continue;
      }
      const int value = FrameAt(bits, p, *framing);
      Byte(value, *framing, baud, bits[p].start, endOf(p + framing->Length()));
      p += framing->Length();
    }
  }

 private:
  std::vector<TapeEvent>& events_;
};

bool IsTone(const Run& run) {
  return run.kind == HalfKind::kShort && OnesOf(run) >= kToneBits;
}

// Transcribes runs as they come, each a run of one kind ended by one of another kind. A few
// half-waves between two silences are noise in one silence, one gap. Each stretch is
// transcribed as soon as nothing after it can change it: the runs before the last silence
// (only noise right after a silence joins it to a later one) or up to a carrier tone (which
// no noise joins across). Only the runs since then are held, so the memory does not grow
// with the recording, only with the longest stretch of bytes without a tone or a gap.
class RunTranscriber {
 public:
  explicit RunTranscriber(std::vector<TapeEvent>& events) : transcriber_(events) {}

  void Add(const Run& run) {
    if (run.kind == HalfKind::kSilence && !held_.empty()) {
      size_t back = held_.size();
      size_t noise = 0;
      while (back > 0 && held_[back - 1].kind != HalfKind::kSilence && noise < kNoiseHalves)
        noise += held_[--back].halves;
      if (back > 0 && back < held_.size() && noise < kNoiseHalves) {
        Run& silence = held_[back - 1];
        silence.seconds = run.start + run.seconds - silence.start;
        silence.halves += noise + run.halves;
        held_.resize(back);
        return;
      }
      if (back > 0 && back == held_.size()) {
        held_.back().seconds += run.seconds;
        return;
      }
    }
    held_.push_back(run);
    if (run.kind == HalfKind::kSilence)
      Transcribe(held_.size() - 1);
    else if (IsTone(run))
      Transcribe(held_.size());
  }

  void Finish() { Transcribe(held_.size()); }

 private:
  // Transcribes the runs held before upTo, and lets them go.
  void Transcribe(size_t upTo) {
    size_t r = 0;
    while (r < upTo) {
      const Run& run = held_[r];
      if (run.kind == HalfKind::kSilence) {
        transcriber_.Gap(run.start, run.seconds);
        ++r;
        continue;
      }
      if (IsTone(run)) {
        transcriber_.Tone((run.halves + 1) / 2, run.start, run.start + run.seconds);
        ++r;
        continue;
      }
      // A stretch of bits: up to the next silence, or through the next carrier tone.
      size_t to = r;
      while (to < upTo && held_[to].kind != HalfKind::kSilence) {
        const bool tone = IsTone(held_[to]);
        ++to;
        if (tone)
          break;
      }
      const unsigned baud = At300Baud(held_, r, to) ? 300 : 1200;
      bits_.clear();
      for (size_t k = r; k < to; ++k)
        AppendBits(held_[k], baud, bits_);
      const Run& last = held_[to - 1];
      size_t lastOnes = 0;
      uint64_t lastCycles = 0;
      if (last.kind == HalfKind::kShort) {
        lastBits_.clear();
        AppendBits(last, baud, lastBits_);
        lastOnes = lastBits_.size();
        lastCycles = (last.halves + 1) / 2;
      }
      transcriber_.Stretch(bits_, baud, last.start + last.seconds, lastOnes, lastCycles);
      r = to;
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(upTo));
  }

  Transcriber transcriber_;
  std::vector<Run> held_;
  std::vector<Bit> bits_;
  std::vector<Bit> lastBits_;
};

// Joins classified stretches of the recording into runs of one kind for the transcriber.
class RunJoiner {
 public:
  explicit RunJoiner(RunTranscriber& runs) : runs_(runs) {}

  // A stretch of one kind holding that many half-waves, from start on.
  void Add(HalfKind kind, size_t halves, double start) {
    if (open_ && run_.kind == kind) {
      run_.halves += halves;
      return;
    }
    Close(start);
    run_ = Run{kind, halves, start, 0.0};
    open_ = true;
  }

  // Ends the open run where the next one starts (or the recording ends).
  void Close(double end) {
    if (!open_)
      return;
    run_.seconds = end - run_.start;
    runs_.Add(run_);
    open_ = false;
  }

 private:
  RunTranscriber& runs_;
  Run run_{HalfKind::kSilence, 0, 0.0, 0.0};
  bool open_ = false;
};

// Classifies half-waves by their length against the tape's short half-wave s: high tone,
// low tone or silence. A half-wave too short to be either tone (a glitch) is added to the one
// after it.
class HalfWaveReader {
 public:
  HalfWaveReader(double s, RunTranscriber& runs) : s_(s), joiner_(runs) {}

  void Add(double h) {
    if (h < 0.45 * s_ && carried_ + h < 0.45 * s_) {
      carried_ += h;
      return;
    }
    const double length = h + carried_;
    carried_ = 0.0;
    const HalfKind kind = length < 1.5 * s_   ? HalfKind::kShort
                          : length < 3.0 * s_ ? HalfKind::kLong
                                              : HalfKind::kSilence;
    joiner_.Add(kind, 1, at_);
    at_ += length;
  }

  void Finish() { joiner_.Close(at_); }

 private:
  double s_;
  RunJoiner joiner_;
  double at_ = 0.0;
  double carried_ = 0.0;
};

// A CSW file's pulses, from the first: each a half-wave (the first, before any wave, usually
// the silence before the tape). The short half-wave is estimated by a first reading, from
// the lengths counted by whole samples, so that nothing grows with the recording.
std::vector<TapeEvent> TranscribeCsw(const std::string& name) {
  SoundInput_ns::CSWSound csw;
  csw.Open(name);
  const double rate = csw.SampleRate != 0 ? csw.SampleRate : 1.0;
  const double nominal = kNominalShortHalf * rate;
  std::vector<uint64_t> counts(static_cast<size_t>(1.45 * nominal) + 1, 0);
  uint64_t shorts = 0;
  while (const uint32_t pulse = csw.NextPulse()) {
    if (pulse > 0.55 * nominal && pulse < 1.45 * nominal) {
      ++counts[pulse];
      ++shorts;
    }
  }
  double s = kNominalShortHalf;
  if (shorts >= 100) {
    uint64_t below = 0;
    for (size_t length = 0; length < counts.size(); ++length) {
      below += counts[length];
      if (below > shorts / 2) {
        s = static_cast<double>(length) / rate;
        break;
      }
    }
  }
  csw.Rewind();
  std::vector<TapeEvent> events;
  RunTranscriber runs(events);
  HalfWaveReader reader(s, runs);
  while (const uint32_t pulse = csw.NextPulse())
    reader.Add(pulse / rate);
  csw.Close();
  reader.Finish();
  runs.Finish();
  return events;
}

// The demodulator's bit cells as the transcription reads them: a cell of 2400 Hz is two high
// cycles (four short half-waves), one of 1200 Hz a low cycle (two long ones), and a cell
// without signal is silence. A cell counts as signal where the demodulator finds a tone in it
// and its energy is within kLevelShare of the tone's usual level: in the gaps of a noisy
// recording the noise alone now and then stands out from itself, never near the tone's level.
class CellReader final : public Demod_ns::CellSink {
 public:
  CellReader(double sampleRate, RunTranscriber& runs) : rate_(sampleRate), joiner_(runs) {}

  // The recording's length in samples: the cells read on the silence a demodulator adds
  // after the recording are not its.
  void EndAt(double samples) { end_ = samples; }

  void Finish() {
    for (; pendingCount_ > 0; --pendingCount_)
      Emit(pending_[(pendingFirst_ + kPending - pendingCount_) % kPending]);
    joiner_.Close(lastEnd_);
  }

  void Cell(const Demod_ns::CellReading& cell) override {
    if (cell.startSample >= end_)
      return;
    // A cell ends where the next begins; the last as long as the one before it.
    const double start = cell.startSample / rate_;
    if (lastStart_ >= 0.0)
      lastLength_ = start - lastStart_;
    lastStart_ = start;
    const float energy = std::norm(cell.low) + std::norm(cell.high);
    const bool sure = cell.signal && std::fabs(cell.soft) > kSure;
    // A run of sure cells of one tone sets the level where it is not known yet or where the
    // tone has grown much fainter than it.
    if (sure && sureRun_ > 0 && cell.One() == sureOne_) {
      ++sureRun_;
      sureEnergy_ += energy;
    } else {
      sureRun_ = sure ? 1 : 0;
      sureEnergy_ = sure ? energy : 0.0f;
      sureOne_ = cell.One();
    }
    bool seeded = false;
    if (sureRun_ == kPending) {
      const float mean = sureEnergy_ / static_cast<float>(kPending);
      if (level_ < 0.0f || mean < kLevelShare * level_) {
        level_ = mean;
        seeded = true;
      }
    }
    const bool tone = cell.signal && level_ >= 0.0f && energy > kLevelShare * level_;
    if (tone && sure)
      level_ += (energy - level_) * kLevelFollow;

    Pending next;
    next.start = cell.startSample / rate_;
    next.kind = !tone ? HalfKind::kSilence : cell.One() ? HalfKind::kShort : HalfKind::kLong;
    if (pendingCount_ == kPending) {
      Emit(pending_[pendingFirst_]);
      pendingFirst_ = (pendingFirst_ + 1) % kPending;
      --pendingCount_;
    }
    pending_[(pendingFirst_ + pendingCount_) % kPending] = next;
    ++pendingCount_;
    if (seeded) {
      // The run that set the level was tone from its first cell on.
      for (size_t k = 0; k < pendingCount_; ++k)
        pending_[k].kind = sureOne_ ? HalfKind::kShort : HalfKind::kLong;
    }
    lastEnd_ = next.start + lastLength_;
  }

 private:
  static constexpr size_t kPending = 8;  // cells held back, as many as set the level
  static constexpr float kSure = 0.5f;
  static constexpr float kLevelShare = 0.125f;
  static constexpr float kLevelFollow = 1.0f / 64.0f;

  struct Pending {
    HalfKind kind = HalfKind::kSilence;
    double start = 0.0;
  };

  void Emit(const Pending& cell) {
    const size_t halves = cell.kind == HalfKind::kShort ? 4 : cell.kind == HalfKind::kLong ? 2 : 1;
    joiner_.Add(cell.kind, halves, cell.start);
  }

  double rate_;
  RunJoiner joiner_;
  double end_ = std::numeric_limits<double>::infinity();
  double lastStart_ = -1.0;
  double lastLength_ = 1.0 / Demod_ns::CellDemodulator::kBaud;
  double lastEnd_ = 0.0;
  float level_ = -1.0f;  // the tone's energy in a cell (-1: not known yet)
  size_t sureRun_ = 0;
  float sureEnergy_ = 0.0f;
  bool sureOne_ = false;
  Pending pending_[kPending];
  size_t pendingFirst_ = 0;
  size_t pendingCount_ = 0;
};

void WriteChunk(uint16_t id, const std::vector<uint8_t>& data) {
  UEFFormat_ns::TheUEFImage.WriteChunk(id, static_cast<uint32_t>(data.size()), data.data());
}

void PutLe16(std::vector<uint8_t>& data, uint32_t value) {
  data.push_back(static_cast<uint8_t>(value & 0xFF));
  data.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void WriteTone(uint64_t cycles) {
  while (cycles > 0) {
    const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(cycles, kMostCyclesPerChunk));
    std::vector<uint8_t> data;
    PutLe16(data, part);
    WriteChunk(UEFFormat_ns::kCarrierToneChunk, data);
    cycles -= part;
  }
}

void WriteGap(double seconds) {
  const double parts = std::ceil(seconds / kLongestGapChunk);
  for (double k = 0; k < parts; ++k) {
    const float part = static_cast<float>(seconds / parts);
    uint32_t bits = 0;
    std::memcpy(&bits, &part, sizeof bits);
    std::vector<uint8_t> data;
    for (int i = 0; i < 4; ++i)
      data.push_back(static_cast<uint8_t>((bits >> (8 * i)) & 0xFF));
    WriteChunk(UEFFormat_ns::kFloatGapChunk, data);
  }
}

void WriteSecurity(const std::vector<bool>& cycles) {
  for (size_t from = 0; from < cycles.size(); from += 0xFFFFFF) {
    const size_t count = std::min<size_t>(cycles.size() - from, 0xFFFFFF);
    std::vector<uint8_t> data;
    data.push_back(static_cast<uint8_t>(count & 0xFF));
    data.push_back(static_cast<uint8_t>((count >> 8) & 0xFF));
    data.push_back(static_cast<uint8_t>((count >> 16) & 0xFF));
    data.push_back('W');
    data.push_back('W');
    data.resize(5 + (count + 7) / 8, 0);
    for (size_t i = 0; i < count; ++i) {
      if (cycles[from + i])
        data[5 + i / 8] = static_cast<uint8_t>(data[5 + i / 8] | (0x80u >> (i % 8)));
    }
    WriteChunk(0x0114, data);
  }
}

// What the image gets, in order: an event of the transcription, part of one (a data event's
// bytes from..to), or a recovered block.
struct Piece {
  const TapeEvent* event = nullptr;
  size_t from = 0;
  size_t to = 0;
  const MergedBlock* block = nullptr;
};

// Where the transcription read a block: the data event and byte at which its bytes start.
struct Place {
  size_t event = 0;
  size_t byte = 0;
  bool found = false;
};

constexpr double kSearchSeconds = 5.0;

// Finds the block's bytes in the data read by the transcription from fromEvent on, nearest to
// where the block lies (its start shifted by offset), no more than within seconds from it.
Place FindBlock(const std::vector<TapeEvent>& events, const MergedBlock& block, size_t fromEvent,
                double offset, double within) {
  const size_t compared = std::min<size_t>({block.identity.length, block.bytes.size(), 24});
  const double start = block.startSeconds + offset;
  const double end = block.endSeconds + offset;
  Place best;
  double bestDistance = within;
  for (size_t e = fromEvent; e < events.size(); ++e) {
    const TapeEvent& event = events[e];
    if (event.startSeconds > end + within)
      break;
    if (event.kind != TapeEvent::Kind::kData || event.baud != 1200 || event.dataBits != 8 ||
        event.parity != 'N' || event.bytes.size() < compared || compared == 0)
      continue;
    for (size_t i = 0; i + compared <= event.bytes.size(); ++i) {
      const double distance = std::abs(event.byteStarts[i] - start);
      if (distance >= bestDistance)
        continue;
      if (std::equal(block.bytes.begin(), block.bytes.begin() + static_cast<long>(compared),
                     event.bytes.begin() + static_cast<long>(i))) {
        best = Place{e, i, true};
        bestDistance = distance;
      }
    }
  }
  return best;
}

// How much later the transcription's times run than the blocks' times. They are taken from
// the same recording but counted from different starts (the decoding counts what lies before
// its first wave, such as a CSW file's first pulse; the half-waves start at that wave): the
// first of the first few blocks found anywhere by its bytes gives the difference.
double TimeOffset(const std::vector<TapeEvent>& events, const Recovery& recovery) {
  constexpr size_t kBlocksTried = 3;
  for (size_t b = 0; b < recovery.blocks.size() && b < kBlocksTried; ++b) {
    const MergedBlock& block = recovery.blocks[b];
    const Place place = FindBlock(events, block, 0, 0.0, block.endSeconds + 1e9);
    if (place.found)
      return events[place.event].byteStarts[place.byte] - block.startSeconds;
  }
  return 0.0;
}

}  // namespace

std::vector<double> HalfWavesOf(const RecordingSettings& recording) {
  PassSettings pass;
  if (recording.kind == RecordingKind::kCsw)
    pass = PassesFor(RecordingKind::kCsw).front();
  BlockProcessing_ns::NoBlockSink noBlocks;
  DecodingPass decoding(recording, pass, noBlocks);
  SoundInput_ns::SoundBase& sound = decoding.Sound();
  const double rate = sound.SampleRate != 0 ? sound.SampleRate : 1.0;
  std::vector<double> halves;
  halves.reserve(1u << 20);
  using namespace WavesInput_ns;
  WavesInputState& waves = decoding.Context().Waves;
  while (WavesLeft(waves) > 0) {
    const DelaysElementType& wave = WaveAt(waves, 0);
    if (wave.FirstHalf != 0)
      halves.push_back(wave.FirstHalf / rate);
    if (wave.SecondHalf != 0)
      halves.push_back(wave.SecondHalf / rate);
    if (sound.AtEnd())
      DropCurrentWave(waves);
    else
      AdvanceWaves(waves, 1);
  }
  return halves;
}

std::vector<TapeEvent> TranscribeHalfWaves(const std::vector<double>& halfWaves) {
  std::vector<TapeEvent> events;
  RunTranscriber runs(events);
  HalfWaveReader reader(EstimateShortHalf(halfWaves), runs);
  for (double h : halfWaves)
    reader.Add(h);
  reader.Finish();
  runs.Finish();
  return events;
}

struct CellTranscriber::State {
  explicit State(double sampleRate) : runs(events), cells(sampleRate, runs) {}
  std::vector<TapeEvent> events;
  RunTranscriber runs;
  CellReader cells;
};

CellTranscriber::CellTranscriber(double sampleRate) : state_(std::make_unique<State>(sampleRate)) {}

CellTranscriber::~CellTranscriber() = default;

void CellTranscriber::Cell(const Demod_ns::CellReading& cell) {
  state_->cells.Cell(cell);
}

void CellTranscriber::EndAt(uint64_t samples) {
  state_->cells.EndAt(static_cast<double>(samples));
}

std::vector<TapeEvent> CellTranscriber::Finish() {
  state_->cells.Finish();
  state_->runs.Finish();
  return std::move(state_->events);
}

SampleTranscriber::SampleTranscriber(double sampleRate)
    : cells_(sampleRate), demodulator_(sampleRate, cells_) {}

void SampleTranscriber::Feed(const float* samples, size_t count) {
  fed_ += count;
  demodulator_.Feed(samples, count);
}

std::vector<TapeEvent> SampleTranscriber::Finish() {
  cells_.EndAt(fed_);
  demodulator_.Finish();
  return cells_.Finish();
}

std::vector<TapeEvent> TranscribeRecording(const RecordingSettings& recording, int channel) {
  if (recording.kind == RecordingKind::kCsw)
    return TranscribeCsw(recording.name);
  std::ostringstream warnings;  // given once already, as the recording's channels were counted
  std::unique_ptr<SignalReader> signal = SignalReader::Open(recording, channel, warnings);
  SampleTranscriber transcriber(signal->SampleRate());
  std::vector<float> buffer(Demod_ns::CellDemodulator::kFeedLimit);
  while (const size_t count = signal->Read(buffer.data(), buffer.size()))
    transcriber.Feed(buffer.data(), count);
  return transcriber.Finish();
}

std::string FramingName(const TapeEvent& event) {
  return std::to_string(event.dataBits) + event.parity + std::to_string(event.stopBits);
}

void WriteWholeTape(const Recovery& recovery, const std::vector<TapeEvent>& events) {
  // The pieces in tape order: every event, with each block's bytes in the place where the
  // transcription read them, or at its time in the recording.
  std::vector<Piece> pieces;
  const double offset = TimeOffset(events, recovery);
  size_t e = 0;
  size_t byte = 0;  // bytes of events[e] already placed
  auto emitUpTo = [&](size_t event, size_t upTo) {
    for (; e < event; ++e, byte = 0) {
      if (events[e].kind != TapeEvent::Kind::kData || byte < events[e].bytes.size())
        pieces.push_back(Piece{&events[e], byte, events[e].bytes.size(), nullptr});
    }
    if (e < events.size() && upTo > byte) {
      pieces.push_back(Piece{&events[e], byte, upTo, nullptr});
      byte = upTo;
    }
  };
  for (const MergedBlock& block : recovery.blocks) {
    const Place place = FindBlock(events, block, e, offset, kSearchSeconds);
    if (place.found && (place.event > e || place.byte >= byte)) {
      emitUpTo(place.event, place.byte);
      pieces.push_back(Piece{nullptr, 0, 0, &block});
      // The block takes the place of as many bytes as it has.
      size_t left = block.bytes.size();
      while (e < events.size() && left > 0) {
        const TapeEvent& event = events[e];
        if (event.kind != TapeEvent::Kind::kData)
          break;
        const size_t taken = std::min(left, event.bytes.size() - byte);
        left -= taken;
        byte += taken;
        if (byte < event.bytes.size())
          break;
        ++e;
        byte = 0;
      }
      continue;
    }
    // Not read by the transcription: the block goes where it lies, and the bytes read within
    // its stretch of the recording are left out.
    // (A tone that starts before the block is its lead: it goes before the block even where
    // it seems to run on a little into the block's start.)
    const double blockStart = block.startSeconds + offset;
    while (e < events.size() &&
           (events[e].endSeconds <= blockStart ||
            (events[e].kind == TapeEvent::Kind::kTone && events[e].startSeconds < blockStart)))
      emitUpTo(e + 1, 0);
    pieces.push_back(Piece{nullptr, 0, 0, &block});
    while (e < events.size() && events[e].startSeconds < block.endSeconds + offset) {
      if (events[e].kind != TapeEvent::Kind::kData) {
        emitUpTo(e + 1, 0);
        continue;
      }
      const TapeEvent& event = events[e];
      while (byte < event.bytes.size() && event.byteStarts[byte] < block.endSeconds + offset)
        ++byte;
      if (byte < event.bytes.size())
        break;
      ++e;
      byte = 0;
    }
  }
  emitUpTo(events.size(), 0);

  unsigned baud = 1200;
  auto setBaud = [&](unsigned wanted) {
    if (wanted == baud)
      return;
    std::vector<uint8_t> data;
    PutLe16(data, wanted);
    WriteChunk(0x0117, data);
    baud = wanted;
  };
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    // Back to 1200 baud after bytes at another rate, unless more bytes at that rate come
    // before the next bytes at another.
    auto restoreAfter = [&](size_t at) {
      if (baud == 1200)
        return;
      size_t next = at + 1;
      while (next < pieces.size() && pieces[next].block == nullptr &&
             pieces[next].event->kind != TapeEvent::Kind::kData)
        ++next;
      const unsigned nextBaud = next == pieces.size()           ? 1200u
                                : pieces[next].block != nullptr ? pieces[next].block->baud
                                                                : pieces[next].event->baud;
      if (nextBaud != baud)
        setBaud(1200);
    };
    if (piece.block != nullptr) {
      setBaud(piece.block->baud);
      WriteChunk(UEFFormat_ns::kImplicitDataChunk, piece.block->bytes);
      restoreAfter(i);
      continue;
    }
    const TapeEvent& event = *piece.event;
    switch (event.kind) {
      case TapeEvent::Kind::kTone: {
        // Carrier, a lone dummy byte, carrier: one chunk, as the cassette filing system
        // writes the first block's lead.
        const bool dummy =
            i + 2 < pieces.size() && pieces[i + 1].event != nullptr &&
            pieces[i + 2].event != nullptr && pieces[i + 1].event->kind == TapeEvent::Kind::kData &&
            pieces[i + 1].event->baud == 1200 && FramingName(*pieces[i + 1].event) == "8N1" &&
            pieces[i + 1].to - pieces[i + 1].from == 1 &&
            pieces[i + 1].event->bytes[pieces[i + 1].from] == kDummyByte &&
            pieces[i + 2].event->kind == TapeEvent::Kind::kTone &&
            event.cycles <= kMostCyclesPerChunk &&
            pieces[i + 2].event->cycles <= kMostCyclesPerChunk;
        if (dummy) {
          std::vector<uint8_t> data;
          PutLe16(data, event.cycles);
          PutLe16(data, pieces[i + 2].event->cycles);
          WriteChunk(UEFFormat_ns::kCarrierWithDummyByteChunk, data);
          i += 2;
        } else {
          WriteTone(event.cycles);
        }
        break;
      }
      case TapeEvent::Kind::kGap:
        // The silence before the tape's first sound is the recording's, not the tape's.
        if (i > 0)
          WriteGap(event.endSeconds - event.startSeconds);
        break;
      case TapeEvent::Kind::kSecurity:
        WriteSecurity(event.securityCycles);
        break;
      case TapeEvent::Kind::kData: {
        if (piece.to <= piece.from)
          break;
        setBaud(event.baud);
        std::vector<uint8_t> data;
        const bool implicit = FramingName(event) == "8N1";
        if (!implicit) {
          data.push_back(static_cast<uint8_t>(event.dataBits));
          data.push_back(static_cast<uint8_t>(event.parity));
          data.push_back(static_cast<uint8_t>(event.stopBits));
        }
        data.insert(data.end(), event.bytes.begin() + static_cast<long>(piece.from),
                    event.bytes.begin() + static_cast<long>(piece.to));
        WriteChunk(implicit ? uint16_t{UEFFormat_ns::kImplicitDataChunk} : uint16_t{0x0104}, data);
        restoreAfter(i);
        break;
      }
    }
  }
  setBaud(1200);
}

}  // namespace Tool_ns
