#pragma once

// From bit cells to bytes: start bit 0, eight data bits least significant first, stop bit 1.
// At 1200 baud a bit is one cell; at 300 baud it is four cells of one tone (four cycles of
// 1200 Hz or eight of 2400 Hz), whose correlations add up to the bit's.

#include <array>
#include <cstdint>

#include "demod/Cell_demodulator.h"

namespace Demod_ns {

struct FramedByte {
  uint8_t value = 0;
  std::array<float, 8> soft{};  // each data bit's sureness, least significant first (+: a 1)
  float startSoft = 0.0f;
  float stopSoft = 0.0f;
  // Bits of stop or carrier tone between this byte and what came before it (the byte before,
  // a loss of signal or the start of the recording). Inside a block it is 1, the byte
  // before's stop bit; before a block's first byte it is the carrier tone's length.
  uint32_t idleBefore = 0;
  double startSample = 0.0;
  double endSample = 0.0;

  bool Framed() const { return stopSoft > 0.0f; }
};

// Receives the bytes in order, and the losses of signal between them.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void Byte(const FramedByte& byte) = 0;
  // The signal was lost (a gap, a drop-out) after the bytes given so far.
  virtual void SignalLost(double atSample) = 0;
};

class ByteFramer final : public CellSink {
 public:
  // A data bit read where the signal had gone is given this share of its sureness: the cell
  // then holds noise alone, whose two tones' energies differ at random, often by more than a
  // doubtful bit's, and a wrong bit that looked sure kept the checksum repair from mending a
  // drop-out of two or three cells.
  static constexpr float kFadedSureness = 0.3f;

  // cellsPerBit: 1 at 1200 baud, 4 at 300 baud.
  ByteFramer(int cellsPerBit, ByteSink& sink);

  void Cell(const CellReading& cell) override;

 private:
  static constexpr int kMostCells = 4 * 10 + 1;
  // Bytes read on where the signal fails inside a run of bytes: 270 ms at 1200 baud, longer
  // than a fade of worn oxide (20 to 200 ms), where the tone sinks into the hiss and its cells
  // no longer count as signal, though most of its bits still read right; the block keeps its
  // length, and its checksums decide. (With 6 bytes, 50 ms, a block with a fade of 30 dB over
  // hiss at 30 dB was cut off and lost: quality_benchmark gave 9 of 33 such blocks, now 23.)
  static constexpr int kBlindBytes = 32;
  // A 1 read at most this surely where a run's next start bit is due is taken for that start
  // bit (at 1200 baud). Clicks of three times the waves' peak, 10 a second: 26 of 33 blocks
  // where they gave 22 (quality_benchmark; 27 where 25 on held-out seeds).
  static constexpr float kDoubtfulStart = 0.5f;
  // Cells without signal in a row that end a run (a lone one is taken as idle).
  static constexpr int kQuietCells = 2;

  struct Bit {
    float soft;
    bool signal;
    bool faded;
  };
  Bit BitAt(int first) const;
  void Idle(const CellReading& cell);
  void StartFrame(const CellReading& cell);
  void EndFrame();

  const int cellsPerBit_;
  ByteSink& sink_;
  std::array<CellReading, kMostCells> frame_{};
  int cells_ = 0;  // cells of the frame being read; 0 while waiting for a start bit
  int cellsWanted_ = 0;
  CellReading previous_;
  uint32_t idleCells_ = 0;
  bool signalLost_ = true;
  bool atByteEnd_ = false;  // the cell now due is where a byte just read was followed by another
  int blindBytes_ = 0;      // bytes read in a row where the signal was lost
  int quiet_ = 0;           // cells without signal in a row
};

}  // namespace Demod_ns
