#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/File_system.h"
#include "sound/Sound_device_base.h"

namespace DCOffsetFunctions_ns {

// The correction subtracts from every sample a weighted mean of its neighbourhood: the 50
// samples before it, itself and the 50 after it, under a triangle of weights that peaks on the
// sample itself. Where the file's start or end cuts the neighbourhood, only the weights of the
// samples that exist count.
constexpr int kWindowLength = 101;
constexpr int kCentre = 50;  // the place of the corrected sample in a full window
constexpr int kFullDivisor = 51 * 51;
// Fewer samples than this are refused.
constexpr int32_t kSmallestLength = 102;

// w[k] = k + 1 for k = 0 to 50, w[k] = 101 - k for k = 51 to 100.
constexpr std::array<int8_t, kWindowLength> MakeWeights() {
  std::array<int8_t, kWindowLength> weights{};
  for (int k = 0; k < kWindowLength; ++k) {
    weights[static_cast<size_t>(k)] = static_cast<int8_t>(k <= kCentre ? k + 1 : kWindowLength - k);
  }
  return weights;
}
constexpr std::array<int8_t, kWindowLength> kWeights = MakeWeights();

// The offset of a window: its weighted sum divided by the sum of the weights used, plus 0.5,
// truncated toward zero.
inline int8_t OffsetOf(int32_t sum, double divisor) {
  return static_cast<int8_t>(static_cast<int32_t>(static_cast<double>(sum) / divisor + 0.5));
}

// The same offset in integers: (2 sum + divisor) / (2 divisor), truncated toward zero, is
// sum / divisor + 0.5 truncated toward zero. The two agree for every sum of 101 weighted
// samples and every divisor a window can have: the quotient is never nearer to a point where
// the truncation jumps than 1 / (2 divisor), except exactly on it, where the double form is
// exact too, and the double form's rounding errors are far smaller than that.
inline int8_t IntegerOffsetOf(int32_t sum, int32_t divisor) {
  return static_cast<int8_t>((2 * sum + divisor) / (2 * divisor));
}

// The offset of a whole window, as IntegerOffsetOf(sum, 2601) gives it, in a form that the
// compiler can work out for several sums at once: a division in single precision. It is
// exact for every sum of 101 weighted samples: 2 sum + 2601 has at most 20 bits, so it and
// 5202 are held exactly, and the division is rounded correctly. Where the quotient is a whole
// number it comes out exactly; elsewhere it is at least 1 / 5202 from one, and the rounding,
// less than 2^-17 for quotients under 129, cannot carry it over, so the truncation toward
// zero agrees.
inline int8_t FullWindowOffsetOf(int32_t sum) {
  return static_cast<int8_t>(static_cast<int32_t>(static_cast<float>(2 * sum + kFullDivisor) /
                                                  static_cast<float>(2 * kFullDivisor)));
}

// A corrected value, clamped to the range of a sample.
inline int8_t Corrected(int8_t sample, int8_t offset) {
  const int value = sample - offset;
  return static_cast<int8_t>(value < -128 ? -128 : (value > 127 ? 127 : value));
}

// A weighted sum over a run of consecutive samples, each taking the next weight of the
// triangle, with the divisor that turns it into a mean.
class WeightedAddBase {
 public:
  int32_t Sum() const { return sum_; }
  double Divisor() const { return divisor_; }
  uint8_t NextWeightIndex() const { return index_; }
  int8_t Offset() const { return OffsetOf(sum_, divisor_); }

 protected:
  WeightedAddBase(uint8_t firstWeightIndex, double divisor)
      : index_(firstWeightIndex), divisor_(divisor) {
    if (firstWeightIndex >= kWindowLength) {
      throw std::logic_error("Weight index out of range");
    }
  }
  // Adds sample times the next weight; returns that weight.
  int8_t AddWeighted(int8_t sample) {
    if (index_ >= kWindowLength) {
      throw std::logic_error("More than 101 samples in a weighted sum");
    }
    const int8_t weight = kWeights[index_++];
    sum_ += sample * weight;
    return weight;
  }

  int32_t sum_ = 0;
  uint8_t index_;
  double divisor_;
};

// Over a whole window of 101 samples: all the weights, divisor 2601.
class WeightedAdd : public WeightedAddBase {
 public:
  WeightedAdd() : WeightedAddBase(0, kFullDivisor) {}
  void Add(int8_t sample) { AddWeighted(sample); }
};

// Over a window cut by the start or the end of the file: from the given weight on, the divisor
// being the sum of the weights used.
class WeightedAddEnds : public WeightedAddBase {
 public:
  explicit WeightedAddEnds(uint8_t firstWeightIndex) : WeightedAddBase(firstWeightIndex, 0.0) {}
  void Add(int8_t sample) { divisor_ += AddWeighted(sample); }
};

// The name of the file into which the corrected recording is written before it replaces the
// input: the input's folder (up to and including its last separator), "DCOffsetsFixed", a
// hyphen, unique (which tells runs at the same time apart), and the extension of the input's
// file name from its last dot.
std::string TemporaryName(const std::string& inputName, const std::string& unique);

// Renames a file over another in one step (Platform_ns::ReplaceFile).
using ReplaceFunction = Platform_ns::FileResult (*)(const std::string& from, const std::string& to);

// Rewrites the input file of source (a RAW or WAV source opened on inputName) with the DC
// offsets of its samples removed: writes the corrected samples, in the source's own format
// (a WAV file keeps every byte outside its samples), to a new temporary file of this run's
// own beside the input, gives it the input's permissions and owner, then renames it over the
// input in one step. A symbolic link is followed, and the file it leads to is rewritten; a
// read-only file and a file with other hard links are refused before anything is written.
// An interruption of the run (StreamSplitter_ns::CheckInterrupted) stops the correction.
// The source is closed when this returns, whether it succeeds or fails. Failures raise
// std::runtime_error; the input is never changed by a failed correction, and the temporary
// file is removed unless the message says that the corrected recording is in it; no other
// file is ever removed. The temporary file is renamed, given its attributes and removed
// through Platform_ns::TheFileOperations.
void FixDCOffsets(SoundInput_ns::SoundBase& source, std::string inputName);
// The same, renaming the temporary file over the input with replace.
void FixDCOffsets(SoundInput_ns::SoundBase& source, std::string inputName, ReplaceFunction replace);

}  // namespace DCOffsetFunctions_ns
