#pragma once

// From samples to bit cells. The tape's signal is frequency-shift keyed at 1200 baud: a cell
// of 1/1200 s holds one cycle of 1200 Hz (a 0 bit) or two cycles of 2400 Hz (a 1 bit), and
// every cell starts where a cycle starts. The demodulator band-limits the samples, resamples
// them at 16 points a cell on a clock that follows the tape's speed, and correlates each cell
// with both tones. A cell is decided on which tone holds more energy, which neither the
// signal's polarity, nor a phase shift, nor clipping changes.
//
// The clock is recovered from the signal itself:
//   - where a cell differs from the one before, the energy of a window centred on their
//     boundary says whether the boundary lies earlier or later than the clock has it;
//   - where a cell has the same tone as the one before, the turn of the tone's phase from one
//     cell to the next says how far the tape runs fast or slow (its frequency is off by as
//     much), which follows speed errors of more than 10% and the quicker swings of wow and
//     flutter;
//   - the first 0 after a stretch of carrier tone (a start bit) is located afresh, so that a
//     block's first byte is read on the right clock however the clock stood in the tone.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "demod/Band_filter.h"

namespace Demod_ns {

// One bit cell as the demodulator read it.
struct CellReading {
  double startSample = 0.0;  // where the cell starts, in samples of the recording
  std::complex<float> low;   // the cell's correlation with the 1200 Hz tone
  std::complex<float> high;  // and with the 2400 Hz tone
  // From -1 (surely 1200 Hz, a 0 bit) to +1 (surely 2400 Hz, a 1 bit); near 0 the cell is in
  // doubt (noise, or no signal at all).
  float soft = 0.0f;
  bool signal = false;  // the cell's tone stands well above the noise
  // The tape's signal has gone from the cell, or from part of it (a drop-out, a gap), rather
  // than sunk into noise as loud as itself: its tones then hold less than the noise could
  // take from them, and its decision is worth less than soft says.
  bool faded = false;

  bool One() const { return soft > 0.0f; }
};

// Receives the cells in order, one call a cell.
class CellSink {
 public:
  virtual ~CellSink() = default;
  virtual void Cell(const CellReading& cell) = 0;
};

class CellDemodulator {
 public:
  static constexpr int kPointsPerCell = 16;
  static constexpr double kBaud = 1200.0;
  // The longest run of 1 bits inside a stretch of bytes: eight data bits and a stop bit. A
  // longer run is carrier tone, after which the next start bit is located afresh.
  static constexpr int kToneCells = 12;
  // The most samples one call of Feed takes at once; Feed splits longer stretches.
  static constexpr size_t kFeedLimit = 8192;

  CellDemodulator(double sampleRate, CellSink& sink);

  // Takes the recording's next samples (any scale; silence at 0).
  void Feed(const float* samples, size_t count);
  // Reads the cells that the samples fed so far complete.
  void Finish();

  // The tape's speed as the clock now follows it: 1.02 runs 2% fast.
  double Speed() const { return nominalStep_ / step_; }

 private:
  void FeedPiece(const float* samples, size_t count);
  void Resample();
  void ReadCell();
  void Correlate(int64_t start, std::complex<float>& low, std::complex<float>& high) const;
  // The same, with 2400 Hz correlated over each half of the cell apart.
  void Correlate(int64_t start, std::complex<float>& low, std::complex<float>& highFirst,
                 std::complex<float>& highSecond) const;
  // (E1 - E2) / (E1 + E2) of the window starting there: +1 for 1200 Hz, -1 for 2400 Hz.
  float Balance(int64_t start) const;
  bool LocateStartBit();
  // The cell's sureness (as CellReading::soft) from its tones' energies; learns the tones'
  // levels from cells of signal.
  // excess weighs against the sureness; plain is set to the sureness without it.
  float Decide(float e1, float e2, bool signal, float excess, float& plain);

  static constexpr int kRing = 256;  // resampled points kept, a power of two

  CellSink& sink_;
  const unsigned group_;  // samples averaged into one
  float sum_ = 0.0f;      // of the group still open
  unsigned grouped_ = 0;  // samples in it
  BandFilter filter_;
  std::vector<float> filtered_;  // averaged and filtered samples from base_ on
  uint64_t base_ = 0;
  double position_ = 1.0;  // where the next resampled point lies, in samples
  double nominalStep_;     // samples from one resampled point to the next at normal speed
  double step_;
  float ring_[kRing] = {};
  double ringPosition_[kRing] = {};
  int64_t points_ = 0;     // resampled points made so far
  int64_t cellStart_ = 0;  // the point where the next cell starts

  // The cell before: its correlations and decision.
  std::complex<float> lastLow_;
  std::complex<float> lastHigh_;
  bool lastOne_ = true;
  float lastSoft_ = 0.0f;
  double coarse_ = 0.0;  // the speed error as the 2400 Hz tone's half cells show it, averaged
  int toneRun_ = 0;
  int signalRun_ = 0;          // cells of signal in a row, up to this one
  int quiet_ = 0;              // cells without signal in a row, up to this one
  int sinceSignal_ = 1 << 20;  // cells since the last that the clock was set by as signal
  float smoothed_ = 0.0f;      // the cells' energy, smoothed
  float floor_ = -1.0f;        // the least of it lately (-1: not yet known)
  float noise_ = -1.0f;        // the noise's energy in one tone's correlation (-1: not yet known)
  float level_ = 0.0f;         // the signal's energy in the stronger tone's correlation
  // Each tone's energy in its own sure cells (0: not yet known).
  float lowLevel_ = 0.0f;
  float highLevel_ = 0.0f;
  int sameRun_ = 1;  // cells of one tone in a row, up to the cell before
  // The 1200 Hz tone's turn from a run's first cell to its second (0 once used), and how far
  // it lies, on average, from the turn after it.
  double firstTurn_ = 0.0;
  double firstTurnOffset_ = 0.0;
  float weight_ = 1.0f;  // what Decide weighs a cell's 2400 Hz energy by
  float rest_ = -1.0f;   // the cells' usual energy beyond their tones' (-1: not yet known)
};

}  // namespace Demod_ns
