#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

// Empties the window and forgets the reference wave length, for a new decoding pass.
void ResetWavesInput();

// Measures the first 22 waves into the empty window. Called once after the source is opened.
void InitialiseWavesInput();

// Measures up to n more waves at the back of the window; fewer once the source has run dry.
void AppendWaves(uint8_t n);

// Removes the first n waves (1 to 127; the caller guarantees they exist) and measures n more.
void AdvanceWaves(uint8_t n);

// Removes the current wave without measuring another: for walking the last buffered waves
// once the source has ended. The window must not be empty.
void DropCurrentWave();

// The window itself, read through the accessors below, which are inline because the block
// decoding calls them for every wave.
extern WavesBufferType Waves;

// The wave k places after the current one. Call CheckWave(k) first unless it surely exists.
inline const DelaysElementType& WaveAt(uint8_t k) {
  return Waves[k];
}

// The number of waves in the window, the current one included.
inline uint32_t WavesLeft() {
  return static_cast<uint32_t>(Waves.Size());
}

[[noreturn]] void RaiseUnderrun();

// Raises std::logic_error with the underrun message when wave k is not in the window.
inline void CheckWave(uint8_t k) {
  if (k >= Waves.Size()) {
    RaiseUnderrun();
  }
}

// T: the expected length in samples of one long wave (one cycle of the reference frequency).
double ReferenceWaveLength();

// Sets T for fileNumber: the sample rate over the -s baud rate given for that file (marking
// the calibration applied), or else over 1200.
void ApplyWavelengthCalibration(int16_t fileNumber);

// One wave skipped by the carrier search: advances the window by one wave, then applies a
// calibration that is pending for fileNumber when the search's running sample count is 0
// (that is, between blocks).
void CalibrationStep(int16_t fileNumber, uint64_t runningSampleCount);

}  // namespace WavesInput_ns
