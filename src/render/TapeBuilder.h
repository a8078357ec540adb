#pragma once

// TapeBuilder: builds and renders recordings of Acorn 1200-baud cassette tapes.
//
// A recording is described at wave level as a Tape: a list of segments, each
// either a run of whole or half cycles of a tone of some frequency, or a
// stretch of silence. Durations are kept in seconds and cycles, never in
// samples, so one Tape can be rendered at any sample rate and tape speed:
//
//   - RenderSamples() produces signed 8-bit PCM (sine or square, with phase,
//     DC offset, slow DC drift, wow, drop-outs and deterministic white noise);
//   - RenderPulses() produces the half-cycle lengths a CSW file stores;
//   - StreamRenderer renders the same samples segment by segment into a
//     SampleSink, so that recordings of any length are written without being
//     held in memory (varnstow-tool's render command works this way).
//
// TapeWriter turns bytes and blocks into waves using the cassette encoding:
// a 0 bit is one cycle of 1200 Hz, a 1 bit two cycles of 2400 Hz, bytes are
// framed 8N1 (start 0, eight data bits LSB first, stop 1) and carrier tone is
// a run of 2400 Hz cycles. BlockBytes() gives the exact byte image of a block.
//
// Typical use:
//
//   TapeBuilder_ns::FileSpec file{"HELLO", 0x1900, 0x8023, programBytes};
//   TapeBuilder_ns::Tape tape = TapeBuilder_ns::StandardTape({file});
//   TapeBuilder_ns::RenderOptions options;
//   options.sampleRate = 48000;
//   options.noiseStdDev = TapeBuilder_ns::NoiseStdDevForSnr(
//       options.amplitude, options.shape, 20.0);
//   std::vector<int8_t> samples = TapeBuilder_ns::RenderSamples(tape, options);
//   TapeBuilder_ns::WriteWav("hello.wav", samples, options.sampleRate);
//
// Or, for full control over the layout:
//
//   TapeBuilder_ns::TapeWriter writer;
//   writer.Gap(0.5).CarrierSeconds(1.0).DummyByte().CarrierSeconds(4.1);
//   for (const auto& block : TapeBuilder_ns::FileBlocks("DATA", 0, 0, bytes))
//       writer.Block(block).CarrierSeconds(0.5);
//   writer.Cycles(2400.0, 1).Gap(1.0);   // a stray wave inside a gap
//   TapeBuilder_ns::Tape tape = writer.Take();
//
// Everything throws std::invalid_argument on arguments it cannot represent and
// std::runtime_error when a file cannot be written. Only the Write* functions
// touch the file system.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace TapeBuilder_ns {

// Frequencies of the two wave types at 1200 baud.
constexpr double kLongWaveHz = 1200.0;   // one cycle encodes a 0 bit
constexpr double kShortWaveHz = 2400.0;  // two cycles encode a 1 bit; carrier

constexpr uint8_t kSyncByte = 0x2A;
constexpr uint8_t kDummyByte = 0xAA;
constexpr size_t kMaxNameLength = 10;
constexpr size_t kHeaderLength = 17;  // bytes between the name's 0 and the header CRC

// Bits of the block flag byte.
constexpr uint8_t kFlagLastBlock = 0x80;
constexpr uint8_t kFlagNoData = 0x40;
constexpr uint8_t kFlagLocked = 0x01;

// ---------------------------------------------------------------------------
// Bytes

// CRC-16/XMODEM as used by the cassette filing system: polynomial 0x1021,
// initial value 0, MSB first, no reflection, no final xor. Crc16 of the ASCII
// bytes "123456789" is 0x31C3. data may be null when n == 0.
uint16_t Crc16(const uint8_t* data, size_t n);
uint16_t Crc16(const std::vector<uint8_t>& data);

// One block as written to tape.
struct BlockSpec {
  std::string name;           // 1..10 characters, none of them '\0'
  uint32_t load = 0;          // load address
  uint32_t exec = 0;          // execution address
  uint16_t number = 0;        // block number within the file
  uint8_t flag = 0;           // kFlagLastBlock | kFlagNoData | kFlagLocked
  std::vector<uint8_t> data;  // at most 65535 bytes
  bool omitDataCrc = false;   // drop the data CRC even when data is not empty
  uint32_t nextFile = 0;      // "next file" address field of the header
};

// The bytes of a block from the sync byte to the data CRC:
//   0x2A, name, 0x00, load (4, LE), exec (4, LE), number (2, LE),
//   data length (2, LE), flag, next-file address (4, LE),
//   header CRC (2, high byte first), data, data CRC (2, high byte first).
// The header CRC covers name, its terminator and the 17 header bytes. The data
// CRC covers the data and is left out when the data is empty or omitDataCrc is
// set. The length field always states data.size(). Throws
// std::invalid_argument for an empty, over-long or NUL-containing name, or
// more than 65535 data bytes. (Malformed blocks can be built by editing the
// returned bytes and writing them with TapeWriter::Bytes.)
std::vector<uint8_t> BlockBytes(const BlockSpec& block);

// Splits a file into blocks of blockSize bytes (the last may be shorter),
// numbered from 0, with kFlagLastBlock set on the last one only. An empty file
// gives a single block with no data flagged kFlagLastBlock | kFlagNoData.
// blockSize must be 1..65535.
std::vector<BlockSpec> FileBlocks(const std::string& name, uint32_t load, uint32_t exec,
                                  const std::vector<uint8_t>& data, size_t blockSize = 256);

// ---------------------------------------------------------------------------
// Waves

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

// ---------------------------------------------------------------------------
// Rendering

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
// Samples are signal + dcOffset + drift + noise, rounded and clamped to
// -128..127. Silence (and a drop-out) renders as 0 before offset, drift and
// noise.
std::vector<int8_t> RenderSamples(const Tape& tape, const RenderOptions& options);

// Receives rendered samples in order, a buffer at a time.
class SampleSink {
 public:
  virtual ~SampleSink() = default;
  virtual void Put(const int8_t* samples, size_t count) = 0;
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

// ---------------------------------------------------------------------------
// Files

// 44-byte header + 8-bit unsigned mono PCM (sample + 128), with the RIFF pad
// byte after an odd-sized data chunk.
std::vector<uint8_t> EncodeWav(const std::vector<int8_t>& samples, uint32_t sampleRate);

enum class CswCompression : uint8_t { Rle = 1, ZRle = 2 };

// CSW 2.0: "Compressed Square Wave", 0x1A, version 2.0, sample rate (u32 LE),
// pulse count (u32 LE), compression, flags (bit 0 = initial polarity high),
// header extension length 0, 16-byte encoding application name, then the
// pulses: 1..255 as one byte, 0 or longer as a 0 byte followed by a u32 LE.
// With ZRle that pulse data is a zlib stream.
std::vector<uint8_t> EncodeCsw(const std::vector<uint32_t>& pulses, uint32_t sampleRate,
                               CswCompression compression, bool initialPolarityHigh);

// The 44 bytes before the samples of an 8-bit mono PCM WAV file holding
// dataLength bytes of samples. With padded, the RIFF length counts the pad
// byte that follows an odd-sized data chunk.
std::vector<uint8_t> WavHeader(uint32_t sampleRate, uint32_t dataLength, bool padded);

// The 52-byte CSW 2.0 header described at EncodeCsw; application is cut to 16
// characters.
std::vector<uint8_t> CswHeader(uint32_t sampleRate, uint32_t pulseCount, CswCompression compression,
                               bool initialPolarityHigh, const char* application);

// Appends one pulse in the CSW run-length form: 1..255 as one byte, 0 or
// longer as a 0 byte followed by a u32 LE.
void AppendCswPulse(std::vector<uint8_t>& out, uint32_t pulse);

// Write the samples as they are (signedData) or as unsigned sample + 128.
void WriteRaw(const std::string& path, const std::vector<int8_t>& samples, bool signedData);
void WriteWav(const std::string& path, const std::vector<int8_t>& samples, uint32_t sampleRate);
void WriteCsw(const std::string& path, const std::vector<uint32_t>& pulses, uint32_t sampleRate,
              CswCompression compression, bool initialPolarityHigh);
void WriteCsw(const std::string& path, const PulseTrain& pulses, uint32_t sampleRate,
              CswCompression compression);

}  // namespace TapeBuilder_ns
