// Recordings whose sizes are enormous, declared or real, never make the program allocate or
// write in proportion to them: a WAV data chunk that claims 2 GB, CSW pulses of 4 billion
// samples each and a Z-RLE stream that inflates to millions of pulses are each read as far as
// they go, in the same few megabytes as a small recording. Memory is measured in-process as
// the growth of this process's peak resident size, so the heavy cases come first.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "blocks/Block_driver.h"
#include "dcoffset/Dc_offset_fixing_functions.h"
#include "sound/Csw_file_handler.h"
#include "sound/Wave_file_handler.h"
#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"
#include "uef/Wave_analysis.h"

namespace {

using MainProgram_ns::MeasureMethod;
using SoundInput_ns::TheCSWSound;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

// More than this much growth of the peak resident size, in kilobytes, would be memory spent in
// proportion to a size: the recordings here declare or hold gigabytes.
constexpr long long kFixedMemoryKilobytes = 16 * 1024;

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) {
    data[i] = static_cast<uint8_t>(i * 11 + seed);
  }
  return data;
}

const TapeBuilder_ns::Tape kTape =
    TapeBuilder_ns::StandardTape({{"LIMITS", 0x1900, 0x1900, Data(600, 3)}});

std::string Le32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) {
    bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return bytes;
}

// The pulses of the tape, starting with a high one, in the run-length form of a CSW file.
std::string TapePulses(uint32_t& count) {
  const auto pulses = TestSupport::PulsesOf(kTape, 44100);
  std::vector<uint8_t> bytes;
  for (const uint32_t pulse : pulses) {
    TapeBuilder_ns::AppendCswPulse(bytes, pulse);
  }
  count = static_cast<uint32_t>(pulses.size());
  return std::string(bytes.begin(), bytes.end());
}

std::string CswFile(uint32_t pulseCount, uint8_t compression, const std::string& data) {
  const auto header = TapeBuilder_ns::CswHeader(
      44100, pulseCount, static_cast<TapeBuilder_ns::CswCompression>(compression), true, "test");
  return std::string(header.begin(), header.end()) + data;
}

// Decodes the CSW file at path in-process, as the run driver would without -p, and returns
// the number of data chunks in the image.
size_t BlocksDecodedFrom(const std::string& path) {
  TheCSWSound.Close();
  TheCSWSound.PulseInput = true;
  TheCSWSound.NoPhaseShift = true;
  TheCSWSound.Open(path);
  BlockProcessing_ns::DecodeBlocks(
      TestSupport::PrepareDecoding(TheCSWSound, MeasureMethod::kCswPulses));
  TheCSWSound.Close();
  const auto chunks = TestSupport::ParseChunks(TestSupport::CurrentDecoding().image.ImageBytes());
  return TestSupport::ChunksWithId(chunks, 0x0100).size();
}

TEST(Limits, ZRleStreamInflatingToMillionsOfPulsesDecodesInFixedMemory) {
  // The tape, then 16 million pulses of one sample (a zip bomb: some sixteen kilobytes that
  // inflate to 16 MB), then the tape again; the header counts them all, so the file opens.
  // The pulses between the two copies are even in number, so that the second starts high.
  uint32_t tapeCount = 0;
  const std::string tape = TapePulses(tapeCount);
  const uint32_t kBombPulses = (16u << 20) + tapeCount % 2;
  z_stream stream{};
  ASSERT_EQ(deflateInit(&stream, 9), Z_OK);
  std::string packed;
  std::vector<char> out(1 << 16);
  const std::string ones(1 << 20, '\x01');
  auto deflateAll = [&](const std::string& bytes, int flush) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    do {
      stream.next_out = reinterpret_cast<Bytef*>(out.data());
      stream.avail_out = static_cast<uInt>(out.size());
      deflate(&stream, flush);
      packed.append(out.data(), out.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  };
  deflateAll(tape, Z_NO_FLUSH);
  for (uint32_t given = 0; given + ones.size() <= kBombPulses;
       given += static_cast<uint32_t>(ones.size())) {
    deflateAll(ones, Z_NO_FLUSH);
  }
  deflateAll(ones.substr(0, kBombPulses % ones.size()), Z_NO_FLUSH);
  deflateAll(tape, Z_FINISH);
  deflateEnd(&stream);
  ASSERT_LT(packed.size(), size_t{kBombPulses / 500});

  TempFolder folder;
  WriteFile(folder / "bomb.csw", CswFile(2 * tapeCount + kBombPulses, 2, packed));
  packed.clear();
  packed.shrink_to_fit();
  const long long before = TestSupport::PeakMemoryKilobytes();
  // Both copies of the tape's three blocks, on either side of the bomb.
  EXPECT_EQ(BlocksDecodedFrom(folder / "bomb.csw"), 6u);
  EXPECT_LT(TestSupport::PeakMemoryKilobytes() - before, kFixedMemoryKilobytes);
}

TEST(Limits, CswPulsesOfFourBillionSamplesDecodeInFixedMemory) {
  // Pulses of 2^32 - 1 samples (more than a day each at 44100 Hz) between two copies of the
  // tape: 1000 of them sum to 4.3 x 10^12 samples, far beyond 32 bits. The pulses between the
  // two copies are even in number, so that the second starts high.
  uint32_t tapeCount = 0;
  const std::string tape = TapePulses(tapeCount);
  const uint32_t longCount = 1000 + tapeCount % 2;
  std::string longPulses;
  for (uint32_t i = 0; i < longCount; ++i) {
    longPulses += std::string(1, '\0') + Le32(0xFFFFFFFFu);
  }
  TempFolder folder;
  for (const uint8_t compression : {uint8_t{1}, uint8_t{2}}) {
    std::string data = tape + longPulses + tape;
    if (compression == 2) {
      uLongf size = compressBound(static_cast<uLong>(data.size()));
      std::string packed(size, '\0');
      ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
                          reinterpret_cast<const Bytef*>(data.data()),
                          static_cast<uLong>(data.size()), 9),
                Z_OK);
      packed.resize(size);
      data = packed;
    }
    WriteFile(folder / "long.csw", CswFile(2 * tapeCount + longCount, compression, data));
    const long long before = TestSupport::PeakMemoryKilobytes();
    EXPECT_EQ(BlocksDecodedFrom(folder / "long.csw"), 6u) << int{compression};
    EXPECT_LT(TestSupport::PeakMemoryKilobytes() - before, kFixedMemoryKilobytes);
  }
}

// A WAV file of the tape whose data chunk claims nearly 2 GB: the RIFF length matches the
// file, so it opens, with the claimed length.
std::string WavClaimingTwoGigabytes() {
  const auto samples = TapeBuilder_ns::RenderSamples(kTape, TapeBuilder_ns::RenderOptions{});
  std::string stored;
  for (const int8_t sample : samples) {
    stored += static_cast<char>(static_cast<uint8_t>(sample + 128));
  }
  const std::string format = std::string("fmt ") + Le32(16) + std::string("\x01\x00\x01\x00", 4) +
                             Le32(44100) + Le32(44100) + std::string("\x01\x00\x08\x00", 4);
  const std::string data = "data" + Le32(0x7FFF0000u) + stored;
  return "RIFF" + Le32(static_cast<uint32_t>(4 + format.size() + data.size())) + "WAVE" + format +
         data;
}

TEST(Limits, WavDataChunkClaimingTwoGigabytesIsCorrectedNoFurtherThanItGoes) {
  TempFolder folder;
  const std::string path = folder / "claim.wav";
  const std::string file = WavClaimingTwoGigabytes();
  WriteFile(path, file);
  SoundInput_ns::WAVSound wav;
  wav.Open(path);
  EXPECT_EQ(wav.TotalLength, 0x7FFF0000);
  const long long before = TestSupport::PeakMemoryKilobytes();
  std::string failure;
  try {
    DCOffsetFunctions_ns::FixDCOffsets(wav, path);
  } catch (const std::runtime_error& error) {
    failure = error.what();
  }
  EXPECT_EQ(failure, "Unexpected end of file");
  EXPECT_LT(TestSupport::PeakMemoryKilobytes() - before, kFixedMemoryKilobytes);
  EXPECT_EQ(ReadFile(path), file);
  // Nothing was left behind, however much the chunk claimed.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(Limits, WavDataChunkClaimingTwoGigabytesDecodesWhatItHolds) {
  TempFolder folder;
  WriteFile(folder / "claim.wav", WavClaimingTwoGigabytes());
  const auto result = TestSupport::RunVarnstow(folder.Path(), {"-i", "claim.wav", "-c"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "");
  EXPECT_NE(result.output.find("LIMITS 02\tChecksum ok, last block flag"), std::string::npos)
      << result.output;
  const auto chunks = TestSupport::ParseChunks(ReadFile(folder / "claim.uef"));
  EXPECT_EQ(TestSupport::ChunksWithId(chunks, 0x0100).size(), 3u);
}

}  // namespace
