// One test for each fault that fuzzing found, named after what it caught, on the smallest
// input that shows it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "dcoffset/Dc_offset_fixing_functions.h"
#include "sound/Csw_file_handler.h"
#include "sound/Wave_file_handler.h"
#include "support/Process.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using SoundInput_ns::CSWSound;
using SoundInput_ns::WAVSound;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::RunVarnstow;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

std::string Le32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) {
    bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return bytes;
}

std::string Chunk(const std::string& id, const std::string& content) {
  return id + Le32(static_cast<uint32_t>(content.size())) + content +
         (content.size() % 2 != 0 ? std::string(1, '\0') : std::string());
}

// The 16 bytes of a "fmt " chunk of 8-bit mono PCM at rate.
std::string Format(uint32_t rate) {
  return Chunk("fmt ", std::string("\x01\x00\x01\x00", 4) + Le32(rate) + Le32(rate) +
                           std::string("\x01\x00\x08\x00", 4));
}

std::string Riff(const std::string& chunks) {
  return "RIFF" + Le32(static_cast<uint32_t>(chunks.size() + 4)) + "WAVE" + chunks;
}

// Samples with a strong offset, as unsigned bytes.
std::string OffsetSamples(size_t count) {
  std::string samples;
  for (size_t i = 0; i < count; ++i) {
    samples += static_cast<char>(128 + 60 + (i % 2 == 0 ? 20 : -20));
  }
  return samples;
}

std::string FailureOf(WAVSound& wav, const std::string& path) {
  try {
    DCOffsetFunctions_ns::FixDCOffsets(wav, path);
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
  return "(no failure)";
}

// Found by the WAV target: -d copied the header up to the first sample and dropped the chunks
// after the data, so a recording whose format chunk followed its data was replaced by a file
// without one, which could not be opened again; with a second format chunk after the data the
// corrected file was read at the rate of the first.
TEST(FuzzFindings, DcCorrectionRefusesAWavWhoseFormatChunkFollowsItsData) {
  TempFolder folder;
  const std::string path = folder / "tape.wav";
  const std::string samples = OffsetSamples(2001);
  for (const std::string& file : {Riff(Chunk("data", samples) + Format(22050)),
                                  Riff(Format(44100) + Chunk("data", samples) + Format(22050))}) {
    WriteFile(path, file);
    WAVSound wav;
    wav.Open(path);
    EXPECT_EQ(wav.SampleRate, 22050u);
    EXPECT_EQ(FailureOf(wav, path),
              "Cannot fix DC offsets in a WAV file whose format chunk follows its data");
    EXPECT_EQ(ReadFile(path), file);
    // Nothing but the recording: no temporary file is left.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1);
    wav.Open(path);  // closed by the failed correction
    wav.Close();
  }

  // The program refuses the correction before decoding and leaves the recording as it was.
  const std::string file = Riff(Chunk("data", samples) + Format(22050));
  WriteFile(path, file);
  const auto result = RunVarnstow(folder.Path(), {"-i", "tape.wav", "-d"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors,
            "\nCannot fix DC offsets in a WAV file whose format chunk follows its data.");
  EXPECT_EQ(ReadFile(path), file);
  EXPECT_FALSE(FileExists(folder / "tape.uef"));

  // A format chunk before the data still lets the correction through, whatever follows.
  const std::string usual = Riff(Format(22050) + Chunk("data", samples) + Chunk("LIST", "abc"));
  WriteFile(path, usual);
  WAVSound wav;
  wav.Open(path);
  EXPECT_EQ(FailureOf(wav, path), "(no failure)");
  wav.Open(path);
  EXPECT_EQ(wav.SampleRate, 22050u);
  EXPECT_EQ(wav.TotalLength, 2001);
  wav.Close();
}

// A CSW file: the header for count pulses at 44100 Hz, RLE, initial polarity low, then data.
std::string CswFile(uint32_t count, const std::vector<uint32_t>& pulses) {
  const auto header =
      TapeBuilder_ns::CswHeader(44100, count, TapeBuilder_ns::CswCompression::Rle, false, "test");
  std::vector<uint8_t> bytes(header.begin(), header.end());
  for (const uint32_t pulse : pulses) {
    TapeBuilder_ns::AppendCswPulse(bytes, pulse);
  }
  return std::string(bytes.begin(), bytes.end());
}

std::vector<uint32_t> ReadToTheEnd(CSWSound& csw) {
  std::vector<uint32_t> pulses;
  for (uint32_t pulse = csw.NextPulse(); pulse != 0; pulse = csw.NextPulse()) {
    pulses.push_back(pulse);
  }
  return pulses;
}

// Found by the CSW target: a long pulse of length 0 stopped the check of the pulses at open,
// but reading went on past it, so the faults of the data after it (here a pulse count that
// does not match the header) were raised while the recording was being decoded, after the
// open had accepted it, and the run lost every block it had found.
TEST(FuzzFindings, ZeroLengthPulseEndsTheCswDataForEveryReading) {
  TempFolder folder;
  const std::string path = folder / "tape.csw";
  // The header counts 7 pulses; after the zero-length one there are fewer.
  WriteFile(path, CswFile(7, {10, 12, 0, 20, 22}));
  for (const bool dropFirst : {false, true}) {
    CSWSound csw;
    // Without -p the low first pulse is dropped, as the run driver asks.
    csw.PulseInput = dropFirst;
    csw.NoPhaseShift = dropFirst;
    csw.Open(path);
    EXPECT_EQ(csw.TotalLength, 22);
    std::vector<uint32_t> pulses;
    EXPECT_NO_THROW(pulses = ReadToTheEnd(csw));
    const std::vector<uint32_t> expected =
        dropFirst ? std::vector<uint32_t>{12} : std::vector<uint32_t>{10, 12};
    EXPECT_EQ(pulses, expected);
    EXPECT_TRUE(csw.AtEnd());
    EXPECT_EQ(csw.NextPulse(), 0u);
    csw.Rewind();
    EXPECT_EQ(ReadToTheEnd(csw), (std::vector<uint32_t>{10, 12}));
    csw.Close();
  }

  // A zero-length first pulse, dropped by the phase alignment: nothing is left to read.
  WriteFile(path, CswFile(3, {0, 30, 40, 50, 60}));
  CSWSound csw;
  csw.PulseInput = true;
  csw.NoPhaseShift = true;
  csw.Open(path);
  uint32_t first = 1;
  EXPECT_NO_THROW(first = csw.NextPulse());
  EXPECT_EQ(first, 0u);
  csw.Close();

  // The whole program decodes such a file as far as it goes and writes the image.
  const auto tape = TapeBuilder_ns::RenderPulses(
      TapeBuilder_ns::StandardTape({{"ZERO", 0x1900, 0x1900, std::vector<uint8_t>(300, 7)}}),
      44100);
  std::vector<uint32_t> pulses = tape.lengths;
  pulses.push_back(0);
  pulses.insert(pulses.end(), {9, 9, 9});
  const auto header =
      TapeBuilder_ns::CswHeader(44100, static_cast<uint32_t>(pulses.size() + 5),
                                TapeBuilder_ns::CswCompression::Rle, tape.initialHigh, "test");
  std::vector<uint8_t> bytes(header.begin(), header.end());
  for (const uint32_t pulse : pulses) {
    TapeBuilder_ns::AppendCswPulse(bytes, pulse);
  }
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  const auto result = RunVarnstow(folder.Path(), {"-i", "tape.csw"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "");
  EXPECT_NE(result.output.find("ZERO 01\tChecksum ok, last block flag"), std::string::npos)
      << result.output;
  EXPECT_TRUE(FileExists(folder / "tape.uef"));
}

}  // namespace
