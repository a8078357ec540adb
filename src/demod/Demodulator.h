#pragma once

// The demodulator as a whole: samples in, blocks out. One clock reads the cells; bytes are
// framed from them at 1200 baud and, from groups of four cells, at 300 baud, and blocks are
// read from both.
//
// Typical use:
//
//   Demod_ns::Demodulator demodulator(44100.0);
//   while (size_t count = source.Read(buffer, size))
//     demodulator.Feed(buffer, count);
//   std::vector<Demod_ns::DemodBlock> blocks = demodulator.Finish();

#include <cstddef>
#include <vector>

#include "demod/Block_reader.h"
#include "demod/Byte_framer.h"
#include "demod/Cell_demodulator.h"

namespace Demod_ns {

class Demodulator {
 public:
  // Every cell read also goes to observer, where one is given (and outlives the
  // demodulator's Finish), so that other readings of the tape can share the clock.
  explicit Demodulator(double sampleRate, CellSink* observer = nullptr);
  Demodulator(const Demodulator&) = delete;
  Demodulator& operator=(const Demodulator&) = delete;

  void Feed(const float* samples, size_t count) { cells_.Feed(samples, count); }
  // Every block read, good, repaired or failed, in the order of their starts. A block read at
  // both rates (which the checksums make all but impossible) is given once, at its own rate.
  std::vector<DemodBlock> Finish();

  double SampleRate() const { return sampleRate_; }

 private:
  // Hands each cell to both framers, and to the observer if any.
  class Fork final : public CellSink {
   public:
    Fork(CellSink& a, CellSink& b, CellSink* observer) : a_(a), b_(b), observer_(observer) {}
    void Cell(const CellReading& cell) override {
      a_.Cell(cell);
      b_.Cell(cell);
      if (observer_ != nullptr)
        observer_->Cell(cell);
    }

   private:
    CellSink& a_;
    CellSink& b_;
    CellSink* observer_;
  };

  double sampleRate_;
  BlockReader fastBlocks_{1200};
  BlockReader slowBlocks_{300};
  ByteFramer fast_{1, fastBlocks_};
  ByteFramer slow_{4, slowBlocks_};
  Fork fork_;
  CellDemodulator cells_;
};

}  // namespace Demod_ns
