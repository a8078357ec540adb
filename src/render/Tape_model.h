#pragma once

// The tape as waves: segments of tone and silence (Tape), the cassette encoding that turns
// bytes and blocks into them (TapeWriter), and the usual layout of files on a tape
// (StandardTape).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/Block_bytes.h"

namespace TapeBuilder_ns {

// Frequencies of the two wave types at 1200 baud.
constexpr double kLongWaveHz = 1200.0;   // one cycle encodes a 0 bit
constexpr double kShortWaveHz = 2400.0;  // two cycles encode a 1 bit; carrier

enum class SegmentKind { Tone, Silence };

// A run of half cycles of one frequency, or silence. For a Tone, frequencyHz
// and halfCycles are used; for Silence, seconds.
struct Segment {
  SegmentKind kind = SegmentKind::Silence;
  double frequencyHz = 0.0;
  uint64_t halfCycles = 0;
  double seconds = 0.0;

  // Nominal length at normal tape speed.
  double DurationSeconds() const;
};

// A recording as an ordered list of segments. Adjacent segments of the same
// kind (and, for tones, the same frequency) are merged, so a long carrier or a
// run of 1 bits is a single segment.
//
// Polarity: half cycles alternate in sign through the whole tape, counted from
// the first one; silence does not reset the count. A tape made of whole cycles
// therefore starts every cycle the same way, while an odd number of half
// cycles inverts everything after it, as on a real signal.
class Tape {
 public:
  // Appends halfCycles half cycles of a tone. frequencyHz must be finite and
  // > 0. Appending zero half cycles does nothing.
  void AppendTone(double frequencyHz, uint64_t halfCycles);
  // Appends silence; seconds must be finite and >= 0 (0 does nothing).
  void AppendSilence(double seconds);
  // Appends all segments of another tape.
  void Append(const Tape& other);

  const std::vector<Segment>& Segments() const { return segments_; }
  bool Empty() const { return segments_.empty(); }
  // Nominal length at normal tape speed.
  double DurationSeconds() const;
  // Total number of half cycles over all tone segments.
  uint64_t HalfCycleCount() const;

 private:
  std::vector<Segment> segments_;
};

// Builds a Tape from carrier, bytes, blocks, gaps and arbitrary waves. Every
// method appends to the end and returns *this for chaining.
class TapeWriter {
 public:
  // cycles of carrier tone (2400 Hz).
  TapeWriter& Carrier(uint32_t cycles);
  // Carrier tone lasting about seconds (rounded to whole 2400 Hz cycles).
  TapeWriter& CarrierSeconds(double seconds);
  // One bit: 0 = one 1200 Hz cycle, 1 = two 2400 Hz cycles.
  TapeWriter& Bit(bool one);
  // One byte framed 8N1: start bit 0, data bits LSB first, stop bit 1.
  TapeWriter& Byte(uint8_t value);
  TapeWriter& Bytes(const std::vector<uint8_t>& values);
  // The bytes of BlockBytes(block), without any carrier around them.
  TapeWriter& Block(const BlockSpec& block);
  // The 0xAA byte found inside the leader of a first block.
  TapeWriter& DummyByte();
  // Silence.
  TapeWriter& Gap(double seconds);
  // count whole cycles of any frequency (stray or deliberately off-tune waves).
  TapeWriter& Cycles(double frequencyHz, uint32_t count);
  // count half cycles of any frequency; an odd count inverts the polarity of
  // everything after it.
  TapeWriter& HalfCycles(double frequencyHz, uint32_t count);
  // Appends a whole prebuilt tape.
  TapeWriter& Append(const Tape& tape);

  const Tape& Result() const { return tape_; }
  // Moves the tape out, leaving the writer empty.
  Tape Take();

 private:
  Tape tape_;
};

// Layout used by StandardTape. The defaults are close to what a BBC Micro
// writes at 1200 baud; the position of the dummy byte within the first leader
// varies between machines and recordings.
struct TapeLayout {
  double leadingSilenceSeconds = 0.5;   // before the first file
  double firstLeaderSeconds = 5.1;      // carrier before the first block of each file
  bool dummyByte = true;                // put 0xAA inside that first leader
  double dummyAfterSeconds = 1.0;       // carrier before the dummy byte (rest follows it)
  double blockLeaderSeconds = 0.9;      // carrier before each later block
  double interBlockGapSeconds = 0.0;    // silence between blocks of one file
  double trailerSeconds = 0.5;          // carrier after the last block of each file
  double fileGapSeconds = 1.5;          // silence between files
  uint32_t securityCycles = 0;          // stray 2400 Hz cycles in the middle of each file gap
  double trailingSilenceSeconds = 0.5;  // after the last file
  size_t blockSize = 256;
};

struct FileSpec {
  std::string name;
  uint32_t load = 0;
  uint32_t exec = 0;
  std::vector<uint8_t> data;
};

// A recording of the given files one after another, each split by FileBlocks
// and laid out as:
//   [leading silence]
//   file:  leader (with dummy byte), block 0,
//          { [inter-block gap], block leader, block n }..., trailer
//   between files: gap (with security cycles in its middle)
//   [trailing silence]
Tape StandardTape(const std::vector<FileSpec>& files, const TapeLayout& layout = TapeLayout{});

}  // namespace TapeBuilder_ns
