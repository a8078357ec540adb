// Decoding contexts as values: two passes decoding at once on two threads, each with its own
// context, give exactly the images that the program's own runs give.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "blocks/Decoding_context.h"
#include "sound/Memory_sound.h"
#include "sound/Raw_file_handler.h"
#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Temp_folder.h"
#include "uef/Wave_analysis.h"

namespace {

using MainProgram_ns::MeasureMethod;
using TestSupport::TempFolder;

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i)
    data[i] = static_cast<uint8_t>(i * 13 + seed + i / 7);
  return data;
}

// A noisy recording of a few files, different for each seed.
std::vector<int8_t> Recording(uint8_t seed, double noise) {
  TapeBuilder_ns::TapeLayout layout;
  const auto tape = TapeBuilder_ns::StandardTape(
      {{"ONE" + std::to_string(seed), 0x1900, 0x8023, Data(900 + 40u * seed, seed)},
       {"TWO" + std::to_string(seed), 0x3000, 0x3000, Data(1500, static_cast<uint8_t>(seed * 3))}},
      layout);
  TapeBuilder_ns::RenderOptions options;
  options.noiseStdDev = noise;
  options.noiseSeed = seed;
  return TapeBuilder_ns::RenderSamples(tape, options);
}

// The image's chunks after its header and its origin chunks.
std::string ChunksAfterOrigins(const std::string& image) {
  std::string rest;
  bool origins = true;
  for (const TestSupport::Chunk& chunk : TestSupport::ParseChunks(image)) {
    origins = origins && chunk.id == 0;
    if (!origins) {
      const auto length = static_cast<uint32_t>(chunk.data.size());
      rest +=
          std::string{static_cast<char>(chunk.id & 0xFF),     static_cast<char>(chunk.id >> 8),
                      static_cast<char>(length & 0xFF),       static_cast<char>(length >> 8 & 0xFF),
                      static_cast<char>(length >> 16 & 0xFF), static_cast<char>(length >> 24)};
      rest += chunk.data;
    }
  }
  return rest;
}

// One pass with a context of its own over source; counts the blocks its sink receives.
struct Pass {
  class Counter final : public BlockProcessing_ns::BlockSink {
   public:
    void Block(const BlockProcessing_ns::ByteBufferType&,
               const BlockProcessing_ns::BlockHeaderRecord& header) override {
      numbers.push_back(header.Number);
    }
    std::vector<uint16_t> numbers;
  };

  Pass(SoundInput_ns::SoundBase& source, MeasureMethod method, bool normalPhase) {
    settings.MeasureWave = method;
    settings.NormalPhase = normalPhase;
    context =
        std::make_unique<BlockProcessing_ns::DecodingContext>(settings, source, image, blocks);
  }
  std::string Decode() {
    BlockProcessing_ns::OpenDecodingPass(*context, "unused.uef", {});
    BlockProcessing_ns::DecodeBlocks(*context);
    return image.ImageBytes();
  }

  MainProgram_ns::RunSettingsRecord settings;
  UEFFormat_ns::UEFFormatWriting image;
  Counter blocks;
  std::unique_ptr<BlockProcessing_ns::DecodingContext> context;
};

TEST(DecodingContexts, TwoPassesOnTwoThreadsDecodeAsTheProgramsOwnRunsDo) {
  TempFolder folder;
  const std::vector<int8_t> first = Recording(1, 3.0);
  const std::vector<int8_t> second = Recording(2, 0.0);
  TapeBuilder_ns::WriteRaw(folder / "first.raw", first, true);
  TapeBuilder_ns::WriteRaw(folder / "second.raw", second, true);

  // The program's own runs: one with the sign method, one with the peak method.
  ASSERT_EQ(
      TestSupport::RunVarnstow(folder.Path(), {"-i", "first.raw", "-t", "s", "-c", "-b"}).exitCode,
      0);
  ASSERT_EQ(TestSupport::RunVarnstow(folder.Path(),
                                     {"-i", "second.raw", "-t", "s", "-c", "-b", "-l", "p"})
                .exitCode,
            0);
  const std::string firstByProgram =
      ChunksAfterOrigins(TestSupport::ReadFile(folder / "first.uef"));
  const std::string secondByProgram =
      ChunksAfterOrigins(TestSupport::ReadFile(folder / "second.uef"));

  for (int round = 0; round < 3; ++round) {
    // One from a RAW file (the buffer fast path), one from memory (the source interface).
    SoundInput_ns::RAWSound raw;
    raw.SetSampleRate(44100);
    raw.SetSignedSamples(true);
    raw.Open(folder / "first.raw");
    SoundInput_ns::MemorySound memory(reinterpret_cast<const uint8_t*>(second.data()),
                                      second.size(),
                                      SoundInput_ns::MemorySound::Form::kSignedSamples, 44100);
    Pass one(raw, MeasureMethod::kSign, true);
    Pass two(memory, MeasureMethod::kPeak, true);
    std::string firstImage;
    std::string secondImage;
    std::thread other([&] { secondImage = two.Decode(); });
    firstImage = one.Decode();
    other.join();
    raw.Close();

    EXPECT_EQ(one.blocks.numbers.size(), 4u + 6u) << "round " << round;  // 940 and 1500 bytes
    EXPECT_EQ(two.blocks.numbers.size(), 4u + 6u) << "round " << round;  // 980 and 1500 bytes
    EXPECT_EQ(firstImage.substr(12), firstByProgram) << "round " << round;
    EXPECT_EQ(secondImage.substr(12), secondByProgram) << "round " << round;
  }
}

}  // namespace
