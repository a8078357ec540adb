#include "demod/Byte_framer.h"

#include <cmath>

namespace Demod_ns {

namespace {

float Energy(std::complex<float> c) {
  return c.real() * c.real() + c.imag() * c.imag();
}

}  // namespace

ByteFramer::ByteFramer(int cellsPerBit, ByteSink& sink) : cellsPerBit_(cellsPerBit), sink_(sink) {}

ByteFramer::Bit ByteFramer::BitAt(int first) const {
  if (cellsPerBit_ == 1) {
    const CellReading& cell = frame_[static_cast<size_t>(first)];
    return {cell.soft, cell.signal, cell.faded};
  }
  // The bit's cells hold one tone in one phase: their correlations add up, while the noise in
  // them adds up only in energy.
  std::complex<float> low, high;
  float energy = 0.0f;
  int signals = 0, faded = 0;
  for (int k = first; k < first + cellsPerBit_; ++k) {
    const CellReading& cell = frame_[static_cast<size_t>(k)];
    low += cell.low;
    high += cell.high;
    energy += Energy(cell.low) + Energy(cell.high);
    signals += cell.signal ? 1 : 0;
    faded += cell.faded ? 1 : 0;
  }
  const float soft =
      (Energy(high) - Energy(low)) / (static_cast<float>(cellsPerBit_) * energy + 1e-30f);
  return {soft, 2 * signals > cellsPerBit_, 2 * faded > cellsPerBit_};
}

void ByteFramer::Cell(const CellReading& cell) {
  if (cells_ == 0) {
    Idle(cell);
    return;
  }
  frame_[static_cast<size_t>(cells_++)] = cell;
  if (cells_ == cellsWanted_)
    EndFrame();
}

void ByteFramer::Idle(const CellReading& cell) {
  const bool atByteEnd = atByteEnd_;
  atByteEnd_ = false;
  if (!cell.signal && atByteEnd && blindBytes_ < kBlindBytes) {
    // The signal fails where the next byte of a run should start: a drop-out inside a block.
    // The clock runs on, and the bytes are read where they would lie, in doubt, so that the
    // block keeps its length and its other bytes.
    ++blindBytes_;
    StartFrame(cell);
    return;
  }
  if (!cell.signal && ++quiet_ < kQuietCells && !signalLost_) {
    // A lone cell that the noise took below the signal's threshold, in the carrier tone or
    // between bytes: taken as idle, so that the tone before a block keeps its length.
    ++idleCells_;
    previous_ = cell;
    return;
  }
  if (!cell.signal) {
    if (!signalLost_)
      sink_.SignalLost(cell.startSample);
    signalLost_ = true;
    idleCells_ = 0;
    previous_ = cell;
    return;
  }
  signalLost_ = false;
  quiet_ = 0;
  if (cell.One()) {
    if (atByteEnd && cellsPerBit_ == 1 && cell.soft < kDoubtfulStart) {
      // Where a byte of a run has just ended, a 1 read in doubt is more likely its next start
      // bit, spoilt by a click or the noise, than the carrier tone after a block's last byte
      // (which reads surely). Taken for a 1, it would shift every byte after it by a cell and
      // lose the block; taken for a start bit, the byte keeps its place, and the checksums
      // tell whether it was one.
      StartFrame(cell);
      return;
    }
    ++idleCells_;
    previous_ = cell;
    return;
  }
  blindBytes_ = 0;
  StartFrame(cell);
}

void ByteFramer::StartFrame(const CellReading& cell) {
  quiet_ = 0;
  // At 300 baud the start bit's first cell may have been the one before, read as a 1 in the
  // noise: the frame keeps that cell too, and the start bit's better reading decides.
  if (cellsPerBit_ == 1) {
    frame_[0] = cell;
    cells_ = 1;
    cellsWanted_ = 10;
  } else {
    frame_[0] = previous_;
    frame_[1] = cell;
    cells_ = 2;
    cellsWanted_ = 1 + 10 * cellsPerBit_;
  }
}

void ByteFramer::EndFrame() {
  int first = 0;
  if (cellsPerBit_ > 1)
    first = BitAt(1).soft <= BitAt(0).soft ? 1 : 0;
  FramedByte byte;
  byte.startSoft = BitAt(first).soft;
  for (int j = 0; j < 8; ++j) {
    const Bit bit = BitAt(first + cellsPerBit_ * (1 + j));
    byte.soft[static_cast<size_t>(j)] = bit.faded ? kFadedSureness * bit.soft : bit.soft;
    if (bit.soft > 0.0f)
      byte.value = static_cast<uint8_t>(byte.value | 1u << j);
  }
  const int stopAt = first + 9 * cellsPerBit_;
  byte.stopSoft = BitAt(stopAt).soft;
  byte.idleBefore = idleCells_ / static_cast<uint32_t>(cellsPerBit_);
  byte.startSample = frame_[static_cast<size_t>(first)].startSample;
  const int after = stopAt + cellsPerBit_;
  byte.endSample = after < cells_ ? frame_[static_cast<size_t>(after)].startSample
                                  : frame_[static_cast<size_t>(after - 1)].startSample;
  sink_.Byte(byte);

  const int used = after;
  const int total = cells_;
  cells_ = 0;
  idleCells_ = byte.Framed() ? static_cast<uint32_t>(cellsPerBit_) : 0;
  signalLost_ = false;
  atByteEnd_ = true;
  previous_ = frame_[static_cast<size_t>(used - 1)];
  // A cell the frame held but did not use belongs to what follows the byte.
  for (int k = used; k < total; ++k)
    Idle(frame_[static_cast<size_t>(k)]);
}

}  // namespace Demod_ns
