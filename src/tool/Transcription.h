#pragma once

// Transcribing a whole tape: what lies between and beyond the standard blocks (carrier tones
// of their own lengths, gaps, bytes framed or paced otherwise, cycles that are neither), read
// from a CSW recording's pulses or from the demodulator's bit cells of a recording of samples,
// so that the image plays as the tape does for loaders that read more than the standard
// blocks.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "demod/Cell_demodulator.h"
#include "tool/Recording.h"

namespace Tool_ns {

struct Recovery;

// One stretch of the tape, in the order met.
struct TapeEvent {
  enum class Kind {
    kTone,      // carrier: a run of high-tone cycles
    kData,      // bytes in one framing at one baud rate, back to back
    kGap,       // silence
    kSecurity,  // cycles that are neither bytes nor carrier
  };
  Kind kind = Kind::kTone;
  double startSeconds = 0.0;
  double endSeconds = 0.0;
  uint32_t cycles = 0;  // kTone: high-tone cycles
  // kData: the framing (start bit 0, dataBits from the least significant, parity 'N', 'E' or
  // 'O', stopBits bits 1), the baud rate, the bytes and where each byte starts.
  unsigned baud = 1200;
  unsigned dataBits = 8;
  char parity = 'N';
  unsigned stopBits = 1;
  std::vector<uint8_t> bytes;
  std::vector<double> byteStarts;
  // kSecurity: one entry per cycle, true for a high-tone cycle.
  std::vector<bool> securityCycles;
};

// Reads the half-wave lengths of a CSW recording's pulses, in seconds (for samples, the
// half-waves between sign changes as varnstow's sign method measures them).
std::vector<double> HalfWavesOf(const RecordingSettings& recording);

// Transcribes a sequence of half-wave lengths in seconds (the first starting at 0 s): high
// tone (2400 Hz, half-waves about 208 us long at the nominal speed) and low tone (1200 Hz)
// read as 1200 or 300 baud bits, bits as carrier tone or as bytes in whichever framing reads
// them (8N1 and 8N2, 8 bits with even or odd parity, 7 bits with parity), silences as gaps
// and the rest as security cycles. The tape's speed is estimated from the half-waves.
std::vector<TapeEvent> TranscribeHalfWaves(const std::vector<double>& halfWaves);

// Transcribes the demodulator's bit cells as they come (1/1200 s each on a clock that
// follows the tape's speed, each 2400 Hz, 1200 Hz or no signal), which hold in noise where
// half-waves measured between sign changes fall apart; the cells go into the same reading of
// tones, bytes, gaps and other cycles as half-waves do. Only the stretch of tape since the
// last tone or gap is held. A demodulator pass that reads blocks hands its cells here too, so
// that the tape is transcribed on the clock that read the blocks, in the same reading.
class CellTranscriber final : public Demod_ns::CellSink {
 public:
  explicit CellTranscriber(double sampleRate);
  ~CellTranscriber() override;
  CellTranscriber(const CellTranscriber&) = delete;
  CellTranscriber& operator=(const CellTranscriber&) = delete;

  void Cell(const Demod_ns::CellReading& cell) override;
  // The recording's length: cells from there on (read on the silence a demodulator adds after
  // the recording) are left out. Given before the demodulator finishes.
  void EndAt(uint64_t samples);
  // The events, times in seconds from the first sample.
  std::vector<TapeEvent> Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Transcribes samples as they come, through a demodulator's cells of its own.
class SampleTranscriber {
 public:
  explicit SampleTranscriber(double sampleRate);

  void Feed(const float* samples, size_t count);
  // The events, times in seconds from the first sample.
  std::vector<TapeEvent> Finish();

 private:
  CellTranscriber cells_;
  Demod_ns::CellDemodulator demodulator_;
  uint64_t fed_ = 0;
};

// The transcription of a recording: a CSW file's pulses as half-waves, the samples of a WAV
// (the channel from 0, or SignalReader::kMix) or RAW file through SampleTranscriber. Raises
// as SignalReader::Open where the recording cannot be read.
std::vector<TapeEvent> TranscribeRecording(const RecordingSettings& recording, int channel);

// Writes the recovered blocks into the open image (UEFFormat_ns::TheUEFImage) with the
// transcription around them: each block's bytes, as the merge kept them, take the place where
// the transcription read that block (or, where it did not, the block's place in the
// recording), and everything else of the transcription goes in between, in tape order:
// tones as 0x0110 (0x0111 around a lone dummy byte), 8N1 bytes as 0x0100, other framings as
// 0x0104, 300 baud data between 0x0117 chunks, gaps as 0x0116 (but for the silence before the
// tape's first sound), security cycles as 0x0114.
void WriteWholeTape(const Recovery& recovery, const std::vector<TapeEvent>& events);

// "8N1", "8O1" and the like.
std::string FramingName(const TapeEvent& event);

}  // namespace Tool_ns
