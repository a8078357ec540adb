// Transcribing the whole tape: half-waves read as tones, gaps, bytes in their own framing and
// baud rate; and recover --whole-tape's image, rendered and recovered again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/Decoding.h"
#include "support/Temp_folder.h"
#include "support/Tool_command.h"
#include "tool/Commands.h"
#include "tool/Recover.h"
#include "tool/Transcription.h"
#include "tool/Uef_images.h"
#include "tool/Uef_player.h"
#include "tool/Uef_reader.h"
#include "uef/Wave_analysis.h"

namespace {

using TestSupport::ParseChunks;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using Tool_ns::TapeEvent;
using Kind = TapeEvent::Kind;

// Half-waves of a clean tape at some speed (1.0 the nominal one).
struct HalfWaves {
  explicit HalfWaves(double speed = 1.0) : speed_(speed) {}

  void Cycles(bool high, uint64_t count) {
    const double half = (high ? 1.0 / 4800.0 : 1.0 / 2400.0) / speed_;
    for (uint64_t i = 0; i < 2 * count; ++i)
      seconds.push_back(half);
  }
  void Tone(uint64_t cycles) { Cycles(true, cycles); }
  void Bit(bool one, unsigned baud) {
    const uint64_t scale = baud == 300 ? 4 : 1;
    Cycles(one, (one ? 2 : 1) * scale);
  }
  void Byte(unsigned value, unsigned dataBits, char parity, unsigned stopBits, unsigned baud) {
    Bit(false, baud);
    unsigned ones = 0;
    for (unsigned b = 0; b < dataBits; ++b) {
      const bool one = ((value >> b) & 1u) != 0;
      ones += one ? 1 : 0;
      Bit(one, baud);
    }
    if (parity == 'E')
      Bit(ones % 2 == 1, baud);
    if (parity == 'O')
      Bit(ones % 2 == 0, baud);
    for (unsigned s = 0; s < stopBits; ++s)
      Bit(true, baud);
  }
  void Bytes(const std::vector<uint8_t>& values, const char* framing, unsigned baud = 1200) {
    for (uint8_t value : values)
      Byte(value, static_cast<unsigned>(framing[0] - '0'), framing[1],
           static_cast<unsigned>(framing[2] - '0'), baud);
  }
  void Gap(double length) { seconds.push_back(length); }

  std::vector<double> seconds;

 private:
  double speed_;
};

std::vector<uint8_t> Values(size_t count, unsigned seed) {
  std::vector<uint8_t> values(count);
  for (size_t i = 0; i < count; ++i)
    values[i] = static_cast<uint8_t>((i * 37 + seed) ^ (i >> 1));
  return values;
}

// An event as the tests compare it: kind, cycles or framing, bytes.
std::string Describe(const TapeEvent& event) {
  std::ostringstream text;
  switch (event.kind) {
    case Kind::kTone:
      text << "tone " << event.cycles;
      break;
    case Kind::kGap:
      text << "gap "
           << static_cast<double>(std::lround((event.endSeconds - event.startSeconds) * 100)) /
                  100.0;
      break;
    case Kind::kSecurity:
      text << "security " << event.securityCycles.size();
      break;
    case Kind::kData:
      text << "data " << Tool_ns::FramingName(event) << " at " << event.baud << ":";
      for (uint8_t b : event.bytes)
        text << ' ' << int{b};
      break;
  }
  return text.str();
}

std::string DataText(const std::vector<uint8_t>& values, const char* framing,
                     unsigned baud = 1200) {
  TapeEvent event;
  event.kind = Kind::kData;
  event.dataBits = static_cast<unsigned>(framing[0] - '0');
  event.parity = framing[1];
  event.stopBits = static_cast<unsigned>(framing[2] - '0');
  event.baud = baud;
  event.bytes = values;
  return Describe(event);
}

std::vector<std::string> Transcribed(const HalfWaves& halves) {
  std::vector<std::string> described;
  for (const TapeEvent& event : Tool_ns::TranscribeHalfWaves(halves.seconds))
    described.push_back(Describe(event));
  return described;
}

TEST(Transcription, ReadsTonesGapsAndBytesInTheirOwnFramings) {
  for (double speed : {1.0, 1.05, 0.95}) {
    SCOPED_TRACE(speed);
    HalfWaves halves(speed);
    halves.Gap(0.5);
    halves.Tone(2000);
    halves.Bytes(Values(20, 1), "8N1");
    halves.Tone(100);
    halves.Bytes(Values(30, 2), "8N2");
    halves.Bytes(Values(30, 3), "8N1");  // straight on in another framing
    halves.Tone(300);
    halves.Bytes(Values(40, 4), "8O1");
    halves.Tone(300);
    halves.Bytes(Values(40, 5), "8E1");
    halves.Tone(200);
    halves.Gap(1.0);
    halves.Tone(500);
    const std::vector<std::string> expected = {"gap 0.5",
                                               "tone 2000",
                                               DataText(Values(20, 1), "8N1"),
                                               "tone 100",
                                               DataText(Values(30, 2), "8N2"),
                                               DataText(Values(30, 3), "8N1"),
                                               "tone 300",
                                               DataText(Values(40, 4), "8O1"),
                                               "tone 300",
                                               DataText(Values(40, 5), "8E1"),
                                               "tone 200",
                                               "gap 1",
                                               "tone 500"};
    EXPECT_EQ(Transcribed(halves), expected);
  }
}

TEST(Transcription, Reads300BaudStretchesAndToneRunningIntoDataAndOn) {
  HalfWaves halves;
  halves.Tone(1000);
  halves.Bytes(Values(12, 6), "8N1", 300);
  halves.Tone(1000);
  halves.Bytes(Values(50, 7), "8N1");
  halves.Tone(40);  // a short tone between two runs of bytes
  halves.Bytes(Values(5, 8), "8N1");
  halves.Tone(800);
  EXPECT_EQ(Transcribed(halves),
            (std::vector<std::string>{"tone 1000", DataText(Values(12, 6), "8N1", 300), "tone 1000",
                                      DataText(Values(50, 7), "8N1"), "tone 40",
                                      DataText(Values(5, 8), "8N1"), "tone 800"}));
}

TEST(Transcription, CyclesThatAreNeitherBytesNorToneAreSecurityCycles) {
  HalfWaves halves;
  halves.Tone(600);
  // A lone low cycle in a tone is what the serial chip reads as a byte 0xFF (the tone's
  // first nine 1 bits are its data and stop bits).
  halves.Cycles(false, 1);
  halves.Tone(600);
  // Twelve low cycles: the first two start no byte in any framing (the bits where the stop
  // bits would be are 0); from the third on, 8 bits of 0 with even parity and a stop bit.
  halves.Cycles(false, 12);
  halves.Tone(600);
  halves.Gap(0.3);
  halves.Cycles(true, 3);  // noise in a silence
  halves.Gap(0.3);
  halves.Tone(100);
  const std::vector<TapeEvent> events = Tool_ns::TranscribeHalfWaves(halves.seconds);
  std::vector<std::string> described;
  for (const TapeEvent& event : events)
    described.push_back(Describe(event));
  EXPECT_EQ(described,
            (std::vector<std::string>{"tone 600", DataText({0xFF}, "8N1"), "tone 582", "security 2",
                                      DataText({0x00}, "8E1"), "tone 598", "gap 0.6", "tone 100"}));
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[3].securityCycles, (std::vector<bool>{false, false}));
}

// A chunk as the round trip compares it: gaps to a twentieth of a second, the rest exactly.
std::string ChunkText(const TestSupport::Chunk& chunk) {
  auto le16 = [&](size_t at) {
    return static_cast<unsigned>(static_cast<uint8_t>(chunk.data[at])) |
           static_cast<unsigned>(static_cast<uint8_t>(chunk.data[at + 1])) << 8;
  };
  std::ostringstream text;
  text << std::hex << chunk.id << std::dec;
  switch (chunk.id) {
    case 0x0110:
      text << " " << le16(0);
      break;
    case 0x0111:
      text << " " << le16(0) << " " << le16(2);
      break;
    case 0x0116: {
      float seconds;
      std::memcpy(&seconds, chunk.data.data(), sizeof seconds);
      text << " " << std::lround(seconds * 20);
      break;
    }
    default:
      text << " " << chunk.data;
      break;
  }
  return text.str();
}

std::vector<std::string> ChunkTexts(const std::string& image) {
  std::vector<std::string> texts;
  for (const TestSupport::Chunk& chunk : ParseChunks(image)) {
    if (chunk.id != 0x0000)
      texts.push_back(ChunkText(chunk));
  }
  return texts;
}

using TestSupport::RunCommand;

TEST(WholeTapeImage, RenderedAndRecoveredHoldsWhatTheTapeHeld) {
  using namespace ToolTest;
  using TapeBuilder_ns::BlockSpec;
  const BlockSpec first{"GAME", 0x1900, 0x1900, 0, 0x00, Values(256, 9)};
  const BlockSpec last{"GAME", 0x1900, 0x1900, 1, 0x80, Values(100, 10)};
  const std::string lone(Bytes(Values(30, 11)));
  const std::vector<std::string> chunks = {
      // A long silence first: the recording's first pulse, which the measurement passes
      // over, so that the half-waves and the decoding count time from different starts.
      Chunk(0x0116, Float(12.0f)),
      Chunk(0x0111, Le16(4000) + Le16(1000)),
      BlockChunk(first),
      Chunk(0x0110, Le16(1200)),
      BlockChunk(last),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0104, std::string("\x08O\x01", 3) + Bytes(Values(40, 12))),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0104, std::string("\x08N\x02", 3) + Bytes(Values(40, 13))),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0117, Le16(300)),
      Chunk(0x0100, Bytes(Values(12, 14))),
      Chunk(0x0117, Le16(1200)),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0100, lone),  // tone straight into data and on into tone
      Chunk(0x0110, Le16(800)),
      // Cycles that start a byte but end before it does.
      Chunk(0x0114, Le24(4) + "WW" + std::string(1, '\x60')),
      Chunk(0x0116, Float(1.5f)),
      Chunk(0x0110, Le16(2000)),
  };
  TempFolder folder;
  {
    std::ofstream file(folder / "tape.uef", std::ios::binary);
    file << Image(chunks);
  }
  RunCommand(Tool_ns::RenderCommand, {folder / "tape.uef", "-o", folder / "tape.csw"});
  RunCommand(Tool_ns::RecoverCommand,
             {folder / "tape.csw", "-o", folder / "once.uef", "-c", "--whole-tape"});
  // The render's lead-in and the first gap make the recording's first pulse, before the
  // first wave.
  std::vector<std::string> expected;
  for (size_t c = 1; c < chunks.size(); ++c)
    expected.push_back(ChunkText(ParseChunks(Image({chunks[c]})).front()));
  const std::string once = ReadFile(folder / "once.uef");
  EXPECT_EQ(ChunkTexts(once), expected);

  // Played and recovered again, the image is the same.
  RunCommand(Tool_ns::RenderCommand, {folder / "once.uef", "-o", folder / "again.csw"});
  RunCommand(Tool_ns::RecoverCommand,
             {folder / "again.csw", "-o", folder / "twice.uef", "-c", "--whole-tape"});
  EXPECT_EQ(ChunkTexts(ReadFile(folder / "twice.uef")), ChunkTexts(once));

  // The whole tape is what recover writes unless told otherwise.
  RunCommand(Tool_ns::RecoverCommand, {folder / "tape.csw", "-o", folder / "plain.uef", "-c"});
  EXPECT_EQ(ChunkTexts(ReadFile(folder / "plain.uef")), ChunkTexts(once));

  // With --blocks-only, the image is the blocks alone with the standard tones.
  RunCommand(Tool_ns::RecoverCommand,
             {folder / "tape.csw", "-o", folder / "blocks.uef", "-c", "--blocks-only"});
  size_t data = 0;
  for (const TestSupport::Chunk& chunk : ParseChunks(ReadFile(folder / "blocks.uef")))
    data += chunk.id == 0x0100 || chunk.id == 0x0104 ? 1 : 0;
  EXPECT_EQ(data, 2u);
}

TapeEvent Event(Kind kind, double start, double end) {
  TapeEvent event;
  event.kind = kind;
  event.startSeconds = start;
  event.endSeconds = end;
  return event;
}

TapeEvent Data(double start, double end, const std::vector<uint8_t>& bytes) {
  TapeEvent event = Event(Kind::kData, start, end);
  event.bytes = bytes;
  for (size_t i = 0; i < bytes.size(); ++i)
    event.byteStarts.push_back(start + (end - start) * static_cast<double>(i) /
                                           static_cast<double>(bytes.size()));
  return event;
}

TEST(WholeTapeImage, ABlockTheTranscriptionMissedGoesInAtItsPlaceInsteadOfWhatWasReadThere) {
  using TapeBuilder_ns::BlockSpec;
  const std::vector<uint8_t> blockBytes =
      TapeBuilder_ns::BlockBytes(BlockSpec{"LOST", 0x1900, 0x1900, 0, 0x80, Values(200, 15)});
  Tool_ns::Recovery recovery;
  Tool_ns::MergedBlock block;
  block.bytes = blockBytes;
  block.identity = Tool_ns::IdentifyBlock(blockBytes);
  block.startSeconds = 2.0;
  block.endSeconds = 4.0;
  recovery.blocks.push_back(block);

  // Noise read as bytes where the block lies (the transcription lost the block there), with
  // tones, bytes and a gap around it.
  TapeEvent tone = Event(Kind::kTone, 0.0, 1.5);
  tone.cycles = 3600;
  TapeEvent after = Event(Kind::kTone, 4.1, 4.5);
  after.cycles = 960;
  TapeEvent gap = Event(Kind::kGap, 4.6, 6.0);
  const std::vector<TapeEvent> events = {
      tone,  Data(1.6, 1.7, {1, 2, 3}), Data(2.1, 3.9, Values(30, 16)),
      after, Data(4.5, 4.6, {4, 5}),    gap};
  TempFolder folder;
  Tool_ns::BuildImage(recovery, folder / "image.uef", {"origin"}, &events);
  UEFFormat_ns::SaveImage(UEFFormat_ns::TheUEFImage, false);
  EXPECT_EQ(ChunkTexts(ReadFile(folder / "image.uef")),
            (std::vector<std::string>{"110 3600", "100 " + ToolTest::Bytes({1, 2, 3}),
                                      "100 " + ToolTest::Bytes(blockBytes), "110 960",
                                      "100 " + ToolTest::Bytes({4, 5}), "116 28"}));
}

}  // namespace

namespace {

// A tape of the kind a protected loader reads, without standard blocks: tones, bytes in
// several framings, a 300 baud stretch, a tone running into bytes and on, security cycles and
// gaps; and the events it is transcribed into (after the render's lead-in of 0.5 s).
struct LoaderTape {
  std::vector<std::string> chunks;
  std::vector<std::string> events;
  std::vector<double> starts;  // where each event starts, at the normal speed
};

LoaderTape MakeLoaderTape() {
  using namespace ToolTest;
  LoaderTape tape;
  tape.chunks = {
      Chunk(0x0116, Float(1.0f)),
      Chunk(0x0110, Le16(3000)),
      Chunk(0x0100, Bytes(Values(40, 21))),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0104, std::string("\x08O\x01", 3) + Bytes(Values(40, 22))),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0104, std::string("\x08N\x02", 3) + Bytes(Values(30, 23))),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0117, Le16(300)),
      Chunk(0x0100, Bytes(Values(12, 24))),
      Chunk(0x0117, Le16(1200)),
      Chunk(0x0110, Le16(600)),
      Chunk(0x0100, Bytes(Values(20, 25))),
      Chunk(0x0110, Le16(800)),
      Chunk(0x0114, Le24(4) + "WW" + std::string(1, '\x60')),
      Chunk(0x0116, Float(1.5f)),
      Chunk(0x0110, Le16(2000)),
  };
  // Each event with its length at the normal speed.
  const std::pair<std::string, double> events[] = {
      {"gap 1.5", 1.5},
      {"tone 3000", 3000 / 2400.0},
      {DataText(Values(40, 21), "8N1"), 40 * 10 / 1200.0},
      {"tone 600", 0.25},
      {DataText(Values(40, 22), "8O1"), 40 * 11 / 1200.0},
      {"tone 600", 0.25},
      {DataText(Values(30, 23), "8N2"), 30 * 11 / 1200.0},
      {"tone 600", 0.25},
      {DataText(Values(12, 24), "8N1", 300), 12 * 10 / 300.0},
      {"tone 600", 0.25},
      {DataText(Values(20, 25), "8N1"), 20 * 10 / 1200.0},
      {"tone 800", 800 / 2400.0},
      {"security 4", 3 / 1200.0},
      {"gap 1.5", 1.5},
      {"tone 2000", 2000 / 2400.0}};
  double at = 0.0;
  for (const auto& [text, seconds] : events) {
    tape.events.push_back(text);
    tape.starts.push_back(at);
    at += seconds;
  }
  return tape;
}

// Where the events differ from those expected, tones allowed kToneSlack cycles and gaps
// kGapSlack seconds either way (a recording's cells give a tone's length to a cell, and
// where a tone begins and ends in noise to a cell or two more); empty where they agree.
std::string Differences(const std::vector<TapeEvent>& events,
                        const std::vector<std::string>& expected) {
  constexpr double kToneSlack = 8;
  constexpr double kGapSlack = 0.1;
  std::ostringstream differences;
  for (size_t i = 0; i < std::max(events.size(), expected.size()); ++i) {
    const std::string got = i < events.size() ? Describe(events[i]) : "(nothing)";
    const std::string wanted = i < expected.size() ? expected[i] : "(nothing)";
    bool same = got == wanted;
    for (const auto& [word, slack] :
         {std::pair<std::string, double>{"tone ", kToneSlack}, {"gap ", kGapSlack}}) {
      if (got.rfind(word, 0) == 0 && wanted.rfind(word, 0) == 0)
        same = std::fabs(std::stod(got.substr(word.size())) -
                         std::stod(wanted.substr(word.size()))) <= slack;
    }
    if (!same)
      differences << "event " << i << ": " << got.substr(0, 60) << " instead of "
                  << wanted.substr(0, 60) << "\n";
  }
  return differences.str();
}

TEST(SampleTranscription, ReadsNoisyAndOffSpeedRecordingsThatHalfWavesDoNot) {
  const LoaderTape tape = MakeLoaderTape();
  TempFolder folder;
  {
    std::ofstream file(folder / "tape.uef", std::ios::binary);
    file << ToolTest::Image(tape.chunks);
  }
  struct Condition {
    const char* what;
    std::vector<std::string> options;
    bool halfWavesFail;  // the sign method's half-waves lose some of it
    double speed;        // the tape's speed (0: not steady)
  };
  const Condition conditions[] = {
      {"clean", {}, false, 1.0},
      {"4% slow", {"--speed", "-4"}, false, 0.96},
      {"noise 10 dB below the tone", {"--noise-db", "10"}, true, 1.0},
      {"noise 6 dB below the tone, 5% fast", {"--noise-db", "6", "--speed", "5"}, true, 1.05},
      {"noise 10 dB below, 2% wow at 4 Hz", {"--noise-db", "10", "--wow", "2:4"}, true, 0.0},
  };
  for (const Condition& condition : conditions) {
    SCOPED_TRACE(condition.what);
    std::vector<std::string> arguments = {folder / "tape.uef", "-o", folder / "tape.wav"};
    arguments.insert(arguments.end(), condition.options.begin(), condition.options.end());
    RunCommand(Tool_ns::RenderCommand, arguments);
    Tool_ns::RecordingSettings recording;
    recording.name = folder / "tape.wav";
    recording.kind = Tool_ns::RecordingKind::kWav;
    const std::vector<TapeEvent> events = Tool_ns::TranscribeRecording(recording, -1);
    EXPECT_EQ(Differences(events, tape.events), "");
    // Each event starts where it does in the recording, to a cell or two.
    if (condition.speed != 0.0) {
      for (size_t i = 0; i < std::min(events.size(), tape.starts.size()); ++i)
        EXPECT_NEAR(events[i].startSeconds, tape.starts[i] / condition.speed, 0.002) << i;
    }
    const std::string halfWaves =
        Differences(Tool_ns::TranscribeHalfWaves(Tool_ns::HalfWavesOf(recording)), tape.events);
    EXPECT_EQ(halfWaves.empty(), !condition.halfWavesFail) << halfWaves;
  }
}

// A tone of an odd number of high cycles (an odd number of half cells) leaves the
// demodulator's clock half a cell off the bytes after it, since nothing in a tone shows where
// its cells begin. Where the first data bit after the start bit is a 1, no cell then holds the
// start bit alone; the clock must still be put on it, or the stretch's first bytes are read as
// more tone and noise (Starquake's loader reads 101-byte stretches after tones of 157 cycles).
TEST(SampleTranscription, ReadsTheFirstBytesAfterAToneOfAnOddNumberOfCycles) {
  using namespace ToolTest;
  const std::vector<std::vector<uint8_t>> stretches = {
      {0x57, 0xFE, 0xFE, 0x79}, {0xFF, 0x00, 0x5A}, {0x03, 0x81, 0x42}, {0x0F, 0xF0, 0x33}};
  std::vector<std::string> chunks = {
      Chunk(0x0116, Float(1.0f)), Chunk(0x0110, Le16(3000)),
      Chunk(0x0104, std::string("\x08O\x01", 3) + Bytes(Values(20, 31)))};
  std::vector<std::string> expected = {"gap 1.5", "tone 3000", DataText(Values(20, 31), "8O1")};
  const uint16_t tones[] = {157, 155, 301, 603};
  for (size_t i = 0; i < stretches.size(); ++i) {
    std::vector<uint8_t> bytes = stretches[i];
    const std::vector<uint8_t> more = Values(12, static_cast<unsigned>(40 + i));
    bytes.insert(bytes.end(), more.begin(), more.end());
    chunks.push_back(Chunk(0x0110, Le16(tones[i])));
    chunks.push_back(Chunk(0x0104, std::string("\x08O\x01", 3) + Bytes(bytes)));
    expected.push_back("tone " + std::to_string(tones[i]));
    expected.push_back(DataText(bytes, "8O1"));
  }
  chunks.push_back(Chunk(0x0110, Le16(2000)));
  expected.push_back("tone 2000");
  TempFolder folder;
  {
    std::ofstream file(folder / "tape.uef", std::ios::binary);
    file << Image(chunks);
  }
  for (const std::vector<std::string>& faults :
       {std::vector<std::string>{}, std::vector<std::string>{"--noise-db", "12"},
        std::vector<std::string>{"--speed", "3", "--noise-db", "16"}}) {
    SCOPED_TRACE(faults.empty() ? "clean" : faults.back());
    std::vector<std::string> arguments = {folder / "tape.uef", "-o", folder / "tape.wav"};
    arguments.insert(arguments.end(), faults.begin(), faults.end());
    RunCommand(Tool_ns::RenderCommand, arguments);
    Tool_ns::RecordingSettings recording;
    recording.name = folder / "tape.wav";
    recording.kind = Tool_ns::RecordingKind::kWav;
    EXPECT_EQ(Differences(Tool_ns::TranscribeRecording(recording, -1), expected), "");
  }
}

}  // namespace

namespace {

// The half cycles a UEF image plays, through the tool's own reader and player: H for one of
// the high tone, L for one of the low tone.
class HalfCycles final : public Tool_ns::WaveTarget {
 public:
  void Tone(double frequencyHz, uint64_t halfCycles) override {
    played.append(halfCycles, frequencyHz > 1800 ? 'H' : 'L');
  }
  void Silence(double) override { played += ' '; }
  std::string played;
};

std::string HalfCyclesOf(const HalfWaves& halves) {
  std::string text;
  for (double seconds : halves.seconds)
    text += seconds < 1.0 / 3600.0 ? 'H' : 'L';
  return text;
}

TEST(WholeTapeImage, BytesInOtherFramingsPlayBackBitForBitFromTheLeastSignificant) {
  // Bytes framed here bit by bit, data bits from the least significant as on the tape (and as
  // chunk 0x0104 holds them), go into the image as 0x0104 chunks that the tool's player plays
  // back into the same cycles.
  HalfWaves halves;
  halves.Tone(200);
  halves.Bytes({0x01, 0x80, 0x0F, 0x35}, "8O1");
  halves.Tone(200);
  halves.Bytes({0x01, 0x80, 0xC4}, "8E2");
  halves.Tone(200);
  halves.Bytes({0x03, 0x60}, "8O2");
  halves.Tone(200);
  const std::vector<TapeEvent> events = Tool_ns::TranscribeHalfWaves(halves.seconds);
  TempFolder folder;
  Tool_ns::BuildImage(Tool_ns::Recovery{}, folder / "image.uef", {"origin"}, &events);
  UEFFormat_ns::SaveImage(UEFFormat_ns::TheUEFImage, false);
  std::vector<std::string> framings;
  for (const TestSupport::Chunk& chunk : ParseChunks(ReadFile(folder / "image.uef"))) {
    if (chunk.id == 0x0104)
      framings.push_back(chunk.data.substr(0, 3));
  }
  EXPECT_EQ(framings, (std::vector<std::string>{std::string("\x08O\x01", 3),
                                                std::string("\x08"
                                                            "E\x02",
                                                            3),
                                                std::string("\x08O\x02", 3)}));
  HalfCycles target;
  Tool_ns::PlayImage(Tool_ns::UefImageFromBytes(ReadFile(folder / "image.uef"), "image.uef"),
                     target, nullptr);
  EXPECT_EQ(target.played, HalfCyclesOf(halves));
}

}  // namespace

namespace {

// Where two images' chunk texts (ChunkText) differ, carrier tones allowed 8 cycles and gaps a
// tenth of a second either way; empty where they agree.
std::string ChunkDifferences(const std::vector<std::string>& got,
                             const std::vector<std::string>& wanted) {
  std::ostringstream differences;
  for (size_t i = 0; i < std::max(got.size(), wanted.size()); ++i) {
    const std::string a = i < got.size() ? got[i] : "(nothing)";
    const std::string b = i < wanted.size() ? wanted[i] : "(nothing)";
    bool same = a == b;
    const std::string id = a.substr(0, a.find(' '));
    if (!same && id == b.substr(0, b.find(' ')) && (id == "110" || id == "111" || id == "116")) {
      std::istringstream first(a.substr(4)), second(b.substr(4));
      const long slack = id == "116" ? 2 : 8;
      long x = 0, y = 0;
      same = true;
      while (first >> x && second >> y)
        same = same && std::labs(x - y) <= slack;
    }
    if (!same)
      differences << "chunk " << i << ": " << a.substr(0, 40) << " instead of " << b.substr(0, 40)
                  << "\n";
  }
  return differences.str();
}

TEST(WholeTapeImage, ALoadersTapeRecordedWithNoiseComesBackAsItWasRendered) {
  // A standard file that would hold the loader, then the loader's own blocks: bytes in other
  // framings, 300 baud, a tone running into bytes and on, security cycles. Rendered as a WAV
  // file with noise and off speed, recovered with --whole-tape, the image holds the same
  // chunks, which play the same bytes, framings and tones.
  using namespace ToolTest;
  using TapeBuilder_ns::BlockSpec;
  const BlockSpec first{"LOADER", 0x1900, 0x8023, 0, 0x00, Values(256, 31)};
  const BlockSpec last{"LOADER", 0x1900, 0x8023, 1, 0x80, Values(90, 32)};
  std::vector<std::string> chunks = {
      Chunk(0x0111, Le16(4000) + Le16(1000)),
      BlockChunk(first),
      Chunk(0x0110, Le16(1200)),
      BlockChunk(last),
      Chunk(0x0110, Le16(1200)),
      Chunk(0x0116, Float(2.0f)),
  };
  const LoaderTape loader = MakeLoaderTape();
  chunks.insert(chunks.end(), loader.chunks.begin() + 1, loader.chunks.end());
  TempFolder folder;
  {
    std::ofstream file(folder / "tape.uef", std::ios::binary);
    file << Image(chunks);
  }
  RunCommand(Tool_ns::RenderCommand,
             {folder / "tape.uef", "-o", folder / "tape.wav", "--noise-db", "8", "--speed", "-3"});
  RunCommand(Tool_ns::RecoverCommand,
             {folder / "tape.wav", "-o", folder / "image.uef", "-c", "--whole-tape"});
  EXPECT_EQ(ChunkDifferences(ChunkTexts(ReadFile(folder / "image.uef")), ChunkTexts(Image(chunks))),
            "");
}

}  // namespace
