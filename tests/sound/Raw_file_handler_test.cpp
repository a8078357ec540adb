// The RAW sound source: samples in both data types, the end of the file, opening and closing,
// and the corrected copy written through its output.
#include "sound/Raw_file_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Temp_folder.h"

namespace {

using SoundInput_ns::RAWSound;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
  return "";
}

std::vector<int> ReadAll(RAWSound& sound, size_t limit = 1u << 24) {
  std::vector<int> samples;
  while (samples.size() < limit) {
    const int sample = sound.NextSample();
    if (sound.AtEnd()) {
      EXPECT_EQ(sample, 0);
      break;
    }
    samples.push_back(sample);
  }
  return samples;
}

// Bytes whose value differs from one to the next in a long run, across buffer refills.
std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>((i * 37 + i / 256) & 0xFF);
  }
  return bytes;
}

TEST(RawSource, SignedAndUnsignedBytes) {
  TempFolder folder;
  WriteFile(folder / "t.raw", std::string("\x00\x7f\x80\xff\x01", 5));
  RAWSound sound;
  EXPECT_EQ(sound.SampleRate, 44100u);
  EXPECT_TRUE(sound.SignedSamples());
  sound.Open(folder / "t.raw");
  EXPECT_EQ(sound.TotalLength, 5);
  EXPECT_EQ(ReadAll(sound), (std::vector<int>{0, 127, -128, -1, 1}));
  sound.Close();

  sound.SetSignedSamples(false);
  sound.Open(folder / "t.raw");
  EXPECT_EQ(ReadAll(sound), (std::vector<int>{-128, -1, 0, 127, -127}));
}

TEST(RawSource, EndOfTheFileStopsTheCounts) {
  TempFolder folder;
  WriteFile(folder / "t.raw", "abc");
  RAWSound sound;
  sound.Open(folder / "t.raw");
  EXPECT_FALSE(sound.AtEnd());
  EXPECT_EQ(sound.NextSample(), 'a');
  EXPECT_EQ(sound.Position, 1u);
  EXPECT_EQ(sound.ProgressPercent(), 33);
  EXPECT_EQ(sound.NextSample(), 'b');
  EXPECT_EQ(sound.ProgressPercent(), 67);  // rounded, not cut
  EXPECT_EQ(sound.NextSample(), 'c');
  EXPECT_EQ(sound.ProgressPercent(), 100);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sound.NextSample(), 0);
    EXPECT_TRUE(sound.Ended);
    EXPECT_TRUE(sound.AtEnd());
    EXPECT_EQ(sound.Position, 3u);
    EXPECT_EQ(static_cast<int32_t>(sound.Position), sound.TotalLength);
  }
  EXPECT_FALSE(sound.Close());

  WriteFile(folder / "empty.raw", "");
  RAWSound empty;
  empty.Open(folder / "empty.raw");
  EXPECT_EQ(empty.TotalLength, 0);
  EXPECT_EQ(empty.ProgressPercent(), 0);
  EXPECT_EQ(empty.NextSample(), 0);
  EXPECT_TRUE(empty.Ended);
  EXPECT_TRUE(empty.AtEnd());
  EXPECT_EQ(empty.Position, 0u);
}

TEST(RawSource, LongFileReadsWholeAcrossBufferRefills) {
  TempFolder folder;
  const std::string bytes = Pattern(200000);
  WriteFile(folder / "long.raw", bytes);
  RAWSound sound;
  sound.Open(folder / "long.raw");
  EXPECT_EQ(sound.TotalLength, 200000);
  EXPECT_FALSE(sound.AtDataEnd());
  std::vector<int> samples = ReadAll(sound, bytes.size() - 1);
  EXPECT_FALSE(sound.AtDataEnd());
  samples.push_back(sound.NextSample());
  EXPECT_TRUE(sound.AtDataEnd());  // at the last byte, before trying to read past it
  EXPECT_TRUE(ReadAll(sound).empty());
  ASSERT_EQ(samples.size(), bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(samples[i], static_cast<int8_t>(bytes[i])) << i;
  }
  EXPECT_EQ(sound.Position, 200000u);
}

TEST(RawSource, OpenFailuresLeaveTheSourceUsable) {
  TempFolder folder;
  WriteFile(folder / "one.raw", "\x01\x02\x03");
  WriteFile(folder / "two.raw", "\x09");
  RAWSound sound;
  const std::string missing = folder / "missing.raw";
  EXPECT_EQ(FailureOf([&] { sound.Open(missing); }), "Could not open " + missing);

  sound.Open(folder / "one.raw");
  EXPECT_EQ(sound.NextSample(), 1);
  EXPECT_EQ(FailureOf([&] { sound.Open(folder / "two.raw"); }), "A RAW input file is already open");
  // The first file is still open where it was.
  EXPECT_EQ(sound.TotalLength, 3);
  EXPECT_EQ(sound.NextSample(), 2);
  EXPECT_EQ(sound.Position, 2u);

  // Closing and opening again starts at the first sample.
  sound.Close();
  sound.Open(folder / "one.raw");
  EXPECT_EQ(sound.Position, 0u);
  EXPECT_FALSE(sound.Ended);
  EXPECT_EQ(sound.NextSample(), 1);

  // So does rewinding, even after the end.
  ReadAll(sound);
  sound.Rewind();
  EXPECT_FALSE(sound.AtEnd());
  EXPECT_EQ(sound.Position, 0u);
  EXPECT_EQ(ReadAll(sound), (std::vector<int>{1, 2, 3}));

  // A failed open after a close leaves nothing half open.
  sound.Close();
  EXPECT_EQ(FailureOf([&] { sound.Open(missing); }), "Could not open " + missing);
  sound.Open(folder / "two.raw");
  EXPECT_EQ(sound.TotalLength, 1);
  EXPECT_EQ(ReadAll(sound), std::vector<int>{9});
}

TEST(RawSource, OutputRoundTripsEverySampleInBothDataTypes) {
  TempFolder folder;
  for (const bool isSigned : {true, false}) {
    const std::string path = folder / (isSigned ? "signed.raw" : "unsigned.raw");
    RAWSound writer;
    writer.SetSignedSamples(isSigned);
    writer.OpenOutput(path);
    for (int sample = -128; sample <= 127; ++sample) {
      writer.WriteSample(static_cast<int8_t>(sample));
    }
    EXPECT_FALSE(writer.Close());

    const std::string bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 256u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), isSigned ? 0x80 : 0x00);    // -128
    EXPECT_EQ(static_cast<uint8_t>(bytes[128]), isSigned ? 0x00 : 0x80);  // 0
    EXPECT_EQ(static_cast<uint8_t>(bytes[255]), isSigned ? 0x7F : 0xFF);  // 127

    RAWSound reader;
    reader.SetSignedSamples(isSigned);
    reader.Open(path);
    const std::vector<int> samples = ReadAll(reader);
    ASSERT_EQ(samples.size(), 256u);
    for (int i = 0; i < 256; ++i) {
      EXPECT_EQ(samples[static_cast<size_t>(i)], i - 128);
    }
  }
}

TEST(RawSource, OutputOpenFailures) {
  TempFolder folder;
  RAWSound sound;
  EXPECT_EQ(FailureOf([&] { sound.OpenOutput(folder / "no/such/folder.raw"); }),
            "Could not open output file");
  EXPECT_EQ(FailureOf([&] { sound.WriteSample(1); }), "File writing error");
  sound.OpenOutput(folder / "out.raw");
  sound.WriteSample(5);
  EXPECT_EQ(FailureOf([&] { sound.OpenOutput(folder / "other.raw"); }),
            "A RAW output file is already open");
  sound.WriteSample(6);
  sound.Close();
  EXPECT_EQ(ReadFile(folder / "out.raw"), "\x05\x06");
  EXPECT_FALSE(TestSupport::FileExists(folder / "other.raw"));
}

TEST(RawSource, FolderReadsAsAFailureNotAsAnEnd) {
  TempFolder folder;
  std::filesystem::create_directory(folder / "dir.raw");
  RAWSound sound;
  // Opening may succeed on a folder; reading from it must not pass for the end of a file.
  try {
    sound.Open(folder / "dir.raw");
  } catch (const std::runtime_error& failure) {
    EXPECT_EQ(std::string(failure.what()), "Could not open " + (folder / "dir.raw"));
    return;
  }
  EXPECT_EQ(FailureOf([&] { sound.NextSample(); }), "RAW file reading error");
}

TEST(RawSource, CursorGivesTheSamplesOfNextSample) {
  TempFolder folder;
  const std::string bytes = Pattern(150001);
  WriteFile(folder / "long.raw", bytes);
  for (const bool isSigned : {true, false}) {
    RAWSound sound;
    sound.SetSignedSamples(isSigned);
    sound.Open(folder / "long.raw");
    std::vector<int> expected;
    for (const char byte : bytes) {
      const auto value = static_cast<uint8_t>(byte);
      expected.push_back(static_cast<int8_t>(isSigned ? value : value ^ 0x80));
    }
    // A few through NextSample first: the cursor carries on from there.
    std::vector<int> samples{sound.NextSample(), sound.NextSample(), sound.NextSample()};
    {
      auto cursor = sound.Samples();
      int sample = 0;
      while (cursor.Next(sample)) {
        samples.push_back(sample);
      }
    }
    EXPECT_EQ(samples, expected);
    EXPECT_TRUE(sound.Ended);
    EXPECT_EQ(sound.Position, 150001u);
    // Past the end, a later cursor and NextSample find nothing either.
    for (int i = 0; i < 2; ++i) {
      auto cursor = sound.Samples();
      int sample = 0;
      EXPECT_FALSE(cursor.Next(sample));
      EXPECT_EQ(cursor.next, cursor.end);
    }
    EXPECT_EQ(sound.NextSample(), 0);
    EXPECT_EQ(sound.Position, 150001u);

    // After rewinding, the cursor starts again and counts as it goes.
    sound.Rewind();
    {
      auto cursor = sound.Samples();
      int sample = 0;
      for (int i = 0; i < 70000; ++i) {
        ASSERT_TRUE(cursor.Next(sample));
      }
      EXPECT_EQ(sample, expected[69999]);
    }
    EXPECT_EQ(sound.Position, 70000u);
    EXPECT_FALSE(sound.AtEnd());
    EXPECT_EQ(sound.NextSample(), expected[70000]);
  }
}

}  // namespace
