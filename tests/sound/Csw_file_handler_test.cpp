// CSW files: the header and its extension, RLE and Z-RLE pulse data, the pulse count check,
// the phase alignment, and whole runs of the program on the same tape in every sound format.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sound/Csw_file_handler.h"
#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using SoundInput_ns::CSWSound;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

std::string Le32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i)
    bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

struct Header {
  uint8_t major = 2;
  uint8_t minor = 0;
  uint32_t rate = 44100;
  uint32_t count = 0;
  uint8_t compression = 1;
  uint8_t flags = 0;
  std::string extension;
};

std::string CswHeader(const Header& header) {
  std::string bytes = "Compressed Square Wave";
  bytes += '\x1A';
  bytes += static_cast<char>(header.major);
  bytes += static_cast<char>(header.minor);
  bytes += Le32(header.rate) + Le32(header.count);
  bytes += static_cast<char>(header.compression);
  bytes += static_cast<char>(header.flags);
  bytes += static_cast<char>(header.extension.size());
  bytes += std::string("Tester\0\0\0\0\0\0\0\0\0\0", 16);
  return bytes + header.extension;
}

// Pulse data before compression: 1 to 255 as one byte, others as 0 and a 32-bit length.
std::string Rle(const std::vector<uint32_t>& pulses) {
  std::string bytes;
  for (uint32_t pulse : pulses) {
    if (pulse >= 1 && pulse <= 255) {
      bytes += static_cast<char>(pulse);
    } else {
      bytes += '\0';
      bytes += Le32(pulse);
    }
  }
  return bytes;
}

// A zlib stream of data made by zlib's deflate at the given level.
std::string Deflate(const std::string& data, int level) {
  z_stream stream{};
  EXPECT_EQ(deflateInit(&stream, level), Z_OK);
  std::string out(deflateBound(&stream, uLong(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = uInt(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// A zlib stream written by hand from stored (uncompressed) blocks, so that its byte layout is
// known exactly: a 2-byte header, emptyBlocks empty blocks (5 bytes each, inflating to
// nothing), the data in blocks of at most blockSize bytes (5 bytes of head each), and the
// 4-byte checksum. Its length is 2 + 5 x (emptyBlocks + blocks) + data + 4.
std::string StoredZlib(const std::string& data, size_t emptyBlocks = 0, size_t blockSize = 65535) {
  std::string out = "\x78\x01";
  auto block = [&out](const std::string& content, bool last) {
    const auto length = static_cast<uint16_t>(content.size());
    out += static_cast<char>(last ? 1 : 0);
    out += static_cast<char>(length & 0xFF);
    out += static_cast<char>(length >> 8);
    out += static_cast<char>(~length & 0xFF);
    out += static_cast<char>((~length >> 8) & 0xFF);
    out += content;
  };
  for (size_t i = 0; i < emptyBlocks; ++i)
    block("", false);
  size_t at = 0;
  do {
    const std::string content = data.substr(at, blockSize);
    at += content.size();
    block(content, at >= data.size());
  } while (at < data.size());
  const uLong check = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()),
                              uInt(data.size()));
  for (int shift = 24; shift >= 0; shift -= 8)
    out += static_cast<char>((check >> shift) & 0xFF);
  return out;
}

std::string RleFile(const std::vector<uint32_t>& pulses, Header header = Header{}) {
  header.compression = 1;
  return CswHeader(header) + Rle(pulses);
}

std::string ZRleFile(const std::vector<uint32_t>& pulses, Header header = Header{}, int level = 9) {
  header.compression = 2;
  return CswHeader(header) + Deflate(Rle(pulses), level);
}

Header Counting(size_t count) {
  Header header;
  header.count = static_cast<uint32_t>(count);
  return header;
}

// A CSW file on disk and a fresh source that has opened it.
struct Opened {
  TempFolder folder;
  std::unique_ptr<CSWSound> sound = std::make_unique<CSWSound>();
  explicit Opened(const std::string& bytes, bool pulseInput = false, bool noPhaseShift = false) {
    WriteFile(folder / "in.csw", bytes);
    sound->PulseInput = pulseInput;
    sound->NoPhaseShift = noPhaseShift;
    sound->Open(folder / "in.csw");
  }
};

std::string OpenMessage(const std::string& bytes) {
  try {
    Opened file(bytes);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

// Every pulse up to the end; the end then stays the end.
std::vector<uint32_t> ReadAll(CSWSound& sound) {
  std::vector<uint32_t> pulses;
  for (uint32_t pulse = sound.NextPulse(); pulse != 0; pulse = sound.NextPulse()) {
    pulses.push_back(pulse);
  }
  EXPECT_TRUE(sound.AtEnd());
  EXPECT_EQ(sound.NextPulse(), 0u);
  EXPECT_TRUE(sound.AtEnd());
  return pulses;
}

uint64_t Sum(const std::vector<uint32_t>& pulses) {
  uint64_t sum = 0;
  for (uint32_t pulse : pulses)
    sum += pulse;
  return sum;
}

// Deterministic pulses of every kind: short and long ones, a few beyond one byte.
std::vector<uint32_t> MixedPulses(size_t count, uint32_t seed) {
  std::vector<uint32_t> pulses;
  uint32_t state = seed;
  for (size_t i = 0; i < count; ++i) {
    state = state * 1664525u + 1013904223u;
    const uint32_t r = state >> 8;
    pulses.push_back(r % 50 == 0 ? 256 + r % 100000 : 1 + r % 255);
  }
  return pulses;
}

// Checks that the file opens and delivers exactly these pulses.
void ExpectPulses(const std::string& bytes, const std::vector<uint32_t>& pulses) {
  Opened file(bytes);
  EXPECT_EQ(file.sound->TotalPulseLength(), Sum(pulses));
  const auto read = ReadAll(*file.sound);
  EXPECT_EQ(read.size(), pulses.size());
  EXPECT_TRUE(read == pulses);
  EXPECT_EQ(uint64_t(file.sound->Position), Sum(pulses));
  EXPECT_EQ(file.sound->CountedPulses, pulses.size());
}

// --- The example and the pulse count --------------------------------------------------------

const std::string kExampleData("\x0A\x00\x2C\x01\x00\x00\x14", 7);

TEST(CswPulses, ExampleFileInBothCompressions) {
  for (const std::string& data : {kExampleData, Deflate(kExampleData, 9)}) {
    Header header = Counting(3);
    header.compression = static_cast<uint8_t>(data == kExampleData ? 1 : 2);
    Opened file(CswHeader(header) + data);
    CSWSound& sound = *file.sound;
    EXPECT_EQ(sound.SampleRate, 44100u);
    EXPECT_EQ(sound.TotalLength, 330);
    EXPECT_FALSE(sound.AtEnd());
    EXPECT_EQ(sound.NextPulse(), 10u);
    EXPECT_EQ(sound.NextPulse(), 300u);
    EXPECT_EQ(sound.Position, 310u);
    EXPECT_EQ(sound.NextPulse(), 20u);
    EXPECT_FALSE(sound.AtEnd());
    EXPECT_EQ(sound.NextPulse(), 0u);
    EXPECT_TRUE(sound.AtEnd());
    EXPECT_EQ(sound.Position, 330u);
    EXPECT_EQ(sound.NextPulse(), 0u);
  }
}

TEST(CswPulses, CountDifferingFromTheHeaderIsRefusedWithItsSign) {
  for (int compression : {1, 2}) {
    SCOPED_TRACE(compression);
    const std::string data = compression == 1 ? kExampleData : Deflate(kExampleData, 9);
    auto withCount = [&](uint32_t count) {
      Header header = Counting(count);
      header.compression = static_cast<uint8_t>(compression);
      return CswHeader(header) + data;
    };
    EXPECT_EQ(OpenMessage(withCount(4)), "Incorrect number of pulses by 1");
    EXPECT_EQ(OpenMessage(withCount(2)), "Incorrect number of pulses by -1");
    EXPECT_EQ(OpenMessage(withCount(0)), "Incorrect number of pulses by -3");
    EXPECT_EQ(OpenMessage(withCount(0xFFFFFFFFu)), "Incorrect number of pulses by 4294967292");
  }
  // No data at all.
  EXPECT_EQ(OpenMessage(RleFile({}, Counting(5))), "Incorrect number of pulses by 5");
  EXPECT_EQ(OpenMessage(RleFile({}, Counting(0))), "");
}

TEST(CswPulses, LongPulsesAndLengthsBeyond32Bits) {
  const std::vector<uint32_t> pulses = {0xFFFFFFFFu, 255, 256, 1, 0xFFFFFFFFu, 0x80000000u};
  for (const std::string& bytes :
       {RleFile(pulses, Counting(pulses.size())), ZRleFile(pulses, Counting(pulses.size()))}) {
    Opened file(bytes);
    CSWSound& sound = *file.sound;
    // The sum is kept whole; the 32-bit fields stop at their largest values.
    EXPECT_EQ(sound.TotalPulseLength(), Sum(pulses));
    EXPECT_EQ(sound.TotalLength, INT32_MAX);
    EXPECT_EQ(sound.NextPulse(), 0xFFFFFFFFu);
    EXPECT_EQ(sound.ProgressPercent(), 40);  // 2^32 - 1 of 10.7 x 10^9
    EXPECT_EQ(sound.Position, 0xFFFFFFFFu);
    EXPECT_EQ(sound.NextPulse(), 255u);
    EXPECT_EQ(sound.Position, 0xFFFFFFFFu);
    ReadAll(sound);
    EXPECT_EQ(sound.ProgressPercent(), 100);
  }
}

TEST(CswPulses, ZeroLengthPulseReadsAsTheEnd) {
  // A long pulse of length 0 is returned as 0, as the end is: the first pass stops there.
  Opened file(RleFile({10, 0, 20}, Counting(3)));
  EXPECT_EQ(file.sound->TotalLength, 10);
  EXPECT_EQ(file.sound->NextPulse(), 10u);
  EXPECT_EQ(file.sound->NextPulse(), 0u);
}

// --- Header ---------------------------------------------------------------------------------

struct Refusal {
  const char* what;
  std::string bytes;
  std::string message;
};

TEST(CswHeader, RefusesEveryMalformedHeaderWithItsMessage) {
  const std::string good = RleFile({5, 6}, Counting(2));
  auto patched = [&good](size_t at, const std::string& bytes) {
    std::string file = good;
    file.replace(at, bytes.size(), bytes);
    return file;
  };
  auto withHeader = [](Header header) { return CswHeader(header) + Rle({5, 6}); };
  Header v101 = Counting(2);
  v101.major = 1;
  v101.minor = 1;
  Header v30 = Counting(2);
  v30.major = 3;
  Header rate0 = Counting(2);
  rate0.rate = 0;
  Header noCompression = Counting(2);
  noCompression.compression = 0;
  Header compression3 = Counting(2);
  compression3.compression = 3;
  Header text20 = Counting(2);
  text20.flags = 0x04;
  Header bit7in20 = Counting(2);
  bit7in20.flags = 0x81;

  const std::vector<Refusal> refusals = {
      {"empty", "", "File reading error"},
      {"short signature", good.substr(0, 10), "File reading error"},
      {"wrong signature", patched(0, "c"), "Doesn't appear to be a valid CSW file"},
      {"no terminator", good.substr(0, 22), "File reading error"},
      {"wrong terminator", patched(22, "\x1B"), "Doesn't appear to be a valid CSW file"},
      {"version 1.01", withHeader(v101), "Not a supported version of CSW file format"},
      {"version 3.0", withHeader(v30), "Not a supported version of CSW file format"},
      {"cut in the sample rate", good.substr(0, 27), "File reading error"},
      {"cut in the pulse count", good.substr(0, 31), "File reading error"},
      {"sample rate 0", withHeader(rate0), "Sampling rate is 0"},
      {"compression 0", withHeader(noCompression), "Not a supported compression type"},
      {"compression 3", withHeader(compression3), "Not a supported compression type"},
      {"flag 0x04 in 2.0", withHeader(text20), "Flags bits 1 to 7 are not 0"},
      {"flag 0x80 in 2.0", withHeader(bit7in20), "Flags bits 1 to 7 are not 0"},
      {"cut in the application", good.substr(0, 40), "File reading error"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.what);
    EXPECT_EQ(OpenMessage(refusal.bytes), refusal.message);
  }
}

std::string Record(uint8_t type, const std::string& content) {
  return std::string{static_cast<char>(type), static_cast<char>(content.size())} + content;
}

std::string Extension(uint8_t records, const std::string& content) {
  return std::string(1, static_cast<char>(records)) + content;
}

TEST(CswHeader, FlagsOfVersion21AndTheHeaderExtension) {
  const std::vector<uint32_t> pulses = {7, 300, 9};
  Header header = Counting(3);
  header.minor = 1;
  header.flags = 0x05;
  header.extension = Extension(2, Record(9, "skip me") + Record(2, "Recorded by hand"));
  for (const std::string& bytes : {RleFile(pulses, header), ZRleFile(pulses, header)}) {
    Opened file(bytes);
    EXPECT_EQ(file.sound->MinorVersion(), 1);
    EXPECT_TRUE(file.sound->InitialPolarityHigh());
    EXPECT_EQ(file.sound->EncodingApplication(), "Tester");
    EXPECT_EQ(file.sound->ExtensionText(), "Recorded by hand");
    EXPECT_EQ(ReadAll(*file.sound), pulses);
  }
  // Flag bits other than 2 are allowed in 2.1 as well.
  Header bits = Counting(3);
  bits.minor = 1;
  bits.flags = 0xFA;
  EXPECT_EQ(OpenMessage(RleFile(pulses, bits)), "");
}

TEST(CswHeader, ExtensionRecordsMustAddUp) {
  const std::string bad = "Doesn't appear to have a valid header extention";
  auto open = [](const std::string& extension, uint8_t flags = 0x04) {
    Header header = Counting(2);
    header.minor = 1;
    header.flags = flags;
    header.extension = extension;
    return OpenMessage(RleFile({5, 6}, header));
  };
  EXPECT_EQ(open(Extension(1, Record(7, "abc"))), "");
  EXPECT_EQ(open(Extension(2, Record(7, "abc") + Record(2, "text"))), "");
  EXPECT_EQ(open(Extension(1, Record(2, ""))), "");

  EXPECT_EQ(open(std::string(1, '\0')), bad);                           // 1 byte
  EXPECT_EQ(open(std::string(2, '\0')), bad);                           // 2 bytes
  EXPECT_EQ(open(Extension(2, Record(7, "abc"))), bad);                 // fewer records than said
  EXPECT_EQ(open(Extension(0, Record(7, "abc"))), bad);                 // more records than said
  EXPECT_EQ(open(Extension(1, Record(7, "abc") + "x")), bad);           // one byte left over
  EXPECT_EQ(open(Extension(1, Record(7, "abc") + "xy")), bad);          // a second record too long
  EXPECT_EQ(open(Extension(1, std::string{7, 9} + "abc")), bad);        // a record past the end
  EXPECT_EQ(open(Extension(1, Record(2, "text")), 0x00), bad);          // text not allowed
  EXPECT_EQ(open(Extension(2, Record(2, "a") + Record(2, "b"))), bad);  // two texts
  EXPECT_EQ(open(Extension(2, Record(2, "") + Record(2, "b"))), bad);   // even an empty one

  // Records that run to the end of the file.
  Header cut = Counting(0);
  cut.minor = 1;
  cut.extension = Extension(1, Record(7, std::string(20, 'r')));
  EXPECT_EQ(OpenMessage(CswHeader(cut).substr(0, 52 + 5)), "File reading error");
}

TEST(CswHeader, TruncatedAnywhereIsRefusedWithAMessage) {
  Header header = Counting(4);
  header.minor = 1;
  header.flags = 0x04;
  header.extension = Extension(1, Record(2, "text"));
  const std::string full = RleFile({1, 2, 1000, 3}, header);
  for (size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::string message = OpenMessage(full.substr(0, length));
    EXPECT_TRUE(message == "File reading error" ||
                message.rfind("Incorrect number of pulses by ", 0) == 0)
        << message;
  }
}

TEST(CswHeader, MissingFileSecondOpenAndReopening) {
  TempFolder folder;
  CSWSound sound;
  try {
    sound.Open(folder / "none.csw");
    FAIL() << "opened a missing file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "Could not open " + (folder / "none.csw"));
  }
  WriteFile(folder / "a.csw", RleFile({3, 4}, Counting(2)));
  WriteFile(folder / "b.csw", ZRleFile({5, 6, 7}, Counting(3)));
  sound.Open(folder / "a.csw");
  EXPECT_EQ(sound.NextPulse(), 3u);
  try {
    sound.Open(folder / "b.csw");
    FAIL() << "opened a second file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "A CSW file is already open");
  }
  EXPECT_EQ(sound.NextPulse(), 4u);
  EXPECT_FALSE(sound.Close());
  EXPECT_EQ(sound.NextPulse(), 0u);  // nothing open: nothing comes
  sound.Open(folder / "b.csw");
  EXPECT_EQ(ReadAll(sound), (std::vector<uint32_t>{5, 6, 7}));
  EXPECT_FALSE(sound.Close());
  sound.Open(folder / "a.csw");
  EXPECT_EQ(ReadAll(sound), (std::vector<uint32_t>{3, 4}));
}

// --- Rewind and phase -------------------------------------------------------------------------

TEST(CswReading, RewindStartsAgainAtTheFirstPulse) {
  const auto pulses = MixedPulses(5000, 7);
  for (const std::string& bytes :
       {RleFile(pulses, Counting(pulses.size())), ZRleFile(pulses, Counting(pulses.size()))}) {
    Opened file(bytes);
    for (int i = 0; i < 3000; ++i)
      file.sound->NextPulse();
    file.sound->Rewind();
    EXPECT_EQ(file.sound->Position, 0u);
    EXPECT_EQ(file.sound->CountedPulses, 0u);
    EXPECT_EQ(ReadAll(*file.sound), pulses);
    file.sound->Rewind();
    EXPECT_FALSE(file.sound->AtEnd());
    EXPECT_EQ(ReadAll(*file.sound), pulses);
  }
}

TEST(CswReading, CursorGivesWhatNextPulseGivesWithTheSameCounts) {
  // Read side by side: one source through NextPulse, the other through cursors that each take
  // a stretch of pulses (from 1 to a few thousand, across windows and file buffers), with the
  // counts compared whenever a cursor has gone.
  auto pulses = MixedPulses(200000, 23);
  pulses.push_back(0xFFFFFFFFu);  // beyond 32 bits: Position stops at its largest value
  pulses.push_back(7);
  for (const std::string& bytes :
       {RleFile(pulses, Counting(pulses.size())), ZRleFile(pulses, Counting(pulses.size()))}) {
    Opened one(bytes);
    Opened many(bytes);
    EXPECT_EQ(many.sound->TotalPulseLength(), Sum(pulses));
    size_t stretch = 1;
    bool ended = false;
    while (!ended) {
      {
        CSWSound::PulseCursor cursor(*many.sound);
        for (size_t i = 0; i < stretch; ++i) {
          const uint32_t expected = one.sound->NextPulse();
          ASSERT_EQ(cursor.Next(), expected);
          ended = ended || expected == 0;
        }
      }
      ASSERT_EQ(many.sound->Position, one.sound->Position);
      ASSERT_EQ(many.sound->CountedPulses, one.sound->CountedPulses);
      ASSERT_EQ(many.sound->ProgressPercent(), one.sound->ProgressPercent());
      ASSERT_EQ(many.sound->AtEnd(), one.sound->AtEnd());
      stretch = stretch * 7 % 4099 + 1;
    }
    EXPECT_EQ(many.sound->CountedPulses, pulses.size());
    EXPECT_TRUE(many.sound->AtEnd());
    // Rewound, a cursor starts again at the first pulse.
    many.sound->Rewind();
    CSWSound::PulseCursor cursor(*many.sound);
    EXPECT_EQ(cursor.Next(), pulses[0]);
    EXPECT_EQ(cursor.Next(), pulses[1]);
  }
}

TEST(CswReading, CursorStopsAtAZeroLengthPulseAndAtFaults) {
  {
    Opened file(ZRleFile({10, 0, 20}, Counting(3)));
    CSWSound::PulseCursor cursor(*file.sound);
    EXPECT_EQ(cursor.Next(), 10u);
    EXPECT_EQ(cursor.Next(), 0u);
    EXPECT_EQ(cursor.Next(), 0u);
  }
  // A long pulse cut off by the end of the inflated data: the cursor raises what NextPulse
  // raises, and the pulses before it have been counted.
  std::vector<uint32_t> pulses(3000, 9);
  const std::string rle = Rle(pulses) + std::string("\0\x10", 2);
  Header header = Counting(pulses.size() + 1);
  header.compression = 2;
  TempFolder folder;
  WriteFile(folder / "cut.csw", CswHeader(header) + Deflate(rle, 9));
  CSWSound sound;
  std::string raised = "(nothing)";
  try {
    sound.Open(folder / "cut.csw");
  } catch (const std::runtime_error& failure) {
    raised = failure.what();
  }
  EXPECT_EQ(raised, "Unexpected end of file");
  EXPECT_EQ(sound.CountedPulses, pulses.size());
  EXPECT_EQ(sound.Position, 9u * pulses.size());
  sound.Close();
}

TEST(CswReading, PhaseAlignmentDropsTheFirstPulseWhereNeeded) {
  const std::vector<uint32_t> pulses = {11, 22, 33, 44};
  struct Case {
    bool pulseInput;
    bool noPhaseShift;  // true without -p
    bool initialHigh;
    uint32_t first;
  };
  const std::vector<Case> cases = {
      {true, true, false, 22},  {true, true, true, 11},    // without -p: start high
      {true, false, false, 11}, {true, false, true, 22},   // with -p: start low
      {false, true, false, 11}, {false, false, true, 11},  // not the driver's input
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pulseInput) + std::to_string(c.noPhaseShift) +
                 std::to_string(c.initialHigh));
    Header header = Counting(pulses.size());
    header.flags = static_cast<uint8_t>(c.initialHigh ? 1 : 0);
    for (const std::string& bytes : {RleFile(pulses, header), ZRleFile(pulses, header)}) {
      Opened file(bytes, c.pulseInput, c.noPhaseShift);
      EXPECT_EQ(file.sound->NextPulse(), c.first);
      EXPECT_FALSE(file.sound->Close());
      EXPECT_FALSE(file.sound->PulseInput);
      EXPECT_FALSE(file.sound->NoPhaseShift);
    }
  }
}

// --- Z-RLE --------------------------------------------------------------------------------------

TEST(CswZRle, InflatedDataAcrossManyWindowsMatchesRle) {
  const auto pulses = MixedPulses(30000, 99);
  ASSERT_GT(Rle(pulses).size(), 10u * CSWSound::kBufferSize);
  const Header header = Counting(pulses.size());
  ExpectPulses(RleFile(pulses, header), pulses);
  for (int level : {0, 1, 9}) {
    SCOPED_TRACE(level);
    ExpectPulses(ZRleFile(pulses, header, level), pulses);
  }
  // Stored blocks of awkward sizes, so that blocks, reads and windows all end apart.
  Header zrle = header;
  zrle.compression = 2;
  ExpectPulses(CswHeader(zrle) + StoredZlib(Rle(pulses), 0, 777), pulses);
}

TEST(CswZRle, OutputStillHeldByZlibAfterTheLastReadIsDelivered) {
  // Compresses to far less than one read: everything inflated comes after the file's end.
  const std::vector<uint32_t> pulses(300000, 5);
  ExpectPulses(ZRleFile(pulses, Counting(pulses.size())), pulses);
}

// All that zlib makes of a stream, in one call with room for everything.
std::string InflateAll(const std::string& packed, size_t room) {
  z_stream stream{};
  EXPECT_EQ(inflateInit(&stream), Z_OK);
  std::string out(room, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = uInt(packed.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = uInt(out.size());
  inflate(&stream, Z_SYNC_FLUSH);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return out;
}

TEST(CswZRle, StreamCutShortDeliversEverythingZlibCanMakeOfIt) {
  // Once the file's last byte has gone into inflate, zlib may still hold the rest of a long
  // repeat: it must be asked for it before the data is declared ended. Cut after every byte,
  // the end of some repeat falls in a later window than the byte that encoded it.
  const std::string full = Deflate(std::string(60000, '\x05'), 9);
  for (size_t length = 3; length < full.size(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::string cut = full.substr(0, length);
    const std::string inflated = InflateAll(cut, 60000);
    Header zrle = Counting(inflated.size());
    zrle.compression = 2;
    ExpectPulses(CswHeader(zrle) + cut, std::vector<uint32_t>(inflated.size(), 5));
  }
}

TEST(CswZRle, LongPulseClosingTheDataAtAWindowBoundary) {
  // The long pulse's zero byte at every place around the end of the first and second window,
  // the data ending with its four length bytes, or followed by more pulses.
  for (size_t start : {2040u, 2042u, 2043u, 2044u, 2045u, 2046u, 2047u, 2048u, 4091u}) {
    for (bool more : {false, true}) {
      SCOPED_TRACE(std::to_string(start) + (more ? " more" : ""));
      std::vector<uint32_t> pulses(start, 9);
      pulses.push_back(70000);
      if (more)
        pulses.insert(pulses.end(), {12, 13});
      ExpectPulses(ZRleFile(pulses, Counting(pulses.size())), pulses);
      Header zrle = Counting(pulses.size());
      zrle.compression = 2;
      ExpectPulses(CswHeader(zrle) + StoredZlib(Rle(pulses)), pulses);
    }
  }
}

TEST(CswZRle, LastReadHoldingOnlyTheChecksum) {
  // Stored zlib data of n bytes is n + 11 bytes long: the last read of the file gets only 1 to
  // 4 bytes of the checksum, which inflate to nothing.
  for (size_t tail = 1; tail <= 4; ++tail) {
    SCOPED_TRACE(tail);
    const size_t dataLength = 2 * CSWSound::kBufferSize + tail - 11;
    std::vector<uint32_t> pulses(dataLength - 5, 3);
    pulses.push_back(1000);
    Header zrle = Counting(pulses.size());
    zrle.compression = 2;
    const std::string stream = StoredZlib(Rle(pulses));
    ASSERT_EQ(stream.size() % CSWSound::kBufferSize, tail);
    ExpectPulses(CswHeader(zrle) + stream, pulses);
  }
}

TEST(CswZRle, ReadsOnThroughInputThatInflatesToNothing) {
  // 1000 empty blocks: the first reads give inflate no output at all.
  const std::vector<uint32_t> pulses = {4, 5, 600, 7};
  Header zrle = Counting(pulses.size());
  zrle.compression = 2;
  ExpectPulses(CswHeader(zrle) + StoredZlib(Rle(pulses), 1000), pulses);
}

TEST(CswZRle, TruncatedOrDamagedStreams) {
  const auto pulses = MixedPulses(4000, 3);
  const Header header = Counting(pulses.size());
  const std::string full = ZRleFile(pulses, header, 6);
  const size_t dataStart = 52;
  ASSERT_GT(full.size(), dataStart + 2 * CSWSound::kBufferSize);
  for (size_t length = dataStart; length < full.size(); length += 97) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::string message = OpenMessage(full.substr(0, length));
    EXPECT_TRUE(message == "Unexpected end of file" || message == "Decompressing CSW file error" ||
                (message.rfind("Incorrect number of pulses by ", 0) == 0 &&
                 std::stoll(message.substr(30)) > 0))
        << message;
  }
  // Without the checksum every pulse is there: the data is read as far as it goes.
  ExpectPulses(full.substr(0, full.size() - 4), pulses);
  // Cut inside a long pulse's length.
  const std::vector<uint32_t> longLast = {5, 5, 70000};
  Header three = Counting(3);
  three.compression = 2;
  EXPECT_EQ(OpenMessage(CswHeader(three) + StoredZlib(Rle(longLast).substr(0, 4))),
            "Unexpected end of file");
  // Not a zlib stream, or one damaged on the way.
  EXPECT_EQ(OpenMessage(CswHeader(three) + "not zlib data at all"), "Decompressing CSW file error");
  std::string damaged = full;
  for (size_t i = 300; i < 340; ++i)
    damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  const std::string message = OpenMessage(damaged);
  EXPECT_FALSE(message.empty());
  // An RLE file cut inside a long pulse's length, or after whole pulses.
  EXPECT_EQ(OpenMessage(RleFile({5, 5, 70000}, Counting(3)).substr(0, 52 + 4)),
            "File reading error");
  EXPECT_EQ(OpenMessage(RleFile({5, 5, 70000}, Counting(3)).substr(0, 52 + 2)),
            "Incorrect number of pulses by 1");
}

// A small file that inflates to a great many pulses: decoded through the fixed buffers, its
// count then checked. Memory must not grow with what the stream inflates to.
TEST(CswZRle, HugeInflatedDataInFixedMemory) {
  const size_t inflated = size_t(48) << 20;
  z_stream stream{};
  ASSERT_EQ(deflateInit(&stream, 9), Z_OK);
  const std::string ones(1 << 16, '\x01');
  std::string packed;
  char out[1 << 16];
  for (size_t given = 0; given < inflated;) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(ones.data()));
    stream.avail_in = uInt(ones.size());
    given += ones.size();
    const int flush = given < inflated ? Z_NO_FLUSH : Z_FINISH;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(out);
      stream.avail_out = sizeof out;
      deflate(&stream, flush);
      packed.append(out, sizeof out - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  ASSERT_LT(packed.size(), inflated / 500);

  Header header = Counting(1000);
  header.compression = 2;
  const long long before = TestSupport::PeakMemoryKilobytes();
  EXPECT_EQ(OpenMessage(CswHeader(header) + packed),
            "Incorrect number of pulses by " + std::to_string(1000 - int64_t(inflated)));
  EXPECT_LT(TestSupport::PeakMemoryKilobytes() - before, 16 * 1024);
}

// --- Whole runs -------------------------------------------------------------------------------

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i)
    data[i] = static_cast<uint8_t>((i * 13) ^ seed);
  return data;
}

// The image's chunks after its origin chunks (identifier 0), which name the input format.
std::vector<TestSupport::Chunk> DecodedChunks(const std::string& image) {
  std::vector<TestSupport::Chunk> chunks;
  for (const auto& chunk : TestSupport::ParseChunks(image)) {
    if (chunk.id != 0x0000)
      chunks.push_back(chunk);
  }
  return chunks;
}

TEST(SoundFormatsEndToEnd, SameTapeAsRawWavAndCswGivesTheSameBlocks) {
  const std::vector<TapeBuilder_ns::FileSpec> files = {{"LOADER", 0x1900, 0x8023, Data(600, 1)},
                                                       {"MAIN", 0x3000, 0x3000, Data(1100, 2)}};
  const auto tape = TapeBuilder_ns::StandardTape(files);
  TempFolder folder;
  TapeBuilder_ns::WriteRaw(folder / "tape.raw",
                           TapeBuilder_ns::RenderSamples(tape, TapeBuilder_ns::RenderOptions{}),
                           true);
  TapeBuilder_ns::WriteWav(folder / "tape.wav",
                           TapeBuilder_ns::RenderSamples(tape, TapeBuilder_ns::RenderOptions{}),
                           44100);
  const auto pulses = TapeBuilder_ns::RenderPulses(tape, 44100);
  TapeBuilder_ns::WriteCsw(folder / "rle.csw", pulses, 44100, TapeBuilder_ns::CswCompression::Rle);
  TapeBuilder_ns::WriteCsw(folder / "zrle.csw", pulses, 44100,
                           TapeBuilder_ns::CswCompression::ZRle);

  std::vector<std::string> expectedBlocks;
  for (const auto& file : files) {
    for (const auto& block :
         TapeBuilder_ns::FileBlocks(file.name, file.load, file.exec, file.data)) {
      const auto bytes = TapeBuilder_ns::BlockBytes(block);
      expectedBlocks.emplace_back(bytes.begin(), bytes.end());
    }
  }

  std::vector<TestSupport::Chunk> reference;
  for (const char* name : {"tape.raw", "tape.wav", "rle.csw", "zrle.csw"}) {
    SCOPED_TRACE(name);
    const auto result = TestSupport::RunVarnstow(folder.Path(), {"-i", name, "-c"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.errors, "");
    const std::string image =
        ReadFile(folder / (std::string(name).substr(0, std::string(name).find('.')) + ".uef"));
    const auto chunks = DecodedChunks(image);
    std::vector<std::string> blocks;
    for (const auto& chunk : TestSupport::ChunksWithId(chunks, 0x0100))
      blocks.push_back(chunk.data);
    EXPECT_EQ(blocks, expectedBlocks);
    if (reference.empty()) {
      reference = chunks;
      continue;
    }
    ASSERT_EQ(chunks.size(), reference.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].id, reference[i].id);
      EXPECT_TRUE(chunks[i].data == reference[i].data) << "chunk " << i;
    }
  }
}

TEST(SoundFormatsEndToEnd, MalformedFilesEndTheRunWithTheirMessage) {
  TempFolder folder;
  WriteFile(folder / "bad.csw", RleFile({5, 6}, Counting(3)));
  auto result = TestSupport::RunVarnstow(folder.Path(), {"-i", "bad.csw", "-c"});
  EXPECT_NE(result.errors.find("Incorrect number of pulses by 1"), std::string::npos)
      << result.errors;
  EXPECT_FALSE(TestSupport::FileExists(folder / "bad.uef"));
  WriteFile(folder / "bad.wav", "RIFF");
  result = TestSupport::RunVarnstow(folder.Path(), {"-i", "bad.wav", "-c"});
  EXPECT_NE(result.errors.find("File reading error"), std::string::npos) << result.errors;
  EXPECT_FALSE(TestSupport::FileExists(folder / "bad.uef"));
}

}  // namespace
