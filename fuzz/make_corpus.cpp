// Writes the seed corpora of the fuzz targets into the folder given (fuzz/corpus), one
// subfolder per target. The seeds are short generated tapes in each format and a few
// hand-made variants that reach the readers' other branches; they are committed, and this
// program shows how they were made.
//
// Usage: make_fuzz_corpus FOLDER
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "render/Tape_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace tb = TapeBuilder_ns;

std::filesystem::path root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::filesystem::path folder = root / target;
  std::filesystem::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void Write(const std::string& target, const std::string& name, const std::string& text) {
  Write(target, name, Bytes(text.begin(), text.end()));
}

void PutLe32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

// A short tape: a little carrier, the dummy byte, one block of a few bytes and a second,
// last block, then a little carrier and silence. About 0.9 seconds.
tb::Tape ShortTape() {
  tb::TapeWriter writer;
  writer.Gap(0.02).CarrierSeconds(0.05).DummyByte().CarrierSeconds(0.1);
  const auto blocks = tb::FileBlocks("SEED", 0x1900, 0x8023, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 6);
  for (const auto& block : blocks) {
    writer.Block(block).CarrierSeconds(0.05);
  }
  writer.Gap(0.02);
  return writer.Take();
}

std::vector<int8_t> Samples(uint32_t rate, double phaseDegrees = 0, double dcOffset = 0) {
  tb::RenderOptions options;
  options.sampleRate = rate;
  options.phaseDegrees = phaseDegrees;
  options.dcOffset = dcOffset;
  return tb::RenderSamples(ShortTape(), options);
}

Bytes SignedBytes(const std::vector<int8_t>& samples) {
  return Bytes(samples.begin(), samples.end());
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Chunk(const char (&id)[5], const Bytes& content) {
  Bytes chunk(id, id + 4);
  PutLe32(chunk, static_cast<uint32_t>(content.size()));
  chunk.insert(chunk.end(), content.begin(), content.end());
  if (content.size() % 2 != 0) {
    chunk.push_back(0);
  }
  return chunk;
}

Bytes Format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes format;
  format.push_back(static_cast<uint8_t>(tag));
  format.push_back(static_cast<uint8_t>(tag >> 8));
  format.push_back(static_cast<uint8_t>(channels));
  format.push_back(0);
  PutLe32(format, rate);
  PutLe32(format, rate * channels * bits / 8);
  format.push_back(static_cast<uint8_t>(channels * bits / 8));
  format.push_back(0);
  format.push_back(static_cast<uint8_t>(bits));
  format.push_back(0);
  return format;
}

Bytes Riff(const Bytes& chunks) {
  Bytes file{'R', 'I', 'F', 'F'};
  PutLe32(file, static_cast<uint32_t>(chunks.size() + 4));
  file.insert(file.end(), {'W', 'A', 'V', 'E'});
  return Concat(file, chunks);
}

void WavSeeds() {
  const auto samples = Samples(22050);
  std::vector<uint8_t> unsignedSamples;
  for (int8_t s : samples) {
    unsignedSamples.push_back(static_cast<uint8_t>(s + 128));
  }
  Write("wav", "plain.wav", tb::EncodeWav(samples, 22050));
  const Bytes format = Chunk("fmt ", Format(1, 1, 22050, 8));
  const Bytes data = Chunk("data", Bytes(unsignedSamples.begin(), unsignedSamples.begin() + 2001));
  // An odd-sized chunk before the data, and one after it.
  Write("wav", "chunks.wav",
        Riff(Concat(Concat(Chunk("LIST", Bytes{'I', 'N', 'F', 'O', 'x'}), format),
                    Concat(data, Chunk("note", Bytes{'t', 'a', 'i', 'l'})))));
  // The format chunk after the data.
  Write("wav", "format-last.wav", Riff(Concat(data, format)));
  Write("wav", "stereo16.wav",
        Riff(Concat(Chunk("fmt ", Format(1, 2, 44100, 16)), Chunk("data", Bytes(64, 0x80)))));
  Bytes longFormat = Format(1, 1, 8000, 8);
  longFormat.insert(longFormat.end(), {0, 0});
  Write("wav", "format18.wav",
        Riff(Concat(Chunk("fmt ", longFormat), Chunk("data", Bytes(300, 0x90)))));
}

void CswSeeds() {
  const auto train = tb::RenderPulses(ShortTape(), 22050);
  // The first byte of each seed is the fuzz target's own: PulseInput and NoPhaseShift.
  for (const auto compression : {tb::CswCompression::Rle, tb::CswCompression::ZRle}) {
    const Bytes file = tb::EncodeCsw(train.lengths, 22050, compression, train.initialHigh);
    const std::string name = compression == tb::CswCompression::Rle ? "rle" : "zrle";
    Write("csw", name + ".csw", Concat(Bytes{3}, file));
    Write("csw", name + "-p.csw", Concat(Bytes{1}, file));
  }
  // Version 2.1 with a header extension holding a text record, and a long pulse.
  Bytes header = tb::CswHeader(44100, 3, tb::CswCompression::Rle, true, "seed");
  header[0x18] = 1;     // minor version
  header[0x22] = 0x05;  // flags: polarity high, text allowed
  header[0x23] = 8;     // extension length
  Bytes file(header.begin(), header.end());
  file.insert(file.end(), {1, 2, 5, 'h', 'e', 'l', 'l', 'o'});
  tb::AppendCswPulse(file, 10);
  tb::AppendCswPulse(file, 300);
  tb::AppendCswPulse(file, 20);
  Write("csw", "extension.csw", Concat(Bytes{0}, file));
}

void RawSeeds() {
  const auto samples = Samples(11025);
  Write("raw", "signed.raw", Concat(Bytes{0}, SignedBytes(samples)));
  Bytes unsignedBytes{1};
  for (int8_t s : samples) {
    unsignedBytes.push_back(static_cast<uint8_t>(s + 128));
  }
  Write("raw", "unsigned.raw", unsignedBytes);
  Write("raw", "drift.raw", Concat(Bytes{0}, SignedBytes(Samples(8000, 0, 20))));
}

void CommandLineSeeds() {
  auto arguments = [](const std::vector<std::string>& words) {
    std::string joined;
    for (size_t i = 0; i < words.size(); ++i) {
      joined += (i > 0 ? std::string(1, '\0') : std::string()) + words[i];
    }
    return joined;
  };
  Write("command_line", "raw", arguments({"-i", "tape.raw", "-f", "48000", "-t", "u", "-c"}));
  Write("command_line", "card", arguments({"-o", "mytape", "-l", "p", "-b"}));
  Write("command_line", "signature", arguments({"-i", "a b.csw", "-g", "My", "name", "-p"}));
  Write("command_line", "clear-signature", arguments({"/I", "x.WAV", "-d", "-g"}));
  Write("command_line", "calibration", arguments({"-s", "2", "1300", "-i", "t.wav", "-oout"}));
  Write("command_line", "hex-rate", arguments({"-f0xAC44", "-iside.raw"}));
  Write("command_line", "usage", arguments({"-h"}));
}

void DecodeSeeds() {
  // Mode byte, rate, [calibration], sound.
  auto head = [](uint8_t mode, uint32_t rate) {
    Bytes bytes{mode};
    PutLe32(bytes, rate);
    return bytes;
  };
  Write("decode", "sign-12000", Concat(head(0, 12000), SignedBytes(Samples(12000))));
  Write("decode", "peak-12000", Concat(head(1, 12000), SignedBytes(Samples(12000, 90))));
  Write("decode", "sign-inverted", Concat(head(4, 11025), SignedBytes(Samples(11025, 180))));
  Bytes unsignedSamples = head(8, 8000);
  for (int8_t s : Samples(8000)) {
    unsignedSamples.push_back(static_cast<uint8_t>(s + 128));
  }
  Write("decode", "unsigned-8000", unsignedSamples);
  Bytes calibrated = head(16, 12000);
  calibrated.insert(calibrated.end(), {1, 0, 0xB0, 0x04});  // file 1 at 1200 baud
  Write("decode", "calibrated", Concat(calibrated, SignedBytes(Samples(12000))));
  const auto train = tb::RenderPulses(ShortTape(), 22050);
  Bytes pulses = head(2, 22050);
  for (size_t i = train.initialHigh ? 0 : 1; i < train.lengths.size(); ++i) {
    tb::AppendCswPulse(pulses, train.lengths[i]);
  }
  Write("decode", "pulses-22050", pulses);
}

Bytes UefChunk(uint16_t id, const Bytes& content) {
  Bytes chunk{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
  PutLe32(chunk, static_cast<uint32_t>(content.size()));
  return Concat(chunk, content);
}

Bytes Gzip(const Bytes& bytes) {
  z_stream stream{};
  // 15 window bits, plus 16 for a gzip wrapper.
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return {};
  }
  Bytes packed(deflateBound(&stream, static_cast<uLong>(bytes.size())));
  stream.next_in = const_cast<Bytef*>(bytes.data());
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = packed.data();
  stream.avail_out = static_cast<uInt>(packed.size());
  deflate(&stream, Z_FINISH);
  packed.resize(stream.total_out);
  deflateEnd(&stream);
  return packed;
}

void UefSeeds() {
  Bytes image{'U', 'E', 'F', ' ', 'F', 'i', 'l', 'e', '!', 0, 10, 0};
  const std::string origin = "seed";
  image = Concat(image, UefChunk(0x0000, Bytes(origin.begin(), origin.end() + 1)));
  image = Concat(image, UefChunk(0x0111, {0x60, 0x09, 0x80, 0x25}));
  const auto blocks = tb::FileBlocks("SEED", 0x1900, 0x8023, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 6);
  for (const auto& block : blocks) {
    image = Concat(image, UefChunk(0x0100, tb::BlockBytes(block)));
    image = Concat(image, UefChunk(0x0110, {0x60, 0x09}));
  }
  image = Concat(image, UefChunk(0x0116, {0x00, 0x00, 0x20, 0x41}));  // 10.0 seconds
  image = Concat(image, UefChunk(0x0113, {0x00, 0x00, 0x96, 0x44}));  // 1200.0 Hz
  image = Concat(image, UefChunk(0x0117, {0x2C, 0x01}));              // 300 baud
  image = Concat(image, UefChunk(0x0104, {8, 'E', 0xFF, 0x41, 0x42}));
  image = Concat(image, UefChunk(0x0112, {0x10, 0x00}));
  image = Concat(image, UefChunk(0x0114, {0x09, 0x00, 0x00, 'P', 'W', 0xA5, 0x80}));
  image = Concat(image, UefChunk(0x0102, {0xF0, 0x0F}));
  Write("uef", "chunks.uef", image);
  Write("uef", "chunks.uef.gz", Gzip(image));
  // A chunk whose length runs past the end of the image.
  Bytes cut = Concat(image, UefChunk(0x0100, {0x2A, 'X', 0}));
  cut[cut.size() - 7] = 0x40;
  Write("uef", "cut.uef", cut);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: make_fuzz_corpus FOLDER\n");
    return 2;
  }
  root = argv[1];
  WavSeeds();
  CswSeeds();
  RawSeeds();
  CommandLineSeeds();
  DecodeSeeds();
  UefSeeds();
  return 0;
}
