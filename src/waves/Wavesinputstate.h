#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "driver/Command_line.h"

namespace SoundInput_ns {
class SoundBase;
}

namespace WavesInput_ns {

// One wave: the lengths in samples of its two halves (for a CSW source, of its two pulses).
// Both 0 means no wave: the sound source had nothing left.
struct DelaysElementType {
  uint32_t FirstHalf = 0;
  uint32_t SecondHalf = 0;

  // The whole wave's length, without the wrap-around of a 32-bit sum.
  uint64_t Length() const { return uint64_t{FirstHalf} + SecondHalf; }
};

// The window of measured waves that the block decoding works on. The front is the current wave;
// index k is the wave k places after it. A fixed ring: appending and removing allocate nothing
// and indexing from the front is constant time.
class WavesBufferType {
 public:
  static constexpr size_t kCapacity = 32;

  size_t Size() const { return count_; }
  bool Empty() const { return count_ == 0; }
  DelaysElementType& operator[](size_t k) { return items_[(head_ + k) & (kCapacity - 1)]; }
  const DelaysElementType& operator[](size_t k) const {
    return items_[(head_ + k) & (kCapacity - 1)];
  }
  DelaysElementType& Back() { return (*this)[count_ - 1]; }

  // Appends an empty wave; the window never holds more than kCapacity waves.
  void PushBack() {
    if (count_ == kCapacity) {
      RaiseFull();
    }
    ++count_;
    Back() = DelaysElementType{};
  }
  void PopBack() { --count_; }
  void PopFront() { PopFront(1); }
  // Removes the first n waves (at most Size()).
  void PopFront(size_t n) {
    head_ = (head_ + n) & (kCapacity - 1);
    count_ -= n;
  }
  void Clear() {
    head_ = 0;
    count_ = 0;
  }

 private:
  [[noreturn]] static void RaiseFull();

  std::array<DelaysElementType, kCapacity> items_{};
  size_t head_ = 0;
  size_t count_ = 0;
};

// How many waves the window holds ahead of the decoding while the sound lasts.
inline constexpr uint8_t kWavesWindow = 22;

struct WavesInputState;

// Measures up to n more waves at the back of the input's window, each from the input's
// source (see waves/Wave_measurement.h).
using AppendFunction = void (*)(WavesInputState& input, uint8_t n);

// Everything the waves input of one decoding pass keeps: the window of measured waves, the
// reference wave length T, the measurement bound to the source, and what it reads: the sound
// source and the run's settings (the measurement method, the phase, live input, and the -s
// calibrations, whose Applied flags it sets). Passes over different sources, each with a
// state of its own, may run at the same time.
struct WavesInputState {
  WavesInputState(SoundInput_ns::SoundBase& source, MainProgram_ns::RunSettingsRecord& settings)
      : Source(&source), Settings(&settings) {}

  WavesBufferType Window;
  double ReferenceLength = 0;
  AppendFunction Append = nullptr;  // bound by InitialiseWavesInput
  SoundInput_ns::SoundBase* Source;
  MainProgram_ns::RunSettingsRecord* Settings;
};

// Empties the window and forgets the reference wave length, for a new decoding pass.
void ResetWavesInput(WavesInputState& input);

// Measures the first 22 waves into the empty window. Called once after the source is opened.
void InitialiseWavesInput(WavesInputState& input);

// Measures up to n more waves at the back of the window; fewer once the source has run dry.
inline void AppendWaves(WavesInputState& input, uint8_t n) {
  // Once the source is exhausted every measurement comes back empty: the window then stops
  // growing. A last partial wave is kept.
  input.Append(input, n);
}

// Removes the first n waves (1 to 127; the caller guarantees they exist) and measures n more.
inline void AdvanceWaves(WavesInputState& input, uint8_t n) {
  input.Window.PopFront(n);
  AppendWaves(input, n);
}

// Removes the current wave without measuring another: for walking the last buffered waves
// once the source has ended. The window must not be empty.
inline void DropCurrentWave(WavesInputState& input) {
  input.Window.PopFront();
}

// The wave k places after the current one. Call CheckWave(k) first unless it surely exists.
inline const DelaysElementType& WaveAt(const WavesInputState& input, uint8_t k) {
  return input.Window[k];
}

// The number of waves in the window, the current one included.
inline uint32_t WavesLeft(const WavesInputState& input) {
  return static_cast<uint32_t>(input.Window.Size());
}

[[noreturn]] void RaiseUnderrun();

// Raises std::logic_error with the underrun message when wave k is not in the window.
inline void CheckWave(const WavesInputState& input, uint8_t k) {
  if (k >= input.Window.Size()) {
    RaiseUnderrun();
  }
}

// T: the expected length in samples of one long wave (one cycle of the reference frequency).
inline double ReferenceWaveLength(const WavesInputState& input) {
  return input.ReferenceLength;
}

// Sets T for fileNumber: the sample rate over the -s baud rate given for that file (marking
// the calibration applied), or else over 1200.
void ApplyWavelengthCalibration(WavesInputState& input, int16_t fileNumber);

// One wave skipped by the carrier search: advances the window by one wave, then applies a
// calibration that is pending for fileNumber when the search's running sample count is 0
// (that is, between blocks).
void CalibrationStep(WavesInputState& input, int16_t fileNumber, uint64_t runningSampleCount);

}  // namespace WavesInput_ns
