// Writes the protected-style test tapes: UEF images of tapes whose loader reads more than the
// cassette filing system's blocks, as protected games' loaders do. Each tape holds a BASIC
// program that CHAIN"" loads and runs (*RUN LOADER), the loader's machine code in standard
// blocks (tests/emulator/loader.s, with a table of the steps it is to take appended), then what
// the loader reads itself: blocks of its own format, standard blocks read byte by byte (one
// with a bad header CRC), bytes framed 8N2, 8O1, 8E1 and 7E2, stretches at 300 baud, carrier
// tones running straight into bytes and bytes into tone, single bytes after blocks, a long
// stream without blocks, and gaps the loader times. The loader checks every checksum and
// prints LOADED, or the step that failed and why. scripts/protected-load-test.sh loads the
// tapes in the emulator, and the images that varnstow-tool recovers from their recordings.
//
// Usage: protected_tapes LOADER.bin FOLDER [--damaged | --wrong-parity]
// Writes FOLDER/NAME.uef for each tape and prints a line "NAME SECONDS" for each: how long the
// emulator takes to play the tape to its end. With --damaged, each image has one bit of the
// last bytes its loader reads turned over (its loader must find a bad sum); with
// --wrong-parity, its bytes with odd parity have even parity and the other way round (its
// loader must find a framing error).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/Tape_builder.h"
#include "uef/Wave_analysis.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Where the loader's code starts and runs (loader.s assembles it there).
constexpr uint32_t kLoaderAddress = 0x1900;
// The serial ULA reports carrier to the ACIA (DCD) when a tone has lasted this many bits.
constexpr uint64_t kCarrierBits = 240;

// The loader's steps (loader.s describes their arguments).
enum Step : uint8_t {
  kEnd = 0,
  kMode = 1,
  kFraming = 2,
  kCarrier = 3,
  kGap = 4,
  kSync = 5,
  kExpect = 6,
  kRead = 7,
  kSum = 8,
  kCustom = 9,
  kStandard = 10,
  kClear = 11,
};

// A framing of bytes on the tape, and the 6850's control register reading it at 1200 baud
// (divide by 16; by 64 for 300 baud).
struct Framing {
  unsigned dataBits;
  char parity;
  unsigned stopBits;
  uint8_t control;
  unsigned Bits() const { return 1 + dataBits + (parity == 'N' ? 0u : 1u) + stopBits; }
};
constexpr Framing k8N1{8, 'N', 1, 0x15};
constexpr Framing k8N2{8, 'N', 2, 0x11};
constexpr Framing k8O1{8, 'O', 1, 0x1D};
constexpr Framing k8E1{8, 'E', 1, 0x19};
constexpr Framing k7E2{7, 'E', 2, 0x01};
constexpr Framing k7O1{7, 'O', 1, 0x0D};

uint8_t At300Baud(uint8_t control) {
  return static_cast<uint8_t>((control & 0xFC) | 0x02);
}

void PutLe16(Bytes& out, unsigned value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

// Bytes that look like a program's: a fixed pseudo-random sequence for each seed.
Bytes Filler(size_t count, uint32_t seed, uint8_t below = 0) {
  Bytes bytes;
  uint32_t state = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < count; ++i) {
    state = state * 1103515245u + 12345u;
    uint8_t value = static_cast<uint8_t>(state >> 16);
    if (below != 0)
      value = static_cast<uint8_t>(value % below);
    bytes.push_back(value);
  }
  return bytes;
}

unsigned Sum(const Bytes& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes)
    sum += b;
  return sum & 0xFFFF;
}

Bytes WithSum(Bytes bytes) {
  PutLe16(bytes, Sum(bytes));
  return bytes;
}

// A protected-style tape being written: its chunks, the steps its loader takes, and how long
// the emulator takes to play it, counted in the bits it plays (at 1200 baud: tones a bit for
// two cycles, gaps 1200 bits a second, bytes four times as many bits at 300 baud; security
// cycles and base frequency changes take no time there).
class ProtectedTape {
 public:
  explicit ProtectedTape(std::string name) : name_(std::move(name)) {}

  const std::string& Name() const { return name_; }

  // Chunks.
  void Tone(uint32_t cycles) {
    toneStart_ = bits_;
    toneSinceRead_ = std::max<uint64_t>(toneSinceRead_, cycles / 2);
    while (cycles > 0) {
      const uint32_t part = std::min<uint32_t>(cycles, 65534);
      Bytes data;
      PutLe16(data, part);
      Chunk(0x0110, data);
      bits_ += part / 2;
      cycles -= part;
    }
  }
  void ToneSeconds(double seconds) { Tone(static_cast<uint32_t>(std::lround(seconds * 2400.0))); }
  void ToneWithDummyByte(uint16_t before, uint16_t after) {
    Bytes data;
    PutLe16(data, before);
    PutLe16(data, after);
    Chunk(0x0111, data);
    bits_ += uint64_t{before} / 2 + 10 + uint64_t{after} / 2;
  }
  void Gap(double seconds) {
    const float value = static_cast<float>(seconds);
    uint32_t raw = 0;
    std::memcpy(&raw, &value, sizeof raw);
    Bytes data;
    for (int i = 0; i < 4; ++i)
      data.push_back(static_cast<uint8_t>((raw >> (8 * i)) & 0xFF));
    Chunk(0x0116, data);
    bits_ += static_cast<uint64_t>(value * 1200.0f);
  }
  // A gap counted in half cycles of the high tone (1/2400 s).
  void IntegerGap(uint16_t halfCycles) {
    Bytes data;
    PutLe16(data, halfCycles);
    Chunk(0x0112, data);
    bits_ += uint64_t{halfCycles} / 2;
  }
  void Baud(unsigned baud) {
    Bytes data;
    PutLe16(data, baud);
    Chunk(0x0117, data);
    scale_ = baud == 300 ? 4 : 1;
  }
  void Data(const Bytes& bytes, const Framing& framing = k8N1) {
    Bytes data;
    if (framing.dataBits != 8 || framing.parity != 'N' || framing.stopBits != 1) {
      data.push_back(static_cast<uint8_t>(framing.dataBits));
      data.push_back(static_cast<uint8_t>(framing.parity));
      data.push_back(static_cast<uint8_t>(framing.stopBits));
    }
    data.insert(data.end(), bytes.begin(), bytes.end());
    Chunk(data.size() == bytes.size() ? 0x0100 : 0x0104, data);
    bits_ += bytes.size() * framing.Bits() * scale_;
    lastRead_ = bits_;
    toneSinceRead_ = 0;
  }
  // Security cycles: "1" a high-tone cycle, "0" a low one; with halfEnds the first and last
  // are half cycles.
  void Security(const std::string& cycles, bool halfEnds) {
    Bytes data;
    data.push_back(static_cast<uint8_t>(cycles.size() & 0xFF));
    data.push_back(static_cast<uint8_t>((cycles.size() >> 8) & 0xFF));
    data.push_back(0);
    data.push_back(halfEnds ? 'P' : 'W');
    data.push_back(halfEnds ? 'P' : 'W');
    data.resize(5 + (cycles.size() + 7) / 8, 0);
    for (size_t i = 0; i < cycles.size(); ++i) {
      if (cycles[i] == '1')
        data[5 + i / 8] = static_cast<uint8_t>(data[5 + i / 8] | (0x80u >> (i % 8)));
    }
    Chunk(0x0114, data);
  }
  // A base frequency other than 1200 Hz: the emulator plays bits, whatever their frequency.
  void BaseFrequency(float hz) {
    uint32_t raw = 0;
    std::memcpy(&raw, &hz, sizeof raw);
    Bytes data;
    for (int i = 0; i < 4; ++i)
      data.push_back(static_cast<uint8_t>((raw >> (8 * i)) & 0xFF));
    Chunk(0x0113, data);
  }
  void Origin(const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    Chunk(0x0000, data);
  }
  // A file in the cassette filing system's blocks, with its carrier tones as the filing
  // system writes them (shortened).
  void File(const std::string& name, uint32_t load, uint32_t exec, const Bytes& bytes) {
    bool first = true;
    for (const auto& block : TapeBuilder_ns::FileBlocks(name, load, exec, bytes)) {
      if (first)
        ToneWithDummyByte(2400, 2400);
      else
        Tone(1440);
      first = false;
      Data(TapeBuilder_ns::BlockBytes(block));
    }
  }

  // Steps of the loader.
  void Steps(std::initializer_list<unsigned> bytes) {
    for (unsigned b : bytes)
      steps_.push_back(static_cast<uint8_t>(b));
  }
  void Mode(const Framing& framing, unsigned baud = 1200) {
    Steps({kMode, baud == 300 ? At300Baud(framing.control) : framing.control});
  }
  void SwitchFraming(const Framing& framing) { Steps({kFraming, framing.control}); }
  // Waits for the carrier of the tone last written.
  void WaitForCarrier() {
    Steps({kCarrier});
    lastRead_ = toneStart_ + kCarrierBits;
    toneSinceRead_ = 0;
  }
  void Read(unsigned address, size_t length) {
    Steps({kRead, address & 0xFF, address >> 8, static_cast<unsigned>(length & 0xFF),
           static_cast<unsigned>(length >> 8)});
  }

  // A gap and a carrier tone whose wait the loader times (it then reads what follows the tone),
  // from the last byte it read (or the carrier it waited for) to the moment the ACIA reports the
  // carrier, within a quarter either way.
  void TimedGap(double gapSeconds, double toneSeconds) {
    if (toneSinceRead_ >= kCarrierBits)
      throw std::logic_error("the carrier before the timed gap would be found first");
    const uint64_t from = lastRead_;
    Gap(gapSeconds);
    const double wait = static_cast<double>(bits_ - from + kCarrierBits) / 1200.0;
    const unsigned least = static_cast<unsigned>(wait * 100.0 * 0.75);
    const unsigned most = static_cast<unsigned>(wait * 100.0 * 1.25);
    Steps({kGap, least & 0xFF, least >> 8, most & 0xFF, most >> 8});
    ToneSeconds(toneSeconds);
  }

  // A block of the loader's own: sync, number, address, length, check byte, data, sum.
  void CustomBlock(uint8_t sync, uint8_t number, unsigned address, const Bytes& data,
                   const Framing& framing = k8N1) {
    Bytes bytes = {sync, number};
    PutLe16(bytes, address);
    PutLe16(bytes, static_cast<unsigned>(data.size()));
    uint8_t check = 0x5A;
    for (size_t i = 1; i < bytes.size(); ++i)
      check = static_cast<uint8_t>(check ^ bytes[i]);
    bytes.push_back(check);
    Bytes body = WithSum(data);
    bytes.insert(bytes.end(), body.begin(), body.end());
    Data(bytes, framing);
    Steps({kCustom, sync, number});
  }

  // A cassette filing system block that the loader reads byte by byte; a protection block's
  // header CRC is made wrong.
  void StandardBlock(const TapeBuilder_ns::BlockSpec& block, bool protection) {
    Bytes bytes = TapeBuilder_ns::BlockBytes(block);
    if (protection)
      bytes[1 + block.name.size() + 1 + TapeBuilder_ns::kHeaderLength] ^= 0x5A;
    Data(bytes);
    Steps({kStandard, protection ? 1u : 0u});
  }

  // How an image is spoilt, to show that the loader's checks fail.
  enum class Spoilt { kNot, kDamaged, kWrongParity };

  // Writes the image: the BASIC program, the loader with its steps, then the loader's tape.
  // A damaged image has one bit of the last bytes the loader reads turned over; one with the
  // wrong parity has 'O' for 'E' and 'E' for 'O' in its chunks 0x0104.
  void Write(const std::string& path, const Bytes& loaderCode, Spoilt spoilt = Spoilt::kNot) {
    Bytes loader = loaderCode;
    loader.insert(loader.end(), steps_.begin(), steps_.end());
    loader.push_back(kEnd);
    ProtectedTape start(name_);
    start.Origin("Varnstow protected-style test tape " + name_);
    start.File(name_, 0xFFFF0E00, 0xFFFF802B, Basic("*RUN LOADER"));
    start.Tone(1200);
    start.Gap(1.0);
    start.File("LOADER", 0xFFFF0000 | kLoaderAddress, 0xFFFF0000 | kLoaderAddress, loader);

    std::vector<UefChunk> chunks = chunks_;
    if (spoilt == Spoilt::kDamaged) {
      for (auto chunk = chunks.rbegin(); chunk != chunks.rend(); ++chunk) {
        if (chunk->id == 0x0100 || chunk->id == 0x0104) {
          chunk->data[chunk->data.size() / 2] ^= 0x10;
          break;
        }
      }
    }
    if (spoilt == Spoilt::kWrongParity) {
      for (UefChunk& chunk : chunks) {
        if (chunk.id == 0x0104 && chunk.data[1] != 'N')
          chunk.data[1] = chunk.data[1] == 'O' ? 'E' : 'O';
      }
    }
    UEFFormat_ns::UEFFormatWriting image;
    image.OpenImage(path, 10, 0);
    for (const auto& chunk : start.chunks_)
      image.WriteChunk(chunk.id, static_cast<uint32_t>(chunk.data.size()), chunk.data.data());
    for (const auto& chunk : chunks)
      image.WriteChunk(chunk.id, static_cast<uint32_t>(chunk.data.size()), chunk.data.data());
    UEFFormat_ns::SaveImage(image, true);
    seconds_ = static_cast<double>(start.bits_ + bits_) / 1200.0;
  }

  double Seconds() const { return seconds_; }

 private:
  struct UefChunk {
    uint16_t id;
    Bytes data;
  };

  // A BASIC program of one line, 10, holding text that needs no tokens.
  static Bytes Basic(const std::string& text) {
    Bytes program = {0x0D, 0x00, 10, static_cast<uint8_t>(text.size() + 4)};
    for (char c : text)
      program.push_back(static_cast<uint8_t>(c));
    program.push_back(0x0D);
    program.push_back(0xFF);
    return program;
  }

  void Chunk(uint16_t id, const Bytes& data) { chunks_.push_back(UefChunk{id, data}); }

  std::string name_;
  std::vector<UefChunk> chunks_;
  Bytes steps_;
  uint64_t bits_ = 0;      // bits played so far, at 1200 baud
  uint64_t lastRead_ = 0;  // where the loader's last step ended: bytes read, carrier found
  uint64_t toneStart_ = 0;
  uint64_t toneSinceRead_ = 0;  // the longest tone since then
  unsigned scale_ = 1;
  double seconds_ = 0.0;
};

// Blocks: blocks of the loader's own format, standard blocks each followed by a single byte,
// a protection block with a bad header CRC, a block whose header is 8N1 and its body 8O1 with
// nothing between, security cycles about a tone, and timed gaps.
ProtectedTape BlocksTape() {
  ProtectedTape tape("BLOCKS");
  // The filing system stops the motor in the tone after the loader's last block.
  tape.ToneSeconds(1.0);
  tape.WaitForCarrier();
  tape.Mode(k8N1);
  tape.TimedGap(1.5, 1.0);
  tape.CustomBlock(0xC5, 1, 0x3000, Filler(256, 1));
  tape.Data({0x3C});
  tape.Steps({kExpect, 0x3C});
  tape.ToneSeconds(0.8);

  // A standard file read byte by byte, a byte after each block.
  const Bytes file = Filler(400, 2);
  uint8_t after = 0x81;
  for (const auto& block : TapeBuilder_ns::FileBlocks("DATA", 0x3200, 0x3200, file)) {
    tape.WaitForCarrier();
    tape.StandardBlock(block, false);
    tape.Data({after});
    tape.Steps({kExpect, after});
    after = static_cast<uint8_t>(after + 0x11);
    tape.ToneSeconds(0.7);
  }

  // The protection block: a header CRC that no filing system accepts.
  TapeBuilder_ns::BlockSpec protection;
  protection.name = "PROT";
  protection.load = 0x3400;
  protection.exec = 0x3400;
  protection.flag = TapeBuilder_ns::kFlagLastBlock;
  protection.data = Filler(64, 3);
  tape.WaitForCarrier();
  tape.StandardBlock(protection, true);
  tape.ToneSeconds(0.5);
  tape.Security("0", false);
  tape.Gap(0.8);
  tape.Security("1101", true);

  // Header 8N1, body 8O1, at once after it.
  tape.ToneSeconds(1.0);
  tape.WaitForCarrier();
  Bytes header = {0xD3};
  for (uint8_t b : WithSum({0x10, 0x20, 0x30, 0x40}))
    header.push_back(b);
  tape.Data(header);
  tape.Steps({kSync, 0xD3, kClear});
  tape.Read(0x3480, 4);
  tape.Steps({kSum});
  const Bytes body = WithSum(Filler(200, 4));
  tape.Data(body, k8O1);
  tape.SwitchFraming(k8O1);
  tape.Read(0x3500, 200);
  tape.Steps({kSum});
  // A tone too short for the ACIA to report carrier, then the gap.
  tape.ToneSeconds(0.15);

  tape.Mode(k8N2);
  tape.TimedGap(2.5, 1.2);
  tape.CustomBlock(0x96, 2, 0x3600, Filler(300, 5), k8N2);
  tape.ToneSeconds(1.0);
  return tape;
}

// Speeds and framings: a block of the loader's own and a stream framed 8E1 at 300 baud, 7-bit
// text with even parity and two stop bits whose sum follows at once in 8N1, bytes framed 8E1,
// and a stream that switches between 8N1 headers and 8N2 bodies with nothing between (as
// Fortress's does), with a gap counted in cycles that the loader times.
ProtectedTape SpeedsTape() {
  ProtectedTape tape("SPEEDS");
  tape.ToneSeconds(1.0);
  tape.WaitForCarrier();

  tape.Baud(300);
  tape.Mode(k8N1, 300);
  tape.Gap(0.5);
  tape.ToneSeconds(1.5);
  tape.WaitForCarrier();
  tape.CustomBlock(0xC5, 3, 0x3000, Filler(120, 6));
  tape.ToneSeconds(0.8);
  tape.Mode(k8E1, 300);
  tape.WaitForCarrier();
  Bytes stream = {0xE7};
  for (uint8_t b : WithSum(Filler(64, 7)))
    stream.push_back(b);
  tape.Data(stream, k8E1);
  tape.Steps({kSync, 0xE7, kClear});
  tape.Read(0x3100, 64);
  tape.Steps({kSum});
  tape.ToneSeconds(0.6);
  tape.Baud(1200);

  // 7E2 text, then its sum in 8N1.
  tape.Mode(k7E2);
  tape.Gap(0.7);
  tape.ToneSeconds(1.0);
  tape.WaitForCarrier();
  const std::string text =
      "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG, SEVEN BITS AT A TIME WITH EVEN PARITY "
      "AND TWO STOP BITS, AS SOME LOADERS READ THEIR TITLE PAGES.";
  Bytes textBytes = {0x55};
  for (char c : text)
    textBytes.push_back(static_cast<uint8_t>(c));
  tape.Data(textBytes, k7E2);
  tape.Steps({kSync, 0x55, kClear});
  tape.Read(0x3200, text.size());
  tape.SwitchFraming(k8N1);
  Bytes textSum;
  PutLe16(textSum, Sum(Bytes(textBytes.begin() + 1, textBytes.end())));
  tape.Data(textSum);
  tape.Steps({kSum});
  tape.ToneSeconds(0.9);

  tape.Mode(k8E1);
  tape.WaitForCarrier();
  const Bytes parity = Filler(40, 8);
  tape.Data(parity, k8E1);
  for (uint8_t b : parity)
    tape.Steps({kExpect, b});
  tape.ToneSeconds(0.15);

  // Headers 8N1 and bodies 8N2, back to back, after a gap counted in cycles.
  tape.Mode(k8N1);
  tape.IntegerGap(3600);
  tape.ToneSeconds(1.0);
  tape.WaitForCarrier();
  tape.Steps({kSync, 0xA9});
  unsigned address = 0x3300;
  for (uint8_t part = 1; part <= 4; ++part) {
    Bytes header = {part, static_cast<uint8_t>(0x40 + part)};
    if (part == 1)
      header.insert(header.begin(), 0xA9);
    tape.Data(header);
    tape.Steps({kExpect, part, kExpect, 0x40u + part});
    tape.SwitchFraming(k8N2);
    tape.Steps({kClear});
    const Bytes body = Filler(100u + 20u * part, 10u + part);
    tape.Data(WithSum(body), k8N2);
    tape.Read(address, body.size());
    tape.Steps({kSum});
    tape.SwitchFraming(k8N1);
    address += 0x100;
  }
  tape.ToneSeconds(1.0);
  return tape;
}

// Streams: carrier tones running straight into bytes and bytes straight into tone (as
// Uridium's do), single bytes after tones, a stretch at a base frequency 4% high, and a long
// stream without blocks framed 8O1 (as Starquake's is) after a timed gap.
ProtectedTape StreamsTape() {
  ProtectedTape tape("STREAMS");
  tape.ToneSeconds(1.0);
  tape.WaitForCarrier();
  tape.Mode(k8N1);
  tape.Gap(0.6);

  // Tone, bytes, tone, bytes, tone: nothing between.
  tape.ToneSeconds(1.5);
  unsigned address = 0x3000;
  for (size_t length : {700u, 300u, 45u}) {
    tape.WaitForCarrier();
    const Bytes bytes = Filler(length, static_cast<uint32_t>(20 + length));
    tape.Data(WithSum(bytes));
    tape.Read(address, length);
    tape.Steps({kSum});
    address += static_cast<unsigned>(length);
    tape.Tone(static_cast<uint32_t>(1201 + length));
  }
  for (const uint8_t single : Bytes{0x01, 0xFE, 0x7F}) {
    tape.WaitForCarrier();
    tape.Data({single});
    tape.Steps({kExpect, single});
    tape.Tone(997);
  }

  tape.BaseFrequency(1248.0f);
  tape.WaitForCarrier();
  tape.CustomBlock(0x3A, 4, 0x3800, Filler(200, 30));
  tape.ToneSeconds(0.1);
  tape.BaseFrequency(1200.0f);

  // The long stream, straight after its tone.
  tape.Mode(k8O1);
  tape.TimedGap(2.0, 1.1);
  const Bytes stream = Filler(8000, 31);
  tape.Data(WithSum(stream), k8O1);
  tape.Read(0x4000, stream.size());
  tape.Steps({kSum});
  tape.ToneSeconds(1.0);
  return tape;
}

}  // namespace

int main(int argc, char* argv[]) {
  ProtectedTape::Spoilt spoilt = ProtectedTape::Spoilt::kNot;
  if (argc == 4 && std::string(argv[3]) == "--damaged")
    spoilt = ProtectedTape::Spoilt::kDamaged;
  else if (argc == 4 && std::string(argv[3]) == "--wrong-parity")
    spoilt = ProtectedTape::Spoilt::kWrongParity;
  else if (argc != 3) {
    std::fprintf(stderr, "usage: protected_tapes LOADER.bin FOLDER [--damaged | --wrong-parity]\n");
    return 2;
  }
  try {
    std::ifstream in(argv[1], std::ios::binary);
    if (!in)
      throw std::runtime_error(std::string("cannot read ") + argv[1]);
    const Bytes loader((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string folder = argv[2];
    for (ProtectedTape tape : {BlocksTape(), SpeedsTape(), StreamsTape()}) {
      tape.Write(folder + "/" + tape.Name() + ".uef", loader, spoilt);
      std::printf("%s %.0f\n", tape.Name().c_str(), std::ceil(tape.Seconds()));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "protected_tapes: %s\n", error.what());
    return 1;
  }
  return 0;
}
