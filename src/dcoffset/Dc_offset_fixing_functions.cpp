#include "dcoffset/Dc_offset_fixing_functions.h"

#include <iostream>
#include <utility>

#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"

namespace DCOffsetFunctions_ns {
namespace {

using SoundInput_ns::SoundBase;

constexpr char kTemporaryStem[] = "DCOffsetsFixed";

// Where the file-name part of name starts: after its last folder separator.
size_t FileNameStart(const std::string& name) {
  const size_t separator = name.find_last_of(Platform_ns::PathSeparators());
  return separator == std::string::npos ? 0 : separator + 1;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

// The sum of the weights 1 to count: what a window loses when count places at one of its ends
// fall outside the file.
constexpr int32_t LostWeights(int32_t count) {
  return count > 0 ? count * (count + 1) / 2 : 0;
}

// Takes the samples of the source one at a time, exactly as many as it promised. Source is
// the source's own class where it is known, so that the calls for every sample are direct.
template <class Source>
class SampleReader {
 public:
  explicit SampleReader(Source& source) : source_(source) {}

  int8_t Next() {
    if (source_.AtEnd()) {
      throw std::runtime_error("Unexpected end of file");
    }
    const int8_t sample = source_.NextSample();
    if (source_.Ended) {
      // The read ran off the end: there was no sample.
      throw std::runtime_error("Unexpected end of file");
    }
    return sample;
  }

 private:
  Source& source_;
};

// Corrects the count samples of source and writes them to its output, in one pass, holding
// only the window of 101 samples.
//
// The weighted sum of a window is kept in running form. With samples outside the file taken
// as 0, the sum for sample m is S(m) = sum over d = -50..50 of (51 - |d|) s[m + d]. Moving to
// m + 1 adds 1 to the weight of each of s[m + 1] to s[m + 51] and takes 1 from each of
// s[m - 50] to s[m], so S(m + 1) = S(m) + R(m) - L(m) with the two running sums
// R(m) = s[m + 1] + ... + s[m + 51] and L(m) = s[m - 50] + ... + s[m]. The sums are exact
// integers and the divisor is the integer sum of the weights that fall inside the file, so
// every offset equals the one of a WeightedAdd or WeightedAddEnds run over the same window.
// The offset is taken in integers (IntegerOffsetOf), by a constant divisor inside the file.
template <class Source>
void CorrectSamples(Source& source, int32_t count) {
  SampleReader<Source> reader(source);
  // window[(oldest + k) % 101] holds s[m - 50 + k]; the places before the file's start hold 0.
  int8_t window[kWindowLength] = {};
  int32_t sum = 0;       // S(m)
  int32_t leftSum = 0;   // L(m)
  int32_t rightSum = 0;  // s[m + 1] + ... + s[m + 50]
  for (int k = 0; k <= kCentre; ++k) {
    const int8_t sample = reader.Next();
    window[kCentre + k] = sample;
    sum += sample * kWeights[static_cast<size_t>(kCentre + k)];
    if (k == 0) {
      leftSum = sample;
    } else {
      rightSum += sample;
    }
  }

  int oldest = 0;
  const int32_t last = count - 1;
  for (int32_t m = 0;; ++m) {
    const int32_t divisor =
        kFullDivisor - LostWeights(kCentre - m) - LostWeights(kCentre - (last - m));
    int current = oldest + kCentre;
    if (current >= kWindowLength) {
      current -= kWindowLength;
    }
    const int8_t offset = divisor == kFullDivisor ? IntegerOffsetOf(sum, kFullDivisor)
                                                  : IntegerOffsetOf(sum, divisor);
    source.WriteSample(Corrected(window[current], offset));
    if (m == last) {
      break;
    }

    // Move to m + 1: s[m + 51] enters (0 past the end), s[m - 50] leaves.
    const int8_t entering = last - m > kCentre ? reader.Next() : int8_t{0};
    const int8_t leaving = window[oldest];
    int next = current + 1;
    if (next == kWindowLength) {
      next = 0;
    }
    const int8_t following = window[next];  // s[m + 1]
    rightSum += entering;                   // now R(m)
    sum += rightSum - leftSum;
    leftSum += following - leaving;
    rightSum -= following;
    window[oldest] = entering;
    if (++oldest == kWindowLength) {
      oldest = 0;
    }
  }
}

// Closes the source after a failure, telling the user when even that fails.
void CloseAfterFailure(SoundBase& source) {
  if (source.Close()) {
    std::cerr << "\nCould not close a sound file.";
  }
}

void RemoveTemporaryFile(const std::string& temporaryName) {
  const Platform_ns::FileResult result = Platform_ns::TheFileOperations.Remove(temporaryName);
  if (result.error != Platform_ns::FileError::kNone &&
      result.error != Platform_ns::FileError::kNotFound) {
    std::cerr << "\nCould not remove the temporary file " << temporaryName << ".";
  }
}

void ReplaceInput(const std::string& temporaryName, const std::string& inputName,
                  ReplaceFunction replace) {
  const Platform_ns::FileResult result = replace(temporaryName, inputName);
  const std::string keptIn =
      ".  The input file is unchanged and the corrected recording is in " + temporaryName;
  switch (result.error) {
    case Platform_ns::FileError::kNone:
      return;
    case Platform_ns::FileError::kNotFound:
      throw std::runtime_error("Could not find the temporary file.  This is an unusual error");
    case Platform_ns::FileError::kPermissionDenied:
      throw std::runtime_error("OS Permission denied to rename temporary file" + keptIn);
    case Platform_ns::FileError::kOther:
      break;
  }
  throw std::runtime_error("Could not rename temporary file (" + result.text + ")" + keptIn);
}

}  // namespace

std::string TemporaryName(const std::string& inputName) {
  const size_t nameStart = FileNameStart(inputName);
  const size_t dot = inputName.find_last_of('.');
  const std::string extension =
      dot != std::string::npos && dot >= nameStart ? inputName.substr(dot) : std::string();
  return inputName.substr(0, nameStart) + kTemporaryStem + extension;
}

void FixDCOffsets(SoundInput_ns::SoundBase& source, std::string inputName) {
  FixDCOffsets(source, std::move(inputName), Platform_ns::TheFileOperations.Replace);
}

void FixDCOffsets(SoundInput_ns::SoundBase& source, std::string inputName,
                  ReplaceFunction replace) {
  const std::string temporaryName = TemporaryName(inputName);
  bool outputOpened = false;
  bool closed = false;
  try {
    const std::string fileName = inputName.substr(FileNameStart(inputName));
    if (SameIgnoringCase(fileName, temporaryName.substr(FileNameStart(temporaryName)))) {
      // Its output would overwrite the input while it is being read.
      throw std::runtime_error("Cannot fix DC offsets in a file called " + fileName +
                               ".  Rename it and run again with the -d switch");
    }
    const int32_t count = source.TotalLength;
    if (count < kSmallestLength) {
      throw std::runtime_error("File too small to fix DC offsets");
    }
    source.OpenOutput(temporaryName);
    outputOpened = true;
    source.CopyHeader();
    if (auto* raw = dynamic_cast<SoundInput_ns::RAWSound*>(&source)) {
      CorrectSamples(*raw, count);
    } else if (auto* wav = dynamic_cast<SoundInput_ns::WAVSound*>(&source)) {
      CorrectSamples(*wav, count);
    } else {
      CorrectSamples(source, count);
    }
    closed = true;
    if (source.Close()) {
      // The end of the corrected recording may not have reached the file.
      throw std::runtime_error("Could not close a sound file");
    }
  } catch (...) {
    if (!closed) {
      CloseAfterFailure(source);
    }
    if (outputOpened) {
      RemoveTemporaryFile(temporaryName);
    }
    throw;
  }
  ReplaceInput(temporaryName, inputName, replace);
}

}  // namespace DCOffsetFunctions_ns
