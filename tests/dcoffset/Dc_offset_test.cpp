// The DC offset correction (-d): the weights and accumulators, the corrected samples against
// a direct computation, the ends of the file, the temporary file and the replacement of the
// input, and every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dcoffset/Dc_offset_fixing_functions.h"
#include "platform/File_system.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"
#include "support/Process.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using DCOffsetFunctions_ns::FixDCOffsets;
using DCOffsetFunctions_ns::kWeights;
using DCOffsetFunctions_ns::TemporaryName;
using DCOffsetFunctions_ns::WeightedAdd;
using DCOffsetFunctions_ns::WeightedAddEnds;
using Platform_ns::FileError;
using Platform_ns::FileResult;
using SoundInput_ns::RAWSound;
using SoundInput_ns::WAVSound;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

using Samples = std::vector<int8_t>;

// The temporary file of a correction run in this process, when no file has that name yet.
const std::string kTemporary = "DCOffsetsFixed-" + Platform_ns::ProcessTag() + "-0.raw";
constexpr double kPi = 3.14159265358979323846;

std::string SignedBytes(const Samples& samples) {
  return std::string(samples.begin(), samples.end());
}

std::string UnsignedBytes(const Samples& samples) {
  std::string bytes;
  for (int8_t sample : samples) {
    bytes += static_cast<char>(static_cast<uint8_t>(sample + 128));
  }
  return bytes;
}

Samples SamplesOf(const std::string& signedBytes) {
  Samples samples;
  for (char c : signedBytes) {
    samples.push_back(static_cast<int8_t>(c));
  }
  return samples;
}

int8_t Clamp(int value) {
  return static_cast<int8_t>(std::min(127, std::max(-128, value)));
}

// Straight from the definition: each sample less the mean of the samples within 50 places of
// it, weighted 51 - distance, over the samples that exist; the mean plus 0.5 truncated toward
// zero; the difference clamped to a sample's range.
Samples DirectCorrection(const Samples& s) {
  const long n = static_cast<long>(s.size());
  Samples out;
  for (long m = 0; m < n; ++m) {
    long sum = 0;
    long weights = 0;
    for (long j = std::max(0L, m - 50); j <= std::min(n - 1, m + 50); ++j) {
      const long w = 51 - std::labs(j - m);
      sum += s[static_cast<size_t>(j)] * w;
      weights += w;
    }
    const double offset = std::trunc(static_cast<double>(sum) / static_cast<double>(weights) + 0.5);
    out.push_back(Clamp(s[static_cast<size_t>(m)] - static_cast<int>(offset)));
  }
  return out;
}

// The per-window accumulators, run the way the streaming correction is described: the cut
// window at the start, the whole window inside, the cut window at the end.
Samples AccumulatorCorrection(const Samples& s) {
  const size_t n = s.size();
  Samples out;
  for (size_t m = 0; m < n; ++m) {
    int8_t offset = 0;
    if (m < 50) {
      WeightedAddEnds sum(static_cast<uint8_t>(50 - m));
      for (size_t j = 0; j <= m + 50; ++j) {
        sum.Add(s[j]);
      }
      offset = sum.Offset();
    } else if (m + 50 < n) {
      WeightedAdd sum;
      for (size_t j = m - 50; j <= m + 50; ++j) {
        sum.Add(s[j]);
      }
      offset = sum.Offset();
    } else {
      WeightedAddEnds sum(0);
      for (size_t j = m - 50; j < n; ++j) {
        sum.Add(s[j]);
      }
      offset = sum.Offset();
    }
    out.push_back(Clamp(s[m] - offset));
  }
  return out;
}

Samples Constant(size_t length, int8_t value) {
  return Samples(length, value);
}

Samples Uniform(size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> value(-128, 127);
  Samples samples;
  for (size_t i = 0; i < length; ++i) {
    samples.push_back(static_cast<int8_t>(value(random)));
  }
  return samples;
}

// Only the two extreme values: sums at their largest, and corrected values out of range.
Samples Extremes(size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::bernoulli_distribution high(0.5);
  Samples samples;
  for (size_t i = 0; i < length; ++i) {
    samples.push_back(high(random) ? int8_t{127} : int8_t{-128});
  }
  return samples;
}

// A wandering level with a little noise, reaching both ends of the range.
Samples Wandering(size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> step(-3, 3);
  std::uniform_int_distribution<int> noise(-4, 4);
  int level = 0;
  Samples samples;
  for (size_t i = 0; i < length; ++i) {
    level = std::min(127, std::max(-128, level + step(random)));
    samples.push_back(Clamp(level + noise(random)));
  }
  return samples;
}

std::vector<std::string> FolderContents(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Corrects the RAW file at path with a fresh source and returns its new samples.
Samples FixRawFile(const std::string& path) {
  RAWSound sound;
  sound.Open(path);
  FixDCOffsets(sound, path);
  return SamplesOf(ReadFile(path));
}

std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
  return "(no failure)";
}

// The source is closed when it can be opened again.
void ExpectClosed(SoundInput_ns::SoundBase& sound, const std::string& path) {
  EXPECT_NO_THROW(sound.Open(path));
  sound.Close();
}

// A RAW source whose length, closing and writing can be made to misbehave, and which can act
// on the file system as it is closed: the failures a real disk or a concurrent program bring.
class ProbeSound final : public SoundInput_ns::SoundBase {
 public:
  int32_t extraLength = 0;  // promised beyond the file's length
  bool closeFails = false;
  long failWritingAt = -1;  // the sample whose writing fails
  std::function<void()> onClose;

  std::string outputName;
  bool inputOpen = false;
  bool temporaryExistedAtClose = false;
  long written = 0;

  void Open(std::string name) override {
    raw_.Open(name);
    inputOpen = true;
    temporaryExistedAtClose = false;
    TotalLength = raw_.TotalLength + extraLength;
    Ended = false;
  }
  bool Close() override {
    const bool failed = raw_.Close();
    if (inputOpen && !outputName.empty()) {
      temporaryExistedAtClose = FileExists(outputName);
    }
    inputOpen = false;
    Ended = false;
    if (onClose) {
      auto action = onClose;
      onClose = nullptr;
      action();
    }
    return failed || closeFails;
  }
  bool AtEnd() override {
    const bool end = raw_.AtEnd();
    Ended = raw_.Ended;
    return end;
  }
  int8_t NextSample() override {
    const int8_t sample = raw_.NextSample();
    Ended = raw_.Ended;
    return sample;
  }
  void OpenOutput(std::string name) override {
    outputName = name;
    raw_.OpenOutput(name);
  }
  void CopyHeader() override { raw_.CopyHeader(); }
  void WriteSample(int8_t sample) override {
    if (written == failWritingAt) {
      throw std::runtime_error("File writing error");
    }
    ++written;
    raw_.WriteSample(sample);
  }

 private:
  RAWSound raw_;
};

// Runs in another current folder for as long as it lives.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~InFolder() { std::filesystem::current_path(previous_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  std::filesystem::path previous_;
};

// ---------------------------------------------------------------------------------------------
// Weights and accumulators

TEST(Weights, FormATriangleOf101PeakingAt51) {
  ASSERT_EQ(kWeights.size(), 101u);
  int total = 0;
  for (size_t k = 0; k < kWeights.size(); ++k) {
    EXPECT_EQ(kWeights[k], 51 - std::abs(static_cast<int>(k) - 50)) << "weight " << k;
    total += kWeights[k];
  }
  EXPECT_EQ(total, 51 * 51);
}

TEST(Accumulators, WholeWindowDividesBy2601) {
  WeightedAdd sum;
  EXPECT_EQ(sum.Divisor(), 2601.0);
  for (int k = 0; k < 101; ++k) {
    sum.Add(static_cast<int8_t>(k == 50 ? 100 : (k == 0 ? -7 : 0)));
  }
  // Only the centre (weight 51) and the first place (weight 1) count.
  EXPECT_EQ(sum.Sum(), 100 * 51 - 7);
  EXPECT_EQ(sum.Divisor(), 2601.0);
  EXPECT_EQ(sum.Offset(), static_cast<int8_t>(std::trunc((100.0 * 51 - 7) / 2601 + 0.5)));
}

TEST(Accumulators, CutWindowsDivideByTheWeightsTheyUse) {
  // The start of the file: sample 0 takes the weights 51 down to 1 over samples 0 to 50.
  WeightedAddEnds start(50);
  // The end: sample N - 1 takes the weights 1 up to 51 over samples N - 51 to N - 1.
  WeightedAddEnds end(0);
  for (int k = 0; k < 51; ++k) {
    start.Add(1);
    end.Add(static_cast<int8_t>(k == 50 ? 1 : 0));
  }
  EXPECT_EQ(start.Divisor(), 1326.0);
  EXPECT_EQ(start.Sum(), 1326);
  EXPECT_EQ(end.Divisor(), 1326.0);
  EXPECT_EQ(end.Sum(), 51);  // the last sample falls on the peak

  WeightedAddEnds nearStart(30);  // sample 20: weights w[30] to w[100] over samples 0 to 70
  int expected = 0;
  for (int k = 30; k <= 100; ++k) {
    nearStart.Add(1);
    expected += 51 - std::abs(k - 50);
  }
  EXPECT_EQ(nearStart.Divisor(), expected);
}

TEST(Accumulators, AConstantGivesItsValueRoundedHalfUpTowardZero) {
  // The mean of a constant v is v; plus 0.5 truncated toward zero, that is v for v >= 0 and
  // v + 1 below (-3 + 0.5 = -2.5 gives -2).
  for (int v = -128; v <= 127; ++v) {
    const int8_t value = static_cast<int8_t>(v);
    const int8_t expected = static_cast<int8_t>(v >= 0 ? v : v + 1);
    WeightedAdd whole;
    for (int k = 0; k < 101; ++k) {
      whole.Add(value);
    }
    EXPECT_EQ(whole.Offset(), expected) << v;
    for (uint8_t first : {uint8_t{0}, uint8_t{1}, uint8_t{49}, uint8_t{50}}) {
      WeightedAddEnds cut(first);
      for (int k = first; k < 101 - first; ++k) {
        cut.Add(value);
      }
      EXPECT_EQ(cut.Offset(), expected) << v << " from weight " << int{first};
    }
  }
}

TEST(Accumulators, IntegerOffsetEqualsTheDoubleOneForEveryWindow) {
  // Every divisor a window can have (the whole one, and the ones cut by 1 to 50 places at an
  // end), and every sum that 8-bit samples can give with it.
  using DCOffsetFunctions_ns::IntegerOffsetOf;
  using DCOffsetFunctions_ns::OffsetOf;
  std::vector<int32_t> divisors;
  for (int cut = 0; cut <= 50; ++cut) {
    int32_t divisor = 0;
    for (int k = cut; k < 101; ++k) {
      divisor += 51 - std::abs(k - 50);
    }
    divisors.push_back(divisor);
  }
  ASSERT_EQ(divisors.front(), 2601);
  ASSERT_EQ(divisors.back(), 1326);
  long mismatches = 0;
  for (int32_t divisor : divisors) {
    for (int32_t sum = -128 * divisor; sum <= 127 * divisor; ++sum) {
      if (IntegerOffsetOf(sum, divisor) != OffsetOf(sum, static_cast<double>(divisor))) {
        if (++mismatches < 5) {
          ADD_FAILURE() << "sum " << sum << ", divisor " << divisor;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(Accumulators, SinglePrecisionOffsetEqualsTheIntegerOneForEveryWholeWindow) {
  // Every sum that 8-bit samples can give over a whole window, and a little beyond.
  using DCOffsetFunctions_ns::FullWindowOffsetOf;
  using DCOffsetFunctions_ns::IntegerOffsetOf;
  long mismatches = 0;
  for (int32_t sum = -128 * 2601 - 100; sum <= 127 * 2601 + 100; ++sum) {
    if (FullWindowOffsetOf(sum) != IntegerOffsetOf(sum, 2601)) {
      if (++mismatches < 5) {
        ADD_FAILURE() << "sum " << sum;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  // The points where the offset steps, on both sides of zero.
  EXPECT_EQ(FullWindowOffsetOf(1300), 0);
  EXPECT_EQ(FullWindowOffsetOf(1301), 1);
  EXPECT_EQ(FullWindowOffsetOf(-3901), 0);
  EXPECT_EQ(FullWindowOffsetOf(-3902), -1);
}

TEST(Accumulators, RefuseMoreThanAWindow) {
  WeightedAdd whole;
  for (int k = 0; k < 101; ++k) {
    whole.Add(1);
  }
  EXPECT_THROW(whole.Add(1), std::logic_error);
  WeightedAddEnds cut(100);
  cut.Add(1);
  EXPECT_THROW(cut.Add(1), std::logic_error);
  EXPECT_THROW(WeightedAddEnds(101), std::logic_error);
}

// ---------------------------------------------------------------------------------------------
// The temporary file's name

TEST(TemporaryFileName, SitsInTheInputsFolderWithItsExtension) {
  EXPECT_EQ(TemporaryName("tape.wav", "7-0"), "DCOffsetsFixed-7-0.wav");
  EXPECT_EQ(TemporaryName("tape.RAW", "7-0"), "DCOffsetsFixed-7-0.RAW");
  EXPECT_EQ(TemporaryName("side.a.raw", "7-1"), "DCOffsetsFixed-7-1.raw");
  EXPECT_EQ(TemporaryName("tape", "7-0"), "DCOffsetsFixed-7-0");
  EXPECT_EQ(TemporaryName("tapes/tape.wav", "12-3"), "tapes/DCOffsetsFixed-12-3.wav");
  EXPECT_EQ(TemporaryName("/home/a/tapes/side.raw", "1-0"), "/home/a/tapes/DCOffsetsFixed-1-0.raw");
  EXPECT_EQ(TemporaryName("/tape.raw", "1-0"), "/DCOffsetsFixed-1-0.raw");
  EXPECT_EQ(TemporaryName("../tape.raw", "1-0"), "../DCOffsetsFixed-1-0.raw");
  // A dot in a folder's name is no extension.
  EXPECT_EQ(TemporaryName("old.tapes/tape", "1-0"), "old.tapes/DCOffsetsFixed-1-0");
  EXPECT_EQ(TemporaryName("old.tapes/tape.wav", "1-0"), "old.tapes/DCOffsetsFixed-1-0.wav");
}

TEST(TemporaryFileName, FollowsThePlatformsSeparators) {
  const std::string separators = Platform_ns::PathSeparators();
  if (separators.find('\\') != std::string::npos) {
    EXPECT_EQ(TemporaryName("C:\\tapes\\tape.wav", "1-0"), "C:\\tapes\\DCOffsetsFixed-1-0.wav");
  } else {
    // A backslash is an ordinary character of a file name here.
    EXPECT_EQ(TemporaryName("a\\tape.wav", "1-0"), "DCOffsetsFixed-1-0.wav");
  }
}

// ---------------------------------------------------------------------------------------------
// Corrected samples

TEST(Correction, ConstantSignalsBecomeZeroOrMinusOne) {
  TempFolder folder;
  for (int v : {0, 1, 5, 64, 127, -1, -2, -3, -77, -128}) {
    const std::string path = folder / "flat.raw";
    WriteFile(path, SignedBytes(Constant(400, static_cast<int8_t>(v))));
    const Samples fixed = FixRawFile(path);
    EXPECT_EQ(fixed, Constant(400, v >= 0 ? int8_t{0} : int8_t{-1})) << "level " << v;
  }
}

TEST(Correction, Needs102Samples) {
  TempFolder folder;
  const std::string path = folder / "short.raw";
  for (size_t length : {0u, 1u, 50u, 101u}) {
    const std::string original = SignedBytes(Uniform(length, 7));
    WriteFile(path, original);
    RAWSound sound;
    sound.Open(path);
    EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path); }), "File too small to fix DC offsets")
        << length;
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{"short.raw"});
    ExpectClosed(sound, path);
  }

  const Samples exact = Uniform(102, 8);
  WriteFile(path, SignedBytes(exact));
  EXPECT_EQ(FixRawFile(path), DirectCorrection(exact));
}

TEST(Correction, EndSamplesUseHalfATriangleDividedBy1326) {
  // A single loud sample near either end moves the first or last sample's offset by its weight
  // over 1326, not over 2601.
  TempFolder folder;
  const std::string path = folder / "ends.raw";
  const size_t n = 300;
  for (size_t place : {0u, 1u, 10u, 50u}) {
    Samples s(n, 0);
    s[place] = 127;
    s[n - 1 - place] = -128;
    WriteFile(path, SignedBytes(s));
    const Samples fixed = FixRawFile(path);
    const int weight = 51 - static_cast<int>(place);
    const int first = static_cast<int>(std::trunc(127.0 * weight / 1326 + 0.5));
    const int last = static_cast<int>(std::trunc(-128.0 * weight / 1326 + 0.5));
    EXPECT_EQ(fixed[0], Clamp(s[0] - first)) << place;
    EXPECT_EQ(fixed[n - 1], Clamp(s[n - 1] - last)) << place;
  }

  const Samples noise = Uniform(n, 11);
  WriteFile(path, SignedBytes(noise));
  const Samples fixed = FixRawFile(path);
  int startSum = 0;
  int endSum = 0;
  for (size_t j = 0; j <= 50; ++j) {
    startSum += noise[j] * (51 - static_cast<int>(j));
    endSum += noise[n - 1 - j] * (51 - static_cast<int>(j));
  }
  EXPECT_EQ(fixed[0], Clamp(noise[0] - static_cast<int>(std::trunc(startSum / 1326.0 + 0.5))));
  EXPECT_EQ(fixed[n - 1],
            Clamp(noise[n - 1] - static_cast<int>(std::trunc(endSum / 1326.0 + 0.5))));
}

TEST(Correction, RunningSumsMatchTheDirectWeightedSums) {
  // Every length around the places where the start, the inside and the end meet, and longer
  // files, over full-range, extreme and wandering data.
  TempFolder folder;
  const std::string path = folder / "random.raw";
  unsigned seed = 1;
  for (size_t length : {102u, 103u, 104u, 150u, 151u, 152u, 153u, 200u, 201u, 202u, 1000u, 9973u}) {
    for (const Samples& s :
         {Uniform(length, seed), Extremes(length, seed + 1), Wandering(length, seed + 2)}) {
      const Samples direct = DirectCorrection(s);
      ASSERT_EQ(AccumulatorCorrection(s), direct) << "length " << length;
      WriteFile(path, SignedBytes(s));
      const Samples fixed = FixRawFile(path);
      ASSERT_EQ(fixed.size(), length);
      ASSERT_EQ(fixed, direct) << "length " << length << ", seed " << seed;
    }
    seed += 3;
  }
}

TEST(Correction, LongFilesMatchTheDirectWeightedSums) {
  // Files that are read and corrected in several pieces, ending just after, on and around the
  // joins between them, in both kinds of RAW file and in WAV files.
  TempFolder folder;
  const std::string raw = folder / "long.raw";
  const std::string wav = folder / "long.wav";
  unsigned seed = 40;
  for (size_t length : {16486u, 16487u, 16537u, 32870u, 49255u, 65536u, 65587u, 70001u}) {
    const Samples s = seed % 2 == 0 ? Wandering(length, seed) : Uniform(length, seed);
    const Samples direct = DirectCorrection(s);

    WriteFile(raw, SignedBytes(s));
    ASSERT_TRUE(FixRawFile(raw) == direct) << "length " << length;

    WriteFile(raw, UnsignedBytes(s));
    RAWSound unsignedSound;
    unsignedSound.SetSignedSamples(false);
    unsignedSound.Open(raw);
    FixDCOffsets(unsignedSound, raw);
    ASSERT_TRUE(ReadFile(raw) == UnsignedBytes(direct)) << "length " << length;

    const auto bytes = TapeBuilder_ns::EncodeWav(s, 44100);
    WriteFile(wav, std::string(bytes.begin(), bytes.end()));
    WAVSound wavSound;
    wavSound.Open(wav);
    FixDCOffsets(wavSound, wav);
    // The header of 44 bytes, the samples and the pad byte of an odd length, as they were.
    const std::string fixed = ReadFile(wav);
    ASSERT_EQ(fixed.size(), bytes.size());
    EXPECT_TRUE(fixed.substr(0, 44) == std::string(bytes.begin(), bytes.begin() + 44));
    ASSERT_TRUE(fixed.substr(44, length) == UnsignedBytes(direct)) << "length " << length;
    EXPECT_TRUE(fixed.substr(44 + length) ==
                std::string(bytes.begin() + 44 + static_cast<long>(length), bytes.end()));
    ++seed;
  }
}

TEST(Correction, ValuesBeyondTheRangeAreClamped) {
  TempFolder folder;
  const std::string path = folder / "loud.raw";
  // One sample against a window of the opposite extreme: its corrected value is out of range.
  Samples low(400, -128);
  low[200] = 127;
  Samples high(400, 127);
  high[200] = -128;
  for (const Samples& s : {low, high}) {
    int sum = 0;
    for (size_t j = 150; j <= 250; ++j) {
      sum += s[j] * (51 - std::abs(static_cast<int>(j) - 200));
    }
    const int unclamped = s[200] - static_cast<int>(std::trunc(sum / 2601.0 + 0.5));
    ASSERT_TRUE(unclamped > 127 || unclamped < -128) << unclamped;
    WriteFile(path, SignedBytes(s));
    const Samples fixed = FixRawFile(path);
    EXPECT_EQ(fixed[200], unclamped > 0 ? 127 : -128);
    EXPECT_EQ(fixed, DirectCorrection(s));
  }
}

TEST(Correction, UnsignedFilesAreReadAndWrittenUnsigned) {
  TempFolder folder;
  const std::string path = folder / "unsigned.raw";
  const Samples s = Wandering(700, 5);
  WriteFile(path, UnsignedBytes(s));
  RAWSound sound;
  sound.SetSignedSamples(false);
  sound.Open(path);
  FixDCOffsets(sound, path);
  EXPECT_EQ(ReadFile(path), UnsignedBytes(DirectCorrection(s)));

  // Byte 0x80 is silence when unsigned and -128 when signed.
  WriteFile(path, std::string(300, '\x80'));
  sound.Open(path);
  FixDCOffsets(sound, path);
  EXPECT_EQ(ReadFile(path), std::string(300, '\x80'));
  RAWSound signedSound;
  signedSound.Open(path);
  FixDCOffsets(signedSound, path);
  EXPECT_EQ(ReadFile(path), std::string(300, '\xFF'));
}

TEST(Correction, RemovesAStrongSlowDrift) {
  // A 1200 Hz tone of amplitude 30 riding on a drift of amplitude 90 (period 0.6 s): the tone
  // is often wholly above or below zero. Afterwards the local level stays near zero and the
  // tone is what is left.
  const size_t n = 44100;
  Samples tone;
  Samples drifting;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    const int wave = static_cast<int>(std::lround(30 * std::sin(2 * kPi * 1200 * t / 44100)));
    const int drift = static_cast<int>(std::lround(90 * std::sin(2 * kPi * t / 26460)));
    tone.push_back(static_cast<int8_t>(wave));
    drifting.push_back(Clamp(wave + drift));
  }
  TempFolder folder;
  const std::string path = folder / "drift.raw";
  WriteFile(path, SignedBytes(drifting));
  const Samples fixed = FixRawFile(path);
  ASSERT_EQ(fixed.size(), n);

  double largestLevelBefore = 0;
  double largestLevelAfter = 0;
  for (size_t start = 0; start + 147 <= n; start += 147) {  // four cycles of the tone
    double before = 0;
    double after = 0;
    for (size_t i = start; i < start + 147; ++i) {
      before += drifting[i];
      after += fixed[i];
    }
    largestLevelBefore = std::max(largestLevelBefore, std::fabs(before / 147));
    largestLevelAfter = std::max(largestLevelAfter, std::fabs(after / 147));
  }
  EXPECT_GT(largestLevelBefore, 80);
  EXPECT_LT(largestLevelAfter, 2);
  // Where the window is whole, what remains is the tone; the half windows at the ends let a
  // little of the tone itself into the offset.
  int largestError = 0;
  for (size_t i = 50; i + 50 < n; ++i) {
    largestError = std::max(largestError, std::abs(fixed[i] - tone[i]));
  }
  EXPECT_LE(largestError, 3);
}

TEST(Correction, WavFilesKeepTheirHeader) {
  TempFolder folder;
  const std::string path = folder / "tape.wav";
  const Samples s = Wandering(5000, 9);
  const auto bytes = TapeBuilder_ns::EncodeWav(s, 22050);
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  WAVSound sound;
  sound.Open(path);
  FixDCOffsets(sound, path);
  const auto expected = TapeBuilder_ns::EncodeWav(DirectCorrection(s), 22050);
  EXPECT_EQ(ReadFile(path), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{"tape.wav"});

  // Reopened as the program does after the correction.
  sound.Open(path);
  EXPECT_EQ(sound.SampleRate, 22050u);
  EXPECT_EQ(sound.TotalLength, 5000);
  Samples reread;
  for (int i = 0; i < 5000; ++i) {
    reread.push_back(sound.NextSample());
  }
  EXPECT_EQ(reread, DirectCorrection(s));
  sound.Close();
}

TEST(Correction, OddLengthWavFilesStayReadable) {
  TempFolder folder;
  const std::string path = folder / "odd.wav";
  const Samples s = Uniform(1001, 4);
  const auto bytes = TapeBuilder_ns::EncodeWav(s, 44100);
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  WAVSound sound;
  sound.Open(path);
  FixDCOffsets(sound, path);
  sound.Open(path);
  EXPECT_EQ(sound.TotalLength, 1001);
  Samples reread;
  for (int i = 0; i < 1001; ++i) {
    reread.push_back(sound.NextSample());
  }
  EXPECT_EQ(reread, DirectCorrection(s));
  sound.Close();
}

// ---------------------------------------------------------------------------------------------
// The temporary file and the replacement of the input

TEST(Replacement, LeavesOnlyTheCorrectedInput) {
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const Samples s = Uniform(3000, 21);
  WriteFile(path, SignedBytes(s));
  // Files of other runs, or left over from before under this run's first name, are passed by
  // and left as they are.
  WriteFile(folder / kTemporary, std::string(10000, 'x'));
  WriteFile(folder / "DCOffsetsFixed.raw", "someone's");
  ProbeSound sound;
  sound.Open(path);
  FixDCOffsets(sound, path);
  EXPECT_EQ(sound.outputName, folder / ("DCOffsetsFixed-" + Platform_ns::ProcessTag() + "-1.raw"));
  EXPECT_TRUE(sound.temporaryExistedAtClose);
  EXPECT_FALSE(sound.inputOpen);
  EXPECT_EQ(FolderContents(folder.Path()),
            (std::vector<std::string>{kTemporary, "DCOffsetsFixed.raw", "tape.raw"}));
  EXPECT_EQ(ReadFile(folder / kTemporary), std::string(10000, 'x'));
  EXPECT_EQ(ReadFile(folder / "DCOffsetsFixed.raw"), "someone's");
  EXPECT_EQ(SamplesOf(ReadFile(path)), DirectCorrection(s));

  // Closed, and opened again on the rewritten file as the program does.
  RAWSound reopened;
  reopened.Open(path);
  EXPECT_EQ(reopened.TotalLength, 3000);
  reopened.Close();
}

TEST(Replacement, TemporaryFileIsBesideAnInputInAnotherFolder) {
  TempFolder folder;
  std::filesystem::create_directory(folder / "tapes");
  const std::string path = folder / "tapes/side.raw";
  const Samples s = Wandering(500, 2);
  WriteFile(path, SignedBytes(s));
  ProbeSound sound;
  sound.Open(path);
  FixDCOffsets(sound, path);
  EXPECT_EQ(sound.outputName, folder / ("tapes/" + kTemporary));
  EXPECT_TRUE(sound.temporaryExistedAtClose);
  EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{"tapes"});
  EXPECT_EQ(FolderContents(folder / "tapes"), std::vector<std::string>{"side.raw"});
  EXPECT_EQ(SamplesOf(ReadFile(path)), DirectCorrection(s));

  // A relative name with a folder, from the folder above.
  InFolder inside(folder.Path());
  sound.outputName.clear();
  sound.Open("tapes/side.raw");
  FixDCOffsets(sound, "tapes/side.raw");
  EXPECT_EQ(sound.outputName, "tapes/" + kTemporary);
  EXPECT_TRUE(sound.temporaryExistedAtClose);
  EXPECT_EQ(FolderContents("tapes"), std::vector<std::string>{"side.raw"});
}

TEST(Replacement, InputWithoutFolderUsesTheCurrentFolder) {
  TempFolder folder;
  const Samples s = Uniform(400, 3);
  WriteFile(folder / "tape.raw", SignedBytes(s));
  InFolder inside(folder.Path());
  ProbeSound sound;
  sound.Open("tape.raw");
  FixDCOffsets(sound, "tape.raw");
  EXPECT_EQ(sound.outputName, kTemporary);
  EXPECT_TRUE(sound.temporaryExistedAtClose);
  EXPECT_EQ(FolderContents("."), std::vector<std::string>{"tape.raw"});
  EXPECT_EQ(SamplesOf(ReadFile("tape.raw")), DirectCorrection(s));
}

// The failure for a rename of the temporary file from to the input to that the system
// refuses: the platform is asked for the same rename again, and the message names its cause (a
// folder in the way is a plain failure with the system's description on POSIX, a denied access
// on Windows).
std::string RenameFailure(const std::string& from, const std::string& to) {
  const Platform_ns::FileResult refused = Platform_ns::ReplaceFile(from, to);
  EXPECT_NE(refused.error, FileError::kNone);
  EXPECT_FALSE(refused.text.empty());
  const std::string keptIn =
      ".  The input file is unchanged and the corrected recording is in " + from;
  if (refused.error == FileError::kPermissionDenied) {
    return "OS Permission denied to rename temporary file" + keptIn;
  }
  return "Could not rename temporary file (" + refused.text + ")" + keptIn;
}

TEST(Replacement, IsOneStepThatLeavesTheInputWhenItFails) {
  // The temporary file turns into a folder before it can be renamed: the rename fails, and the
  // input must still be there, unchanged (removing it first would lose it).
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const std::string original = SignedBytes(Uniform(500, 4));
  WriteFile(path, original);
  ProbeSound sound;
  sound.Open(path);
  sound.onClose = [&] {
    std::filesystem::remove(folder / kTemporary);
    std::filesystem::create_directory(folder / kTemporary);
    WriteFile(folder / kTemporary + "/inside", "x");
  };
  const std::string failure = FailureOf([&] { FixDCOffsets(sound, path); });
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_FALSE(sound.inputOpen);
  EXPECT_EQ(failure, RenameFailure(folder / kTemporary, path));
}

TEST(Replacement, FailureKeepsTheCorrectedRecordingUnderTheTemporaryName) {
  // The input's name now belongs to a folder with something in it, which a file may not
  // replace.
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const Samples s = Uniform(500, 5);
  WriteFile(path, SignedBytes(s));
  ProbeSound sound;
  sound.Open(path);
  sound.onClose = [&] {
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    WriteFile(path + "/inside", "x");
  };
  const std::string failure = FailureOf([&] { FixDCOffsets(sound, path); });
  EXPECT_EQ(SamplesOf(ReadFile(folder / kTemporary)), DirectCorrection(s));
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(failure, RenameFailure(folder / kTemporary, path));
}

FileResult DenyPermission(const std::string&, const std::string&) {
  return {FileError::kPermissionDenied, "Permission denied"};
}
FileResult CrossDevice(const std::string&, const std::string&) {
  return {FileError::kOther, "Invalid cross-device link"};
}
FileResult NotThere(const std::string&, const std::string&) {
  return {FileError::kNotFound, "No such file or directory"};
}

TEST(Replacement, EachRenameFailureHasItsMessage) {
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const Samples s = Uniform(600, 6);
  const std::string original = SignedBytes(s);
  const std::string keptIn =
      ".  The input file is unchanged and the corrected recording is in " + folder / kTemporary;

  struct Case {
    Platform_ns::FileResult (*replace)(const std::string&, const std::string&);
    std::string message;
  };
  for (const Case& c :
       {Case{DenyPermission, "OS Permission denied to rename temporary file" + keptIn},
        Case{CrossDevice,
             "Could not rename temporary file (Invalid cross-device link)" + keptIn}}) {
    WriteFile(path, original);
    RAWSound sound;
    sound.Open(path);
    EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path, c.replace); }), c.message);
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(SamplesOf(ReadFile(folder / kTemporary)), DirectCorrection(s));
    ExpectClosed(sound, path);
    std::filesystem::remove(folder / kTemporary);
  }

  RAWSound sound;
  sound.Open(path);
  EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path, NotThere); }),
            "Could not find the temporary file.  This is an unusual error");
  EXPECT_EQ(ReadFile(path), original);
}

TEST(Replacement, TemporaryFileGoneBeforeTheRename) {
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const std::string original = SignedBytes(Uniform(500, 7));
  WriteFile(path, original);
  ProbeSound sound;
  sound.Open(path);
  sound.onClose = [&] { std::filesystem::remove(folder / kTemporary); };
  EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path); }),
            "Could not find the temporary file.  This is an unusual error");
  EXPECT_EQ(ReadFile(path), original);
}

TEST(Replacement, ReadOnlyFolderLeavesTheInputUntouched) {
  if (!TestSupport::FolderPermissionsApply()) {
    GTEST_SKIP() << "folder permissions do not stop this user (the superuser, or on Windows)";
  }
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const Samples s = Uniform(500, 8);
  const std::string original = SignedBytes(s);
  WriteFile(path, original);

  // Not writable from the start: the temporary file cannot be made.
  std::filesystem::permissions(
      folder.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  RAWSound sound;
  sound.Open(path);
  EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path); }), "Could not open output file");
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{"tape.raw"});
  ExpectClosed(sound, path);

  // Made read-only while the correction runs: the rename is refused.
  std::filesystem::permissions(folder.Path(), std::filesystem::perms::owner_all);
  ProbeSound probe;
  probe.Open(path);
  probe.onClose = [&] {
    std::filesystem::permissions(
        folder.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  };
  EXPECT_EQ(FailureOf([&] { FixDCOffsets(probe, path); }),
            "OS Permission denied to rename temporary file.  The input file is unchanged and the "
            "corrected recording is in " +
                folder / kTemporary);
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_EQ(SamplesOf(ReadFile(folder / kTemporary)), DirectCorrection(s));
}

// ---------------------------------------------------------------------------------------------
// Failures while correcting

TEST(CorrectionFailure, UnexpectedEndOfFile) {
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const std::string original = SignedBytes(Uniform(300, 9));
  for (int32_t missing : {1, 2, 60, 1000}) {
    WriteFile(path, original);
    ProbeSound sound;
    sound.extraLength = missing;
    sound.Open(path);
    testing::internal::CaptureStderr();
    EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path); }), "Unexpected end of file") << missing;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(sound.inputOpen);
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{"tape.raw"});
  }

  // When the source cannot even be closed, the user is told on standard error as well.
  ProbeSound sound;
  sound.extraLength = 5;
  sound.closeFails = true;
  sound.Open(path);
  testing::internal::CaptureStderr();
  EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path); }), "Unexpected end of file");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nCould not close a sound file.");
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{"tape.raw"});
}

TEST(CorrectionFailure, WritingErrorRemovesTheTemporaryFile) {
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const std::string original = SignedBytes(Uniform(400, 10));
  for (long at : {0L, 1L, 49L, 50L, 200L, 399L}) {
    WriteFile(path, original);
    ProbeSound sound;
    sound.failWritingAt = at;
    sound.Open(path);
    EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path); }), "File writing error") << at;
    EXPECT_FALSE(sound.inputOpen);
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{"tape.raw"});
  }
}

TEST(CorrectionFailure, FailedCloseAfterWritingKeepsTheInput) {
  // The last bytes of the corrected recording may not have reached the disk.
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const std::string original = SignedBytes(Uniform(400, 12));
  WriteFile(path, original);
  ProbeSound sound;
  sound.closeFails = true;
  sound.Open(path);
  testing::internal::CaptureStderr();
  EXPECT_EQ(FailureOf([&] { FixDCOffsets(sound, path); }), "Could not close a sound file");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{"tape.raw"});
}

TEST(CorrectionFailure, TemporaryNameTakenByAFolderIsPassedBy) {
  TempFolder folder;
  const std::string path = folder / "tape.raw";
  const Samples s = Uniform(400, 13);
  WriteFile(path, SignedBytes(s));
  std::filesystem::create_directory(folder / kTemporary);
  WriteFile(folder / kTemporary + "/keep", "mine");
  EXPECT_EQ(FixRawFile(path), DirectCorrection(s));
  EXPECT_EQ(ReadFile(folder / kTemporary + "/keep"), "mine");
  EXPECT_EQ(FolderContents(folder.Path()), (std::vector<std::string>{kTemporary, "tape.raw"}));
}

TEST(Correction, InputCarryingTheOldTemporaryName) {
  // The temporary file has a name of its own, so a recording called as the temporary file
  // once was is corrected like any other.
  TempFolder folder;
  for (const std::string name : {"DCOffsetsFixed.raw", "dcoffsetsfixed.raw"}) {
    const std::string path = folder / name;
    const Samples s = Uniform(400, 14);
    WriteFile(path, SignedBytes(s));
    EXPECT_EQ(FixRawFile(path), DirectCorrection(s)) << name;
    EXPECT_EQ(FolderContents(folder.Path()), std::vector<std::string>{name});
    std::filesystem::remove(path);
  }
}

// ---------------------------------------------------------------------------------------------
// Decoding a drifting recording

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(CorrectionDecoding, RecoversTheBlocksOfADriftingRecording) {
  std::vector<uint8_t> data(1500);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(i * 13 + 5);
  }
  const TapeBuilder_ns::Tape tape = TapeBuilder_ns::StandardTape({{"DRIFT", 0x1900, 0x8023, data}});
  TapeBuilder_ns::RenderOptions clean;
  clean.amplitude = 35;
  TapeBuilder_ns::RenderOptions drifting = clean;
  drifting.driftAmplitude = 85;
  drifting.driftFrequencyHz = 3;

  TempFolder folder;
  TapeBuilder_ns::WriteRaw(folder / "clean.raw", TapeBuilder_ns::RenderSamples(tape, clean), true);
  TapeBuilder_ns::WriteRaw(folder / "drift.raw", TapeBuilder_ns::RenderSamples(tape, drifting),
                           true);
  const auto reference = TestSupport::RunVarnstow(folder.Path(), {"-i", "clean.raw", "-c"});
  ASSERT_EQ(reference.exitCode, 0);
  const size_t blocks = Count(reference.output, "Checksum ok");
  ASSERT_EQ(blocks, 6u);

  const auto plain = TestSupport::RunVarnstow(folder.Path(), {"-i", "drift.raw", "-c"});
  EXPECT_LT(Count(plain.output, "Checksum ok"), blocks / 2);

  RAWSound sound;
  sound.Open(folder / "drift.raw");
  FixDCOffsets(sound, folder / "drift.raw");
  const auto fixed = TestSupport::RunVarnstow(folder.Path(), {"-i", "drift.raw", "-c"});
  EXPECT_EQ(fixed.exitCode, 0);
  EXPECT_EQ(Count(fixed.output, "Checksum ok"), blocks);
  // The same data chunks as the clean recording gives.
  EXPECT_EQ(ReadFile(folder / "drift.uef"), ReadFile(folder / "clean.uef"));
}

}  // namespace
