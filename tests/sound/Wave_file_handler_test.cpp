// WAV files: the chunk walk and its refusals, sample reading, and writing a file back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sound/Wave_file_handler.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using SoundInput_ns::WAVSound;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

std::string Le16(uint16_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::string Le32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i)
    bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

uint32_t GetLe32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= uint32_t(uint8_t(bytes.at(at + i))) << (8 * i);
  return value;
}

uint16_t GetLe16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(uint8_t(bytes.at(at)) | (uint8_t(bytes.at(at + 1)) << 8));
}

// A chunk with its pad byte after odd-sized content (unless told not to add it).
std::string Chunk(const std::string& id, const std::string& content, bool pad = true) {
  std::string bytes = id + Le32(static_cast<uint32_t>(content.size())) + content;
  if (pad && content.size() % 2 == 1)
    bytes += '\0';
  return bytes;
}

// A chunk whose size field says something else than its content's length.
std::string ChunkSized(const std::string& id, uint32_t size, const std::string& content) {
  return id + Le32(size) + content;
}

std::string Format(uint16_t tag = 1, uint16_t channels = 1, uint32_t rate = 8000,
                   uint16_t bits = 8) {
  const uint32_t frame = channels * bits / 8u;
  return Le16(tag) + Le16(channels) + Le32(rate) + Le32(rate * frame) +
         Le16(static_cast<uint16_t>(frame)) + Le16(bits);
}

// "RIFF", the RIFF length that makes it match the file, "WAVE" and the chunks.
std::string Riff(const std::string& chunks) {
  return "RIFF" + Le32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

// Unsigned stored bytes for samples.
std::string Stored(const std::vector<int>& samples) {
  std::string bytes;
  for (int s : samples)
    bytes += static_cast<char>((s + 128) & 0xFF);
  return bytes;
}

const std::vector<int> kSamples = {0, 127, -128, 1, -1, 64, -64, 5};

std::string SimpleWav(uint32_t rate = 8000) {
  return Riff(Chunk("fmt ", Format(1, 1, rate)) + Chunk("data", Stored(kSamples)));
}

// Opens the bytes as a WAV file; the message of the failure, or "" when it opened.
std::string OpenMessage(const std::string& bytes) {
  TempFolder folder;
  WriteFile(folder / "in.wav", bytes);
  auto sound = std::make_unique<WAVSound>();
  try {
    sound->Open(folder / "in.wav");
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

// Every sample up to the end, and checks that the end stays the end.
std::vector<int> ReadAll(WAVSound& sound) {
  std::vector<int> samples;
  for (;;) {
    const int s = sound.NextSample();
    if (sound.AtEnd()) {
      EXPECT_EQ(s, 0);
      break;
    }
    samples.push_back(s);
  }
  const uint32_t position = sound.Position;
  EXPECT_EQ(sound.NextSample(), 0);
  EXPECT_TRUE(sound.AtEnd());
  EXPECT_EQ(sound.Position, position);
  return samples;
}

// A WAV file on disk and a fresh source that has opened it.
struct Opened {
  TempFolder folder;
  std::unique_ptr<WAVSound> sound = std::make_unique<WAVSound>();
  explicit Opened(const std::string& bytes) {
    WriteFile(folder / "in.wav", bytes);
    sound->Open(folder / "in.wav");
  }
};

std::vector<int> Concat(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<int> AsSamples(const std::string& bytes) {
  std::vector<int> samples;
  for (char c : bytes)
    samples.push_back(int(uint8_t(c)) - 128);
  return samples;
}

// --- Refusals -----------------------------------------------------------------------------

struct Refusal {
  const char* what;
  std::string bytes;
  std::string message;
};

TEST(WavOpen, RefusesEveryMalformedHeaderWithItsMessage) {
  const std::string data = Chunk("data", Stored(kSamples));
  const std::string wav = SimpleWav();
  std::string oneShort = wav;
  oneShort.replace(4, 4, Le32(GetLe32(wav, 4) - 1));
  std::string oneLong = wav;
  oneLong.replace(4, 4, Le32(GetLe32(wav, 4) + 1));

  const std::vector<Refusal> refusals = {
      {"empty file", "", "File reading error"},
      {"cut inside RIFF", "RIF", "File reading error"},
      {"cut inside the RIFF length", std::string("RIFF\x04\x00", 6), "File reading error"},
      {"not RIFF", "RIFX" + wav.substr(4), "Doesn't appear to be a valid WAV file"},
      {"not WAVE", wav.substr(0, 8) + "WAVF" + wav.substr(12),
       "Doesn't appear to be a valid WAV file"},
      {"RIFF length one short", oneShort, "WAV file has incorrect length in header"},
      {"RIFF length one long", oneLong, "WAV file has incorrect length in header"},
      {"RIFF length beyond 31 bits", "RIFF" + Le32(0x7FFFFFF8u) + wav.substr(8),
       "WAV file has incorrect length in header"},
      {"RIFF length that wraps 32 bits", "RIFF" + Le32(0xFFFFFFFFu) + wav.substr(8),
       "WAV file has incorrect length in header"},
      {"fmt chunk cut by the file's end", Riff(ChunkSized("fmt ", 16, Format().substr(0, 6))),
       "File reading error"},
      {"chunk size 2147483647", Riff(ChunkSized("junk", 0x7FFFFFFFu, "abcd") + data),
       "WAV file has incorrect length in chunk identifier"},
      {"chunk size 0xFFFFFFFF", Riff(ChunkSized("junk", 0xFFFFFFFFu, "abcd") + data),
       "WAV file has incorrect length in chunk identifier"},
      {"chunk running past 31-bit offsets", Riff(ChunkSized("data", 0x7FFFFFF0u, "abcd")),
       "WAV file has incorrect length in chunk identifier"},
      {"fmt chunk shorter than 16", Riff(Chunk("fmt ", Format().substr(0, 14)) + data),
       "WAV file has a format chunk that is too short"},
      {"fmt chunk of size 0", Riff(Chunk("fmt ", "") + data),
       "WAV file has a format chunk that is too short"},
      {"not PCM", Riff(Chunk("fmt ", Format(3)) + data), "WAV file uses unsupported data format"},
      {"no channel", Riff(Chunk("fmt ", Format(1, 0)) + data), "WAV file neither stereo nor mono"},
      {"three channels", Riff(Chunk("fmt ", Format(1, 3)) + data),
       "WAV file neither stereo nor mono"},
      {"rate 2^31", Riff(Chunk("fmt ", Format(1, 1, 0x80000000u)) + data),
       "Sampling rate more than 2147483647"},
      {"rate 0", Riff(Chunk("fmt ", Format(1, 1, 0)) + data), "WAV file has a sampling rate of 0"},
      {"24 bits", Riff(Chunk("fmt ", Format(1, 1, 8000, 24)) + data),
       "WAV file neither 8 bit nor 16 bit"},
      {"two data chunks", Riff(Chunk("fmt ", Format()) + data + data), "More than 1 data chunk"},
      {"stereo", Riff(Chunk("fmt ", Format(1, 2)) + data), "Stereo samples not supported"},
      {"16 bits", Riff(Chunk("fmt ", Format(1, 1, 8000, 16)) + data),
       "16 bit samples not supported"},
      {"stereo 16 bits", Riff(Chunk("fmt ", Format(1, 2, 8000, 16)) + data),
       "Stereo and 16 bit samples not supported"},
      // The whole file is walked before the sample format is judged.
      {"stereo 16 bits without data", Riff(Chunk("fmt ", Format(1, 2, 8000, 16))),
       "Stereo and 16 bit samples not supported"},
      {"stereo 16 bits, then two data chunks",
       Riff(Chunk("fmt ", Format(1, 2, 8000, 16)) + data + data), "More than 1 data chunk"},
      {"no data chunk", Riff(Chunk("fmt ", Format())), "WAV file hasn't a data chunk"},
      {"nothing after WAVE", Riff(""), "WAV file hasn't a data chunk"},
      {"no fmt chunk", Riff(data), "WAV file hasn't a format chunk"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.what);
    EXPECT_EQ(OpenMessage(refusal.bytes), refusal.message);
  }
}

TEST(WavOpen, MissingFileAndSecondOpen) {
  TempFolder folder;
  WAVSound sound;
  try {
    sound.Open(folder / "absent.wav");
    FAIL() << "opened a missing file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "Could not open " + (folder / "absent.wav"));
  }

  WriteFile(folder / "a.wav", SimpleWav());
  WriteFile(folder / "b.wav", Riff(Chunk("fmt ", Format()) + Chunk("data", Stored({99}))));
  sound.Open(folder / "a.wav");
  EXPECT_EQ(sound.NextSample(), kSamples[0]);
  try {
    sound.Open(folder / "b.wav");
    FAIL() << "opened a second file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "A WAV input file is already open");
  }
  // The first file is still being read where it was.
  EXPECT_EQ(sound.NextSample(), kSamples[1]);
  EXPECT_FALSE(sound.Close());
  sound.Open(folder / "b.wav");
  EXPECT_EQ(sound.NextSample(), 99);
}

// Truncated copies of a file with every kind of chunk: refused with a message, or (when the
// RIFF length is mended to match) read up to the physical end. Never a crash or a hang.
TEST(WavOpen, TruncatedFilesAreRefusedOrReadToTheirEnd) {
  const std::string extended = Format() + Le16(0);
  const std::string full = Riff(Chunk("fmt ", extended) + Chunk("LIST", "odd") +
                                Chunk("data", Stored(kSamples)) + Chunk("note", "xyz"));
  const size_t dataStart = full.find("data") + 8;
  for (size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::string cut = full.substr(0, length);
    EXPECT_EQ(OpenMessage(cut),
              length < 8 ? "File reading error" : "WAV file has incorrect length in header");
    if (length < 12)
      continue;
    std::string mended = cut;
    mended.replace(4, 4, Le32(static_cast<uint32_t>(length - 8)));
    TempFolder folder;
    WriteFile(folder / "cut.wav", mended);
    WAVSound sound;
    try {
      sound.Open(folder / "cut.wav");
    } catch (const std::runtime_error& error) {
      const std::string message = error.what();
      EXPECT_TRUE(message == "File reading error" || message == "WAV file hasn't a data chunk" ||
                  message == "WAV file hasn't a format chunk")
          << message;
      EXPECT_LT(length, dataStart);
      continue;
    }
    EXPECT_GE(length, dataStart);
    EXPECT_EQ(ReadAll(sound), AsSamples(mended.substr(dataStart)));
  }
}

TEST(WavOpen, ZeroSizedChunksEndTheWalk) {
  std::string chunks = Chunk("fmt ", Format());
  for (int i = 0; i < 50; ++i)
    chunks += Chunk("zero", "");
  chunks += Chunk("data", "");
  Opened file(Riff(chunks));
  EXPECT_EQ(file.sound->TotalLength, 0);
  EXPECT_EQ(ReadAll(*file.sound), std::vector<int>{});
}

// --- The chunk walk -----------------------------------------------------------------------

TEST(WavChunks, FormatAndDataOfAPlainFile) {
  Opened file(SimpleWav(22050));
  EXPECT_EQ(file.sound->SampleRate, 22050u);
  EXPECT_EQ(file.sound->TotalLength, int32_t(kSamples.size()));
  EXPECT_EQ(file.sound->DataStart(), 44);
  EXPECT_EQ(file.sound->Position, 0u);
  EXPECT_EQ(ReadAll(*file.sound), kSamples);
  EXPECT_EQ(file.sound->Position, kSamples.size());
}

TEST(WavChunks, LongerFormatChunkAndUnknownChunksAreSkipped) {
  // An 18-byte format chunk (with its extension size), an unknown chunk before the data.
  const std::string extended = Format(1, 1, 11025) + Le16(0);
  Opened file(
      Riff(Chunk("fmt ", extended) + Chunk("fact", Le32(8)) + Chunk("data", Stored(kSamples))));
  EXPECT_EQ(file.sound->SampleRate, 11025u);
  EXPECT_EQ(ReadAll(*file.sound), kSamples);

  // A 17-byte format chunk is followed by its pad byte.
  Opened odd(Riff(Chunk("fmt ", Format(1, 1, 12000) + "x") + Chunk("data", Stored(kSamples))));
  EXPECT_EQ(odd.sound->SampleRate, 12000u);
  EXPECT_EQ(ReadAll(*odd.sound), kSamples);
}

TEST(WavChunks, OddSizedChunkBeforeTheDataHasAPadByte) {
  // As every RIFF writer does: a 5-byte LIST chunk takes 6 bytes.
  Opened file(
      Riff(Chunk("fmt ", Format()) + Chunk("LIST", "INFOx") + Chunk("data", Stored(kSamples))));
  EXPECT_EQ(file.sound->TotalLength, int32_t(kSamples.size()));
  EXPECT_EQ(ReadAll(*file.sound), kSamples);
  // The pad byte of a last odd chunk may be missing at the very end of the file.
  Opened unpadded(Riff(Chunk("fmt ", Format()) + Chunk("data", Stored(kSamples)) +
                       Chunk("LIST", "abc", false)));
  EXPECT_EQ(unpadded.sound->TotalLength, int32_t(kSamples.size()));
}

TEST(WavChunks, BytesAfterTheDataChunkAreDeliveredAsSamples) {
  const std::string trailer = Chunk("LIST", "INFOab");
  Opened file(Riff(Chunk("fmt ", Format()) + Chunk("data", Stored(kSamples)) + trailer));
  EXPECT_EQ(file.sound->TotalLength, int32_t(kSamples.size()));
  EXPECT_EQ(ReadAll(*file.sound), Concat(kSamples, AsSamples(trailer)));
}

TEST(WavChunks, LaterFormatWinsAndAnEmptyDataChunkMayBeReplaced) {
  Opened file(Riff(Chunk("fmt ", Format(1, 1, 8000)) + Chunk("data", "") +
                   Chunk("fmt ", Format(1, 1, 16000)) + Chunk("data", Stored(kSamples))));
  EXPECT_EQ(file.sound->SampleRate, 16000u);
  EXPECT_EQ(file.sound->TotalLength, int32_t(kSamples.size()));
  EXPECT_EQ(ReadAll(*file.sound), kSamples);
  // A stereo format replaced by a mono one is accepted; the other way round it is not.
  EXPECT_EQ(OpenMessage(Riff(Chunk("fmt ", Format(1, 2)) + Chunk("fmt ", Format(1, 1)) +
                             Chunk("data", "ab"))),
            "");
  EXPECT_EQ(OpenMessage(Riff(Chunk("fmt ", Format(1, 1)) + Chunk("fmt ", Format(1, 2)) +
                             Chunk("data", "ab"))),
            "Stereo samples not supported");
}

TEST(WavChunks, DataChunkLargerThanTheFileIsReadToTheFilesEnd) {
  // The RIFF length is right; the data chunk claims more than there is.
  Opened file(Riff(Chunk("fmt ", Format()) + ChunkSized("data", 1000000, Stored(kSamples))));
  EXPECT_EQ(file.sound->TotalLength, 1000000);
  EXPECT_EQ(ReadAll(*file.sound), kSamples);
}

// --- Reading --------------------------------------------------------------------------------

TEST(WavReading, RewindCloseAndReopenStartAgainAtTheFirstSample) {
  TempFolder folder;
  WriteFile(folder / "a.wav",
            Riff(Chunk("fmt ", Format()) + Chunk("LIST", "abc") + Chunk("data", Stored(kSamples))));
  WAVSound sound;
  sound.Open(folder / "a.wav");
  ReadAll(sound);
  sound.Rewind();
  EXPECT_FALSE(sound.AtEnd());
  EXPECT_EQ(sound.Position, 0u);
  EXPECT_EQ(ReadAll(sound), kSamples);
  EXPECT_FALSE(sound.Close());
  EXPECT_FALSE(sound.Ended);
  EXPECT_EQ(sound.Position, 0u);
  sound.Open(folder / "a.wav");
  EXPECT_EQ(ReadAll(sound), kSamples);
}

TEST(WavReading, SampleCursorGivesWhatNextSampleGives) {
  std::vector<int> samples;
  for (int i = 0; i < 70000; ++i)
    samples.push_back((i * 37) % 256 - 128);
  const std::string trailer = Chunk("LIST", "INFOab");
  Opened file(Riff(Chunk("fmt ", Format()) + Chunk("data", Stored(samples)) + trailer));
  WAVSound& sound = *file.sound;
  EXPECT_EQ(sound.NextSample(), samples[0]);
  std::vector<int> read = {samples[0]};
  {
    auto cursor = sound.Samples();
    int s = 0;
    while (cursor.Next(s))
      read.push_back(s);
  }
  EXPECT_TRUE(sound.AtEnd());
  EXPECT_EQ(sound.Position, samples.size() + trailer.size());
  EXPECT_TRUE(read == Concat(samples, AsSamples(trailer)));
  sound.Rewind();
  EXPECT_EQ(ReadAll(sound), Concat(samples, AsSamples(trailer)));
}

TEST(WavReading, ProgressAndDataEnd) {
  std::vector<int> samples(200, 3);
  const std::string trailer = Chunk("junk", "1234");
  Opened file(Riff(Chunk("fmt ", Format()) + Chunk("data", Stored(samples)) + trailer));
  WAVSound& sound = *file.sound;
  EXPECT_EQ(sound.ProgressPercent(), 0);
  EXPECT_FALSE(sound.AtDataEnd());
  for (int i = 0; i < 101; ++i)
    sound.NextSample();
  EXPECT_EQ(sound.ProgressPercent(), 51);  // 50.5 rounds up
  for (int i = 0; i < 99; ++i)
    sound.NextSample();
  EXPECT_TRUE(sound.AtDataEnd());
  EXPECT_EQ(sound.ProgressPercent(), 100);
  sound.NextSample();
  EXPECT_FALSE(sound.AtDataEnd());
  ReadAll(sound);
  EXPECT_EQ(sound.ProgressPercent(), 106);  // the 12 bytes of the trailing chunk as well
}

// --- Writing --------------------------------------------------------------------------------

TEST(WavWriting, HeaderOf44BytesForA1000SampleFile) {
  TempFolder folder;
  WAVSound sound;
  sound.OpenOutput(folder / "out.wav");
  sound.WriteHeader(44100, 1000);
  EXPECT_FALSE(sound.Close());
  const std::string header = ReadFile(folder / "out.wav");
  ASSERT_EQ(header.size(), 44u);
  EXPECT_EQ(header.substr(0, 4), "RIFF");
  EXPECT_EQ(GetLe32(header, 4), 1036u);
  EXPECT_EQ(header.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(GetLe32(header, 16), 16u);
  EXPECT_EQ(GetLe16(header, 20), 1);  // PCM
  EXPECT_EQ(GetLe16(header, 22), 1);  // mono
  EXPECT_EQ(GetLe32(header, 24), 44100u);
  EXPECT_EQ(GetLe32(header, 28), 44100u);
  EXPECT_EQ(GetLe16(header, 32), 1);
  EXPECT_EQ(GetLe16(header, 34), 8);
  EXPECT_EQ(header.substr(36, 4), "data");
  EXPECT_EQ(GetLe32(header, 40), 1000u);
}

TEST(WavWriting, WrittenFileReadsBackAsTheSameSamples) {
  TempFolder folder;
  std::vector<int> samples;
  for (int s = -128; s < 128; ++s)
    samples.push_back(s);
  {
    WAVSound writer;
    writer.OpenOutput(folder / "out.wav");
    writer.WriteHeader(31250, static_cast<uint32_t>(samples.size()));
    for (int s : samples)
      writer.WriteSample(static_cast<int8_t>(s));
    EXPECT_FALSE(writer.Close());
  }
  EXPECT_EQ(ReadFile(folder / "out.wav").substr(44), Stored(samples));
  WAVSound reader;
  reader.Open(folder / "out.wav");
  EXPECT_EQ(reader.SampleRate, 31250u);
  EXPECT_EQ(ReadAll(reader), samples);
}

TEST(WavWriting, OutputRefusals) {
  TempFolder folder;
  WAVSound sound;
  try {
    sound.OpenOutput(folder / "missing-folder/out.wav");
    FAIL() << "opened an output in a missing folder";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "Could not open output WAV file");
  }
  // Writing with no output open fails the write.
  try {
    sound.WriteSample(0);
    FAIL() << "wrote to no file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "File writing error");
  }
  sound.Close();
  try {
    sound.WriteHeader(8000, 0);
    FAIL() << "wrote a header to no file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "File writing error");
  }
  sound.Close();
  sound.OpenOutput(folder / "one.wav");
  try {
    sound.OpenOutput(folder / "two.wav");
    FAIL() << "opened a second output";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "A WAV output file is already open");
  }
  EXPECT_FALSE(sound.Close());
}

// CopyHeader, TotalLength samples, then CopyTrailer: the input with its samples replaced and
// everything else as it was.
void CheckCopy(const std::string& header, const std::string& trailer) {
  TempFolder folder;
  const std::string input = Riff(header + Chunk("data", Stored(kSamples)) + trailer);
  WriteFile(folder / "in.wav", input);
  WAVSound sound;
  sound.Open(folder / "in.wav");
  sound.OpenOutput(folder / "out.wav");
  sound.CopyHeader();
  // The input is still at its first sample.
  std::vector<int> doubled;
  for (int i = 0; i < sound.TotalLength; ++i) {
    const int s = sound.NextSample();
    doubled.push_back(s / 2);
    sound.WriteSample(static_cast<int8_t>(s / 2));
  }
  sound.CopyTrailer();
  EXPECT_FALSE(sound.Close());

  const std::string expected = Riff(header + Chunk("data", Stored(doubled)) + trailer);
  const std::string output = ReadFile(folder / "out.wav");
  EXPECT_EQ(output.size(), expected.size());
  EXPECT_TRUE(output == expected);
  WAVSound again;
  again.Open(folder / "out.wav");
  EXPECT_EQ(again.TotalLength, static_cast<int32_t>(doubled.size()));
  const std::vector<int> all = ReadAll(again);
  EXPECT_EQ(std::vector<int>(all.begin(), all.begin() + static_cast<long>(doubled.size())),
            doubled);
}

TEST(WavWriting, CopyHeaderAndTrailerKeepEveryChunk) {
  {
    SCOPED_TRACE("plain");
    CheckCopy(Chunk("fmt ", Format()), "");
  }
  {
    SCOPED_TRACE("chunks before and after the data");
    CheckCopy(Chunk("fmt ", Format() + Le16(0)) + Chunk("LIST", "odd"), Chunk("note", "12345"));
  }
  {
    SCOPED_TRACE("header beyond 32767 bytes");
    std::string big(40001, 'q');
    for (size_t i = 0; i < big.size(); ++i)
      big[i] = static_cast<char>(i * 31);
    CheckCopy(Chunk("fmt ", Format()) + Chunk("JUNK", big), Chunk("tail", std::string(70000, 'z')));
  }
}

TEST(WavWriting, ShapedSamples) {
  constexpr double kPi = 3.14159265358979323846;
  TempFolder folder;
  WAVSound sound;
  sound.OpenOutput(folder / "shaped.wav");
  // asin(1) - pi/2 = 0: nothing of the wave.
  sound.WriteShapedSample(1.0, -kPi / 2, true);
  // asin(0) - pi/2: a full swing, positive where the phase matches the direction...
  sound.WriteShapedSample(0.0, -kPi / 2, true);
  sound.WriteShapedSample(0.0, -3 * kPi / 2, false);
  // ...negative where it does not.
  sound.WriteShapedSample(0.0, -kPi / 2, false);
  sound.WriteShapedSample(0.0, -3 * kPi / 2, true);
  // sin(pi/6 - pi/2) x 127 = -109.985: 110 on one side, -111 on the other.
  sound.WriteShapedSample(0.5, -kPi / 2, true);
  sound.WriteShapedSample(0.5, -kPi / 2, false);
  EXPECT_FALSE(sound.Close());
  EXPECT_EQ(ReadFile(folder / "shaped.wav"), Stored({0, 127, 127, -128, -128, 110, -111}));
}

}  // namespace
