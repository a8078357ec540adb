// varnstow-tool list: what a UEF image holds, chunk by chunk, then file by file.

#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>

#include "blocks/Block_header.h"
#include "tool/Commands.h"
#include "tool/Uef_reader.h"

namespace Tool_ns {

namespace {

const char kListHelp[] =
    "Usage: varnstow-tool list IMAGE.uef\n"
    "\n"
    "Lists what a UEF tape image (gzip-compressed or plain; - reads standard input) holds: one\n"
    "line per chunk with its offset in the image, identifier, name, length and contents (for a\n"
    "data block: file name, block number, flags, data length and whether both checksums\n"
    "pass), then one line per file. A damaged image is listed up to the damage, which is\n"
    "reported with its offset; the exit status is then 1.\n"
    "\n"
    "Options:\n"
    "  -h, --help   show this text\n";

// The offset of a block's data from h, the position after its name's terminator.
using BlockProcessing_ns::kDataAt;
constexpr uint8_t kSyncByte = 0x2A;

std::string Printable(const uint8_t* bytes, size_t count, size_t longest) {
  std::string text;
  for (size_t i = 0; i < count && i < longest && bytes[i] != 0; ++i)
    text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '?';
  return text;
}

std::string Plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Seconds(double seconds) {
  std::ostringstream text;
  text << std::setprecision(4) << seconds << " s";
  return text.str();
}

// What a 0x0100 chunk holding one block tells.
struct BlockInfo {
  bool headerRead = false;  // the chunk holds the whole header
  std::string name;
  uint32_t load = 0;
  uint32_t exec = 0;
  uint16_t number = 0;
  uint8_t flag = 0;
  uint16_t length = 0;
  bool checksumsPass = false;
};

// One file as the blocks in the image show it.
struct FileInfo {
  std::string name;
  uint32_t load = 0;
  uint32_t exec = 0;
  std::vector<uint16_t> numbers;
  uint64_t bytes = 0;
  uint64_t badChecksums = 0;
  bool lastSeen = false;
};

class Lister {
 public:
  explicit Lister(std::ostream& out)
      : out_(out), buffer_(std::make_unique<BlockProcessing_ns::ByteBufferType>()) {}

  void Chunk(const UefChunk& chunk) {
    ++chunks_;
    out_ << OffsetText(chunk.offset) << "  0x" << Hex(chunk.id, 4) << "  " << std::left
         << std::setw(22) << ChunkName(chunk.id) << std::right << std::setw(8) << chunk.length;
    const std::string contents = Contents(chunk);
    if (!contents.empty())
      out_ << "  " << contents;
    out_ << '\n';
  }

  void Summary() {
    out_ << '\n'
         << Plural(chunks_, "chunk", "chunks") << ", " << Plural(blocks_, "block", "blocks")
         << " in " << Plural(files_.size(), "file", "files") << '\n';
    if (files_.empty())
      return;
    out_ << "\nfile        load      exec      blocks    bytes  state\n";
    for (const FileInfo& file : files_) {
      out_ << std::left << std::setw(10) << file.name << "  " << std::right << Hex(file.load, 8)
           << "  " << Hex(file.exec, 8) << std::setw(8) << file.numbers.size() << std::setw(9)
           << file.bytes << "  " << State(file) << '\n';
    }
  }

 private:
  std::string Contents(const UefChunk& chunk) {
    auto needs = [&](uint32_t length) { return chunk.length >= length; };
    switch (chunk.id) {
      case 0x0000:
      case 0x0001:
      case 0x0009:
      case 0x0120:
        return "\"" + Printable(chunk.data, chunk.length, 60) + "\"";
      case 0x0100:
        return Block(chunk);
      case 0x0104:
        if (!needs(3))
          return "too short";
        {
          const int stopBits = static_cast<int8_t>(chunk.Byte(2));
          return std::to_string(chunk.Byte(0)) + " data bits, parity " +
                 Printable(chunk.data + 1, 1, 1) + ", " +
                 Plural(static_cast<uint64_t>(std::abs(stopBits)), "stop bit", "stop bits") +
                 (stopBits < 0 ? " and a short wave" : "") + ", " +
                 Plural(chunk.length - 3, "byte", "bytes");
        }
      case 0x0102: {
        if (!needs(1))
          return "too short";
        const uint64_t bits = uint64_t{chunk.length - 1} * 8;
        return chunk.Byte(0) > 7 || chunk.Byte(0) > bits
                   ? std::to_string(chunk.Byte(0)) + " unused bits: damaged"
                   : Plural(bits - chunk.Byte(0), "bit", "bits");
      }
      case 0x0110:
        return needs(2) ? Plural(chunk.Le16(0), "cycle", "cycles") : "too short";
      case 0x0111:
        return needs(4) ? Plural(chunk.Le16(0), "cycle", "cycles") + ", dummy byte, " +
                              Plural(chunk.Le16(2), "cycle", "cycles")
                        : "too short";
      case 0x0112:
        return needs(2) ? Plural(chunk.Le16(0), "cycle", "cycles") + " of silence" : "too short";
      case 0x0113: {
        if (!needs(4))
          return "too short";
        std::ostringstream text;
        text << chunk.Float(0) << " Hz";
        return chunk.Float(0) == 0.0f ? "0 (no change)" : text.str();
      }
      case 0x0114:
        return needs(5) ? Plural(chunk.Le24(0), "cycle", "cycles") : "too short";
      case 0x0116:
        return needs(4) ? Seconds(static_cast<double>(chunk.Float(0))) : "too short";
      case 0x0117:
        return needs(2) ? std::to_string(chunk.Le16(0)) + " baud" : "too short";
      default:
        return "";
    }
  }

  std::string Block(const UefChunk& chunk) {
    if (chunk.length == 0 || chunk.Byte(0) != kSyncByte)
      return "no block";
    if (chunk.length > BlockProcessing_ns::ByteBufferType::kCapacity)
      return "no block (too long)";
    BlockProcessing_ns::ByteBufferType& buffer = *buffer_;
    buffer.Empty();
    std::copy(chunk.data, chunk.data + chunk.length, buffer.Bytes.begin());
    buffer.Fill = chunk.length;
    const BlockProcessing_ns::BlockHeaderRecord header =
        BlockProcessing_ns::ParseBlockHeader(buffer);
    const bool failed = header.Failed();
    const uint32_t h = header.HeaderOffset;

    BlockInfo block;
    block.name = Printable(chunk.data + 1, std::min<size_t>(h - 1, chunk.length - 1), 10);
    if (h + kDataAt > chunk.length)
      return "block " + block.name + ", cut short in its header";
    block.headerRead = true;
    block.load = header.LoadAddress;
    block.exec = header.ExecAddress;
    block.number = header.Number;
    block.flag = header.Flag;
    block.length = header.Length;
    block.checksumsPass = !failed;

    std::string text =
        "block " + block.name + " " + Hex(block.number, 2) + ", flags " + Hex(block.flag, 2);
    if ((block.flag & BlockProcessing_ns::kLastBlockFlag) != 0)
      text += " (last)";
    text += ", " + Plural(block.length, "byte", "bytes") + ", ";
    if (!failed) {
      text += "checksums ok";
    } else {
      if (!header.HeaderCrcMatches)
        text += "header checksum bad";
      else if (static_cast<uint64_t>(h) + kDataAt + block.length + 2 > chunk.length)
        text += "cut short in its data";
      else
        text += "data checksum bad";
    }
    Count(block);
    return text;
  }

  void Count(const BlockInfo& block) {
    ++blocks_;
    const bool startsFile = files_.empty() || files_.back().name != block.name ||
                            files_.back().lastSeen ||
                            (block.number == 0 && !files_.back().numbers.empty());
    if (startsFile) {
      files_.emplace_back();
      files_.back().name = block.name;
      files_.back().load = block.load;
      files_.back().exec = block.exec;
    }
    FileInfo& file = files_.back();
    file.numbers.push_back(block.number);
    file.bytes += block.length;
    file.badChecksums += block.checksumsPass ? 0 : 1;
    file.lastSeen = file.lastSeen || (block.flag & BlockProcessing_ns::kLastBlockFlag) != 0;
  }

  static std::string State(const FileInfo& file) {
    std::vector<std::string> problems;
    uint16_t expected = 0;
    std::string missing;
    size_t missingCount = 0;
    for (uint16_t number : file.numbers) {
      for (; expected < number; ++expected) {
        if (++missingCount <= 8)
          missing += " " + Hex(expected, 2);
      }
      if (number >= expected)
        expected = static_cast<uint16_t>(number + 1);
    }
    if (missingCount > 0)
      problems.push_back("missing" + missing + (missingCount > 8 ? " ..." : ""));
    if (!file.lastSeen)
      problems.push_back("no last block");
    if (file.badChecksums > 0)
      problems.push_back(Plural(file.badChecksums, "bad block", "bad blocks"));
    if (problems.empty())
      return "complete";
    std::string text;
    for (const std::string& problem : problems)
      text += (text.empty() ? "" : "; ") + problem;
    return text;
  }

  std::ostream& out_;
  std::unique_ptr<BlockProcessing_ns::ByteBufferType> buffer_;
  uint64_t chunks_ = 0;
  uint64_t blocks_ = 0;
  std::vector<FileInfo> files_;
};

}  // namespace

int ListCommand(const std::vector<std::string>& arguments, ToolStreams& io) {
  const ParsedArguments parsed(arguments, {{"help", false, 'h'}}, "list");
  if (parsed.Has("help")) {
    io.out << kListHelp;
    return 0;
  }
  if (parsed.Operands().size() != 1)
    throw UsageError("list needs one image to read (see 'varnstow-tool list --help')");
  const std::string& name = parsed.Operands()[0];
  const UefImage image = ReadUefImage(name, io.in);

  io.out << (name == "-" ? "standard input" : name) << ": UEF "
         << static_cast<unsigned>(image.majorVersion) << "." << std::setw(2) << std::setfill('0')
         << static_cast<unsigned>(image.minorVersion) << std::setfill(' ') << ", "
         << (image.compressed ? "gzip-compressed, " : "") << image.bytes.size() << " bytes\n\n";
  io.out << "offset    chunk   name                    length  contents\n";
  Lister lister(io.out);
  UefChunks chunks(image);
  UefChunk chunk;
  while (chunks.Next(chunk))
    lister.Chunk(chunk);
  lister.Summary();
  io.out.flush();
  if (!chunks.Damage().empty())
    throw ToolError("the image is damaged: " + chunks.Damage());
  return 0;
}

}  // namespace Tool_ns
