// UEF chunks as the beebjit emulator plays them, against varnstow-tool: render must play every
// chunk kind that images of protected games hold as the emulator does, and an image with all
// of them, rendered and recovered with --whole-tape, must play the same bits there. (Images of
// protected tapes that nobody has seen here are checked by rendering and recovering them.)
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/Decoding.h"
#include "support/Temp_folder.h"
#include "support/Tool_command.h"
#include "tool/Commands.h"
#include "tool/Uef_images.h"
#include "tool/Uef_player.h"
#include "tool/Uef_reader.h"

namespace {

using TestSupport::ParseChunks;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using namespace ToolTest;

unsigned Le16At(const std::string& data, size_t at) {
  return static_cast<unsigned>(static_cast<uint8_t>(data[at])) |
         static_cast<unsigned>(static_cast<uint8_t>(data[at + 1])) << 8;
}

// The bits the emulator's tape gives its serial ULA, one a 1200th of a second: '1', '0', or
// ' ' for silence. Written after beebjit's tape_uef.c: bytes framed as their chunk says, each
// bit four times over after a chunk 0x0117 of 300 baud; carrier (0x0110, and 0x0111 around
// the dummy byte, which is played at 1200 baud whatever the rate) a bit for every two cycles,
// the odd one left out; gaps of 0x0112 a bit of silence for every two half cycles, of 0x0116
// seconds * 1200 bits counted in 16 bits. Base frequency (0x0113), security cycles (0x0114),
// phase (0x0115), information chunks and chunks it does not know (0x0102) play nothing.
std::string EmulatorBits(const std::string& image) {
  std::string bits;
  unsigned scale = 1;
  auto put = [&](char bit, unsigned count) { bits.append(count, bit); };
  auto byte = [&](unsigned value, unsigned dataBits, char parity, unsigned stopBits,
                  unsigned times) {
    put('0', times);
    unsigned ones = 0;
    for (unsigned b = 0; b < dataBits; ++b) {
      const bool one = ((value >> b) & 1u) != 0;
      ones += one ? 1u : 0u;
      put(one ? '1' : '0', times);
    }
    if (parity == 'E')
      put(ones % 2 == 1 ? '1' : '0', times);
    if (parity == 'O')
      put(ones % 2 == 0 ? '1' : '0', times);
    put('1', stopBits * times);
  };
  for (const TestSupport::Chunk& chunk : ParseChunks(image)) {
    const std::string& data = chunk.data;
    switch (chunk.id) {
      case 0x0100:
        for (char c : data)
          byte(static_cast<uint8_t>(c), 8, 'N', 1, scale);
        break;
      case 0x0104:
        for (size_t i = 3; i < data.size(); ++i)
          byte(static_cast<uint8_t>(data[i]), static_cast<uint8_t>(data[0]), data[1],
               static_cast<uint8_t>(data[2]), scale);
        break;
      case 0x0110:
        put('1', Le16At(data, 0) >> 1);
        break;
      case 0x0111:
        put('1', Le16At(data, 0) >> 1);
        byte(0xAA, 8, 'N', 1, 1);
        put('1', Le16At(data, 2) >> 1);
        break;
      case 0x0112:
        put(' ', Le16At(data, 0) >> 1);
        break;
      case 0x0116: {
        float seconds;
        std::memcpy(&seconds, data.data(), sizeof seconds);
        put(' ', static_cast<uint16_t>(static_cast<uint32_t>(seconds * 1200)));
        break;
      }
      case 0x0117:
        scale = Le16At(data, 0) == 300 ? 4 : 1;
        break;
      default:
        break;
    }
  }
  return bits;
}

// What render plays, as the emulator's bits: four half cycles of the high tone a 1, two of
// the low tone a 0 (at a base frequency within a third of 1200 Hz), a gap its length in bits.
class RenderedBits final : public Tool_ns::WaveTarget {
 public:
  void Tone(double frequencyHz, uint64_t halfCycles) override {
    const bool high = frequencyHz > 1800.0;
    if (high != high_)
      halves_ = 0;
    high_ = high;
    halves_ += halfCycles;
    const uint64_t perBit = high ? 4 : 2;
    bits.append(halves_ / perBit, high ? '1' : '0');
    halves_ %= perBit;
  }
  void Silence(double seconds) override {
    halves_ = 0;
    bits.append(static_cast<size_t>(seconds * 1200.0 + 1e-6), ' ');
  }
  std::string bits;

 private:
  bool high_ = true;
  uint64_t halves_ = 0;
};

std::string RenderBits(const std::string& image) {
  RenderedBits target;
  Tool_ns::PlayImage(Tool_ns::UefImageFromBytes(image, "image.uef"), target, nullptr);
  return target.bits;
}

std::string Framed(const char* framing, const std::vector<uint8_t>& bytes) {
  return std::string(framing, 3) + Bytes(bytes);
}

std::vector<uint8_t> Values(size_t count, unsigned seed) {
  std::vector<uint8_t> values(count);
  for (size_t i = 0; i < count; ++i)
    values[i] = static_cast<uint8_t>((i * 73 + seed * 11) ^ (i >> 2));
  return values;
}

std::vector<uint8_t> SevenBit(size_t count, unsigned seed) {
  std::vector<uint8_t> values = Values(count, seed);
  for (uint8_t& value : values)
    value &= 0x7F;
  return values;
}

TEST(EmulatorBits, RenderPlaysEachChunkKindOfProtectedTapesAsTheEmulatorDoes) {
  using TapeBuilder_ns::BlockSpec;
  const std::string image = Image({
      Chunk(0x0000, std::string("origin\0", 7)),
      Chunk(0x0005, std::string(1, '\0')),  // target machine
      Chunk(0x0111, Le16(2400) + Le16(600)),
      BlockChunk(BlockSpec{"GAME", 0x1900, 0x1900, 0, 0x80, Values(40, 1)}),
      Chunk(0x0110, Le16(300)),
      Chunk(0x0104, Framed("\x08N\x02", Values(6, 2))),
      Chunk(0x0104, Framed("\x08O\x01", Values(6, 3))),
      Chunk(0x0104, Framed("\x08"
                           "E\x01",
                           Values(6, 4))),
      Chunk(0x0104, Framed("\x07"
                           "E\x02",
                           SevenBit(6, 5))),
      Chunk(0x0104, Framed("\x07O\x01", SevenBit(6, 6))),
      Chunk(0x0104, Framed("\x07O\x02", SevenBit(6, 7))),
      Chunk(0x0104, Framed("\x07"
                           "E\x01",
                           SevenBit(6, 8))),
      Chunk(0x0100, Bytes({0x3C})),  // a single byte after a block
      Chunk(0x0112, Le16(1200)),
      Chunk(0x0120, std::string("marker\0", 7)),  // position marker
      Chunk(0x0110, Le16(400)),
      Chunk(0x0117, Le16(300)),
      Chunk(0x0110, Le16(200)),
      Chunk(0x0100, Bytes(Values(8, 9))),
      Chunk(0x0104, Framed("\x08"
                           "E\x01",
                           Values(5, 10))),
      Chunk(0x0110, Le16(64)),
      Chunk(0x0117, Le16(1200)),
      Chunk(0x0116, Float(0.75f)),
      Chunk(0x0113, Float(1250.0f)),  // base frequency: the emulator plays bits, not tones
      Chunk(0x0110, Le16(240)),
      Chunk(0x0100, Bytes(Values(7, 11))),
      Chunk(0x0113, Float(1200.0f)),
      Chunk(0x0110, Le16(100)),
  });
  EXPECT_EQ(RenderBits(image), EmulatorBits(image));
}

// Runs of the emulator's bits: "1:n" for n 1 bits in a row that make carrier (at least 48),
// " :n" for n bits of silence, and the bits of everything else as they are. Leading and
// trailing silence is left out (a recording has its own).
std::vector<std::string> Runs(std::string bits) {
  const size_t first = bits.find_first_not_of(' ');
  const size_t last = bits.find_last_not_of(' ');
  bits = first == std::string::npos ? "" : bits.substr(first, last - first + 1);
  std::vector<std::string> runs;
  std::string pending;
  for (size_t i = 0; i < bits.size();) {
    size_t j = i;
    while (j < bits.size() && bits[j] == bits[i])
      ++j;
    const size_t length = j - i;
    if (bits[i] == ' ' || (bits[i] == '1' && length >= 48)) {
      if (!pending.empty())
        runs.push_back(pending);
      pending.clear();
      runs.push_back(std::string(1, bits[i]) + ":" + std::to_string(length));
    } else {
      pending.append(length, bits[i]);
    }
    i = j;
  }
  if (!pending.empty())
    runs.push_back(pending);
  return runs;
}

// Where two images play different bits in the emulator: carrier allowed `toneSlack` bits and
// silence a twentieth of a second either way, everything else exactly; empty where they agree.
std::string BitDifferences(const std::string& got, const std::string& wanted, long toneSlack) {
  const std::vector<std::string> a = Runs(got), b = Runs(wanted);
  std::ostringstream differences;
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    const std::string x = i < a.size() ? a[i] : "(nothing)";
    const std::string y = i < b.size() ? b[i] : "(nothing)";
    bool same = x == y;
    if (!same && x.size() > 2 && y.size() > 2 && x[1] == ':' && y[1] == ':' && x[0] == y[0]) {
      const long slack = x[0] == ' ' ? 60 : toneSlack;
      same = std::labs(std::stol(x.substr(2)) - std::stol(y.substr(2))) <= slack;
    }
    if (!same)
      differences << "run " << i << ": " << x.substr(0, 60) << " instead of " << y.substr(0, 60)
                  << "\n";
  }
  return differences.str();
}

using TestSupport::RunCommand;

// The chunks images of protected games hold, laid out as their loaders read them: standard
// blocks with single bytes after them, tones running straight into bytes of other framings and
// bytes into tone (some tones an odd number of cycles long, so that the bytes after them start
// half a bit off the time of those before), 300 baud, integer and floating point gaps, security
// cycles at the edges of tones, a stretch at another base frequency.
std::string ProtectedTapeImage() {
  using TapeBuilder_ns::BlockSpec;
  return Image({
      Chunk(0x0000, std::string("origin\0", 7)),
      Chunk(0x0111, Le16(2400) + Le16(1200)),
      BlockChunk(BlockSpec{"GAME", 0x1900, 0x1900, 0, 0x00, Values(256, 21)}),
      Chunk(0x0100, Bytes({0xC7})),
      Chunk(0x0110, Le16(1440)),
      BlockChunk(BlockSpec{"GAME", 0x1900, 0x1900, 1, 0x80, Values(100, 22)}),
      Chunk(0x0110, Le16(1201)),
      Chunk(0x0104, Framed("\x08O\x01", Values(80, 23))),
      Chunk(0x0110, Le16(777)),
      Chunk(0x0104, Framed("\x08N\x02", Values(60, 24))),
      Chunk(0x0100, Bytes(Values(20, 25))),
      Chunk(0x0110, Le16(333)),
      Chunk(0x0104, Framed("\x07"
                           "E\x02",
                           SevenBit(40, 26))),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0114, Le24(3) + "PW" + std::string(1, '\xE0')),
      Chunk(0x0112, Le16(2000)),
      Chunk(0x0114, Le24(2) + "PP" + std::string(1, '\xC0')),
      Chunk(0x0110, Le16(900)),
      Chunk(0x0117, Le16(300)),
      Chunk(0x0110, Le16(400)),
      Chunk(0x0100, Bytes(Values(30, 27))),
      Chunk(0x0110, Le16(300)),
      Chunk(0x0104, Framed("\x08"
                           "E\x01",
                           Values(12, 28))),
      Chunk(0x0110, Le16(500)),
      Chunk(0x0117, Le16(1200)),
      Chunk(0x0116, Float(1.2f)),
      Chunk(0x0113, Float(1248.0f)),
      Chunk(0x0110, Le16(1000)),
      Chunk(0x0100, Bytes(Values(50, 29))),
      Chunk(0x0110, Le16(400)),
      Chunk(0x0113, Float(1200.0f)),
      Chunk(0x0110, Le16(1999)),
      Chunk(0x0100, Bytes(Values(300, 30))),
      Chunk(0x0110, Le16(2400)),
  });
}

struct Rendering {
  const char* name;
  std::vector<std::string> options;
  long toneSlack;  // bits of carrier either way
};

// Renders the image, recovers the recording with --whole-tape, and tells where the recovered
// image plays other bits in the emulator than the image does.
std::string RecoveredDifferences(const std::string& image, const Rendering& rendering) {
  TempFolder folder;
  {
    std::ofstream file(folder / "tape.uef", std::ios::binary);
    file << image;
  }
  std::vector<std::string> render = {folder / "tape.uef", "-o", folder / rendering.name};
  render.insert(render.end(), rendering.options.begin(), rendering.options.end());
  RunCommand(Tool_ns::RenderCommand, render);
  RunCommand(Tool_ns::RecoverCommand, {folder / rendering.name, "-o", folder / "image.uef", "-c",
                                       "--whole-tape", "--quiet"});
  return BitDifferences(EmulatorBits(ReadFile(folder / "image.uef")), EmulatorBits(image),
                        rendering.toneSlack);
}

TEST(EmulatorBits, AProtectedTapesImageRecoveredFromItsCswRecordingPlaysTheSameBits) {
  EXPECT_EQ(RecoveredDifferences(ProtectedTapeImage(), {"tape.csw", {}, 2}), "");
}

// Where a tone ends half a bit off the demodulator's clock, the cells across the start bit
// after it are mixed; the clock must still be put on that start bit, or a byte whose first data
// bit is 1 loses its first bits (the 8O1 byte after the tone of 1201 cycles here).
TEST(EmulatorBits, AProtectedTapesImageRecoveredFromItsWavRecordingsPlaysTheSameBits) {
  const std::string image = ProtectedTapeImage();
  for (const Rendering& rendering : std::vector<Rendering>{
           {"tape.wav", {}, 4},
           {"noisy.wav", {"--noise-db", "14", "--speed", "-3"}, 4},
       }) {
    SCOPED_TRACE(rendering.name);
    EXPECT_EQ(RecoveredDifferences(image, rendering), "");
  }
}

}  // namespace

namespace {

TEST(EmulatorBits, ALongGapPlaysForAsLongAsTheRecordingsGap) {
  // The emulator counts a floating point gap's bits in 16 bits (54.6 s at most): a gap of two
  // minutes and more between two stretches of a tape must come back in chunks it plays whole.
  const std::string bytes = Bytes(Values(20, 40));
  const std::string image = Image({
      Chunk(0x0110, Le16(2400)),
      Chunk(0x0100, bytes),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0116, Float(45.0f)),
      Chunk(0x0116, Float(45.0f)),
      Chunk(0x0116, Float(45.0f)),
      Chunk(0x0110, Le16(2400)),
      Chunk(0x0100, bytes),
      Chunk(0x0110, Le16(600)),
  });
  TempFolder folder;
  {
    std::ofstream file(folder / "tape.uef", std::ios::binary);
    file << image;
  }
  RunCommand(Tool_ns::RenderCommand, {folder / "tape.uef", "-o", folder / "tape.csw"});
  RunCommand(Tool_ns::RecoverCommand,
             {folder / "tape.csw", "-o", folder / "image.uef", "-c", "--whole-tape", "--quiet"});
  EXPECT_EQ(BitDifferences(EmulatorBits(ReadFile(folder / "image.uef")), EmulatorBits(image), 2),
            "");
}

}  // namespace
