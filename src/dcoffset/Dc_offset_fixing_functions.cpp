#include "dcoffset/Dc_offset_fixing_functions.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <utility>

#include "driver/Stream_splitter.h"
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

// The sum of the weights 1 to count: what a window loses when count places at one of its ends
// fall outside the file.
constexpr int32_t LostWeights(int64_t count) {
  return count > 0 ? static_cast<int32_t>(count * (count + 1) / 2) : 0;
}

// Takes the samples of the source one at a time, exactly as many as it promised, through its
// NextSample: for a source of a kind other than RAW and WAV.
template <class Source>
class OneAtATime {
 public:
  explicit OneAtATime(Source& source) : source_(source) {}

  // Puts the next sample at destination; returns 1.
  size_t Take(int8_t* destination, size_t /*room*/) {
    if (source_.AtEnd()) {
      throw std::runtime_error("Unexpected end of file");
    }
    const int8_t sample = source_.NextSample();
    if (source_.Ended) {
      // The read ran off the end: there was no sample.
      throw std::runtime_error("Unexpected end of file");
    }
    *destination = sample;
    return 1;
  }

 private:
  Source& source_;
};

// Takes the samples of a RAW or WAV source straight from its file buffer: as many as the
// buffer holds, up to room, and reads more from the file only when all of it has been taken,
// which is when the samples read so far are all used. A file that ends or cannot be read
// therefore fails at the same sample, with the same message, as reading one at a time.
class FromFileBuffer {
 public:
  explicit FromFileBuffer(SoundInput_ns::FileSampleCursor& cursor) : cursor_(cursor) {}

  // Puts the next samples, at least one and at most room, at destination; returns how many.
  size_t Take(int8_t* destination, size_t room) {
    if (cursor_.next == cursor_.end && !cursor_.Refill()) {
      throw std::runtime_error("Unexpected end of file");
    }
    const uint8_t* const from = cursor_.next;
    const size_t available = static_cast<size_t>(cursor_.end - from);
    const size_t taken = available < room ? available : room;
    // A copy, then unsigned samples turned signed in place, many bytes at a time.
    std::memcpy(destination, from, taken);
    if (cursor_.flip != 0) {
      TypeConversion_ns::Conversions2sComplement::FlipForms(destination, taken);
    }
    cursor_.next = from + taken;
    return taken;
  }

 private:
  SoundInput_ns::FileSampleCursor& cursor_;
};

// The samples corrected together inside the file.
constexpr int32_t kChunk = 64;

// D(m) - D(m - 1) = s[m + 50] - 2 s[m - 1] + s[m - 52] (see CorrectSamples): at points at
// s[m].
inline int32_t SecondDifference(const int8_t* at) {
  return at[kCentre] - 2 * at[-1] + at[-kCentre - 2];
}

// Corrects a chunk of samples inside the file, given the weighted sums of their windows.
void CorrectChunk(const int32_t* windowSums, const int8_t* samples, int8_t* corrected) {
  for (int32_t i = 0; i < kChunk; ++i) {
    corrected[i] = Corrected(samples[i], FullWindowOffsetOf(windowSums[i]));
  }
}

// Corrects the count samples of source, taken through reader, and writes them to its output
// in one pass.
//
// The weighted sum of a window is kept in running form. With samples outside the file taken
// as 0, the sum for sample m is S(m) = sum over d = -50..50 of (51 - |d|) s[m + d]. Moving
// from m - 1 to m adds 1 to the weight of each of s[m] to s[m + 50] and takes 1 from each of
// s[m - 51] to s[m - 1], so S(m) = S(m - 1) + D(m) with the change
// D(m) = (s[m] + ... + s[m + 50]) - (s[m - 51] + ... + s[m - 1]), and D itself changes by
// D(m) - D(m - 1) = s[m + 50] - 2 s[m - 1] + s[m - 52]. The sums are exact integers and the
// divisor is the integer sum of the weights that fall inside the file, so every offset equals
// the one of a WeightedAdd or WeightedAddEnds run over the same window. The offset is taken
// in integers (IntegerOffsetOf), by a constant divisor inside the file.
//
// The samples go through a buffer that holds the 102 samples the next step needs and a block
// of new ones, with 102 zeros before the file's start and 50 after its end, so that every
// step reads the same places. The sums start at m = -51, where every window involved holds
// only zeros; the 51 steps to m = 0 bring the first 51 samples in. Each round steps through
// every sample whose window is in the buffer, writes the corrected samples, and only then
// takes more, so that reading and writing fail at the same samples as when one sample is
// corrected at a time. Positions and counts are 64-bit: a RAW file may hold more samples than
// 32 bits count. After each block the run's interruption is checked, so that Control-C stops
// the correction at once.
template <class Source, class Reader>
void CorrectSamples(Source& source, Reader& reader, int64_t count) {
  constexpr int32_t kKept = kWindowLength + 1;  // s[m - 52] to s[m + 49]
  constexpr int32_t kBlock = 65536;
  constexpr int32_t kFilled = kKept + kBlock;  // the samples read stop here
  // buffer[i] holds s[origin + i]; buffer[0] to buffer[held - 1] are in use.
  int8_t buffer[kFilled + kCentre];
  int8_t corrected[kBlock + kCentre];
  std::fill(buffer, buffer + kKept, int8_t{0});
  int64_t origin = -kKept;
  int32_t held = kKept;
  int64_t read = 0;  // samples taken from the source

  // Where the window is whole: from insideStart up to insideEnd. Before and after, the divisor
  // is the sum of the weights inside the file.
  const int64_t insideStart = kCentre;
  const int64_t insideEnd = count - kCentre;  // count is at least 102, so after insideStart
  auto cutDivisor = [insideEnd](int64_t m) {
    return kFullDivisor - LostWeights(kCentre - m) - LostWeights(m - insideEnd + 1);
  };

  int32_t sum = 0;       // S(m - 1)
  int32_t change = 0;    // D(m - 1)
  int64_t m = -kCentre;  // the next sample to step to
  for (;;) {
    // Every sample before end has its window in the buffer.
    const int64_t available = origin + held - kCentre;
    const int64_t end = available < count ? available : count;
    const int8_t* at = buffer + (m - origin);
    int8_t* out = corrected;
    // The steps before the file's start write nothing.
    for (; m < 0 && m < end; ++m, ++at) {
      change += SecondDifference(at);
      sum += change;
    }
    for (; m < end && m < insideStart; ++m, ++at) {
      change += SecondDifference(at);
      sum += change;
      *out++ = Corrected(*at, IntegerOffsetOf(sum, cutDivisor(m)));
    }
    // Inside the file, a chunk at a time: the serial steps first, then the offsets and
    // corrected values of the whole chunk, which the compiler can work out several at once.
    const int64_t stop = end < insideEnd ? end : insideEnd;
    while (stop - m >= kChunk) {
      int32_t differences[kChunk];
      for (int32_t i = 0; i < kChunk; ++i) {
        differences[i] = SecondDifference(at + i);
      }
      int32_t windowSums[kChunk];
      for (int32_t i = 0; i < kChunk; ++i) {
        change += differences[i];
        sum += change;
        windowSums[i] = sum;
      }
      CorrectChunk(windowSums, at, out);
      at += kChunk;
      out += kChunk;
      m += kChunk;
    }
    for (; m < stop; ++m, ++at) {
      change += SecondDifference(at);
      sum += change;
      *out++ = Corrected(*at, IntegerOffsetOf(sum, kFullDivisor));
    }
    for (; m < end; ++m, ++at) {
      change += SecondDifference(at);
      sum += change;
      *out++ = Corrected(*at, IntegerOffsetOf(sum, cutDivisor(m)));
    }
    source.WriteSamples(corrected, static_cast<size_t>(out - corrected));
    StreamSplitter_ns::CheckInterrupted();
    if (m == count) {
      return;
    }

    // The step to m needs s[m + 50], which is still to be read.
    if (held == kFilled) {
      // Keep s[m - 52] to s[m + 49] and make room after them.
      const auto from = static_cast<int32_t>(m - kKept + kCentre - origin);
      std::copy(buffer + from, buffer + held, buffer);
      origin += from;
      held -= from;
    }
    const int64_t wanted = count - read;
    const int32_t room = kFilled - held;
    const size_t taken = reader.Take(
        buffer + held, static_cast<size_t>(wanted < room ? wanted : static_cast<int64_t>(room)));
    held += static_cast<int32_t>(taken);
    read += static_cast<int64_t>(taken);
    if (read == count) {
      // The zeros after the file's end.
      std::fill(buffer + held, buffer + held + kCentre, int8_t{0});
      held += kCentre;
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
    case Platform_ns::FileError::kExists:
    case Platform_ns::FileError::kOther:
      break;
  }
  throw std::runtime_error("Could not rename temporary file (" + result.text + ")" + keptIn);
}

}  // namespace

std::string TemporaryName(const std::string& inputName, const std::string& unique) {
  const size_t nameStart = FileNameStart(inputName);
  const size_t dot = inputName.find_last_of('.');
  const std::string extension =
      dot != std::string::npos && dot >= nameStart ? inputName.substr(dot) : std::string();
  return inputName.substr(0, nameStart) + kTemporaryStem + "-" + unique + extension;
}

void FixDCOffsets(SoundInput_ns::SoundBase& source, std::string inputName) {
  FixDCOffsets(source, std::move(inputName), Platform_ns::TheFileOperations.Replace);
}

void FixDCOffsets(SoundInput_ns::SoundBase& source, std::string inputName,
                  ReplaceFunction replace) {
  // A symbolic link stays as it is: the file it leads to is corrected.
  const std::string target = Platform_ns::FollowLinks(inputName);
  std::string temporaryName;
  bool outputOpened = false;
  bool closed = false;
  try {
    const Platform_ns::FileFacts facts = Platform_ns::FactsOf(target);
    if (!facts.exists || !facts.regular) {
      throw std::runtime_error("Cannot fix DC offsets in " + inputName +
                               ", which is not a plain file");
    }
    if (facts.readOnly) {
      throw std::runtime_error("Cannot fix DC offsets in the read-only file " + inputName +
                               ".  Make it writable and run again with the -d switch");
    }
    if (facts.links > 1) {
      // Replacing it would give this name a file of its own and leave the other names with
      // the old recording.
      throw std::runtime_error("Cannot fix DC offsets in " + inputName +
                               ", which has other names (hard links).  Copy it to a file of "
                               "its own and run again with the -d switch");
    }
    auto* raw = dynamic_cast<SoundInput_ns::RAWSound*>(&source);
    const int64_t count = raw != nullptr ? static_cast<int64_t>(raw->FileLength())
                                         : static_cast<int64_t>(source.TotalLength);
    if (count < kSmallestLength) {
      throw std::runtime_error("File too small to fix DC offsets");
    }
    StreamSplitter_ns::CheckInterrupted();

    // A name of this run's own: the process's number and a count, past names left over from
    // an earlier run with the same number. The file is created only when nothing is there.
    const std::string tag = Platform_ns::ProcessTag();
    for (unsigned attempt = 0;; ++attempt) {
      temporaryName = TemporaryName(target, tag + "-" + std::to_string(attempt));
      if (!Platform_ns::FactsOf(temporaryName).exists || attempt == 999) {
        break;
      }
    }
    source.OpenOutput(temporaryName);
    outputOpened = true;
    // The input's permissions and owner from the start, so that the corrected recording is
    // never open to more people than the recording is. The file stays open for writing.
    const Platform_ns::FileResult copied =
        Platform_ns::TheFileOperations.CopyAttributes(target, temporaryName);
    if (copied.error == Platform_ns::FileError::kNotFound &&
        !Platform_ns::FactsOf(temporaryName).exists) {
      throw std::runtime_error("Could not find the temporary file.  This is an unusual error");
    }
    if (copied.error != Platform_ns::FileError::kNone) {
      throw std::runtime_error("Could not give the corrected recording the permissions of " +
                               inputName + " (" + copied.text + ").  The input file is unchanged");
    }
    source.CopyHeader();
    if (raw != nullptr) {
      SoundInput_ns::FileSampleCursor cursor = raw->Samples();
      FromFileBuffer reader(cursor);
      CorrectSamples(*raw, reader, count);
    } else if (auto* wav = dynamic_cast<SoundInput_ns::WAVSound*>(&source)) {
      {
        SoundInput_ns::FileSampleCursor cursor = wav->Samples();
        FromFileBuffer reader(cursor);
        CorrectSamples(*wav, reader, count);
      }
      wav->CopyTrailer();
    } else {
      OneAtATime<SoundBase> reader(source);
      CorrectSamples(source, reader, count);
    }
    closed = true;
    if (source.Close()) {
      // The end of the corrected recording may not have reached the file.
      throw std::runtime_error("Could not close a sound file");
    }
    StreamSplitter_ns::CheckInterrupted();
  } catch (...) {
    if (!closed) {
      CloseAfterFailure(source);
    }
    if (outputOpened) {
      RemoveTemporaryFile(temporaryName);
    }
    throw;
  }
  ReplaceInput(temporaryName, target, replace);
}

}  // namespace DCOffsetFunctions_ns
