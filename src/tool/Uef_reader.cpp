#include "tool/Uef_reader.h"

#include <zlib.h>

#include <cstring>
#include <fstream>
#include <istream>
#include <vector>

#include "tool/Tool_support.h"

namespace Tool_ns {

namespace {

// Reads at most limit + 1 bytes, so that a file over the limit is seen to be one.
std::string ReadAtMost(std::istream& stream, size_t limit, const std::string& name) {
  std::string bytes;
  std::vector<char> buffer(1 << 16);
  while (bytes.size() <= limit) {
    stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<size_t>(stream.gcount());
    bytes.append(buffer.data(), got);
    if (got < buffer.size())
      break;
  }
  if (stream.bad())
    throw ToolError("cannot read " + Describe(name, false));
  if (bytes.size() > limit)
    throw ToolError(Describe(name, false) + " is larger than " + std::to_string(limit >> 20) +
                    " MB: not a tape image");
  return bytes;
}

// Decompresses gzip data: one member or several one after another, as gzip itself reads them.
// Bytes after the last member that do not start another one are ignored. Damage stops the
// decompression and is described in image.damage; what came before it is kept.
void Gunzip(const std::string& packed, UefImage& image, const std::string& name) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
    throw ToolError("zlib cannot start decompressing");
  std::vector<unsigned char> buffer(1 << 16);
  size_t consumed = 0;
  auto describe = [&](const char* what) {
    image.damage = std::string("the gzip stream ") + what + " after " +
                   std::to_string(image.bytes.size()) + " bytes of image";
  };
  for (;;) {
    const size_t remaining = packed.size() - consumed;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data() + consumed));
    stream.avail_in = static_cast<uInt>(std::min<size_t>(remaining, 1u << 30));
    stream.next_out = buffer.data();
    stream.avail_out = static_cast<uInt>(buffer.size());
    const uInt before = stream.avail_in;
    const int status = inflate(&stream, Z_NO_FLUSH);
    consumed += before - stream.avail_in;
    image.bytes.append(reinterpret_cast<const char*>(buffer.data()),
                       buffer.size() - stream.avail_out);
    if (image.bytes.size() > kLargestImage) {
      inflateEnd(&stream);
      throw ToolError(Describe(name, false) + " decompresses to more than " +
                      std::to_string(kLargestImage >> 20) + " MB: not a tape image");
    }
    if (status == Z_STREAM_END) {
      const size_t left = packed.size() - consumed;
      if (left >= 2 && static_cast<unsigned char>(packed[consumed]) == 0x1F &&
          static_cast<unsigned char>(packed[consumed + 1]) == 0x8B) {
        inflateReset(&stream);
        continue;
      }
      break;
    }
    if (status == Z_OK)
      continue;
    if (status == Z_BUF_ERROR && consumed == packed.size()) {
      describe("ends early");
    } else {
      describe("is corrupt");
    }
    break;
  }
  inflateEnd(&stream);
}

}  // namespace

UefImage UefImageFromBytes(std::string fileBytes, const std::string& name) {
  UefImage image;
  if (fileBytes.size() >= 2 && static_cast<unsigned char>(fileBytes[0]) == 0x1F &&
      static_cast<unsigned char>(fileBytes[1]) == 0x8B) {
    image.compressed = true;
    Gunzip(fileBytes, image, name);
  } else {
    image.bytes = std::move(fileBytes);
  }
  static const char kMagic[10] = {'U', 'E', 'F', ' ', 'F', 'i', 'l', 'e', '!', '\0'};
  if (image.bytes.size() < kUefHeaderLength) {
    if (!image.damage.empty())
      throw ToolError(Describe(name, false) + ": " + image.damage + ", before the end of the " +
                      "UEF header");
    if (image.bytes.size() < sizeof kMagic || std::memcmp(image.bytes.data(), kMagic, 10) != 0)
      throw ToolError(Describe(name, false) + " is not a UEF tape image");
    throw ToolError(Describe(name, false) + " ends inside its UEF header");
  }
  if (std::memcmp(image.bytes.data(), kMagic, sizeof kMagic) != 0)
    throw ToolError(Describe(name, false) + " is not a UEF tape image (it does not start with " +
                    "\"UEF File!\")");
  image.minorVersion = static_cast<uint8_t>(image.bytes[10]);
  image.majorVersion = static_cast<uint8_t>(image.bytes[11]);
  return image;
}

UefImage ReadUefImage(const std::string& name, std::istream& standardInput) {
  if (name == "-")
    return UefImageFromBytes(ReadAtMost(standardInput, kLargestImage, name), name);
  std::ifstream file(name, std::ios::binary);
  if (!file)
    throw ToolError("cannot open " + Describe(name, false));
  return UefImageFromBytes(ReadAtMost(file, kLargestImage, name), name);
}

uint16_t UefChunk::Le16(size_t at) const {
  return static_cast<uint16_t>(data[at] | (data[at + 1] << 8));
}

uint32_t UefChunk::Le24(size_t at) const {
  return static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
         static_cast<uint32_t>(data[at + 2]) << 16;
}

uint32_t UefChunk::Le32(size_t at) const {
  return Le24(at) | static_cast<uint32_t>(data[at + 3]) << 24;
}

float UefChunk::Float(size_t at) const {
  const uint32_t bits = Le32(at);
  float value;
  static_assert(sizeof value == sizeof bits, "float must be 32 bits");
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

bool UefChunks::Next(UefChunk& chunk) {
  const std::string& bytes = image_.bytes;
  const std::string cutShort = image_.damage.empty() ? "" : " (" + image_.damage + ")";
  if (!damage_.empty())
    return false;
  if (next_ == bytes.size()) {
    if (!image_.damage.empty())
      damage_ = "the image is cut short at offset " + OffsetText(next_) + cutShort;
    return false;
  }
  const size_t left = bytes.size() - next_;
  if (left < 6) {
    damage_ = "the image is cut short at offset " + OffsetText(next_) +
              ", inside the head of a chunk" + cutShort;
    return false;
  }
  const auto* head = reinterpret_cast<const uint8_t*>(bytes.data() + next_);
  chunk.offset = next_;
  chunk.id = static_cast<uint16_t>(head[0] | (head[1] << 8));
  chunk.length = static_cast<uint32_t>(head[2]) | static_cast<uint32_t>(head[3]) << 8 |
                 static_cast<uint32_t>(head[4]) << 16 | static_cast<uint32_t>(head[5]) << 24;
  chunk.data = head + 6;
  if (chunk.length > left - 6) {
    damage_ = "chunk " + ("0x" + Hex(chunk.id, 4)) + " at offset " + OffsetText(next_) +
              " declares " + std::to_string(chunk.length) + " bytes, but only " +
              std::to_string(left - 6) + " follow" + cutShort;
    return false;
  }
  next_ += 6 + static_cast<size_t>(chunk.length);
  return true;
}

const char* ChunkName(uint16_t id) {
  switch (id) {
    case 0x0000:
      return "origin";
    case 0x0001:
      return "instructions";
    case 0x0003:
      return "inlay scan";
    case 0x0005:
      return "target machine";
    case 0x0006:
      return "bit multiplexing";
    case 0x0007:
      return "extra palette";
    case 0x0008:
      return "ROM hint";
    case 0x0009:
      return "short title";
    case 0x000A:
      return "visible area";
    case 0x0100:
      return "data, 8N1";
    case 0x0101:
      return "multiplexed data";
    case 0x0102:
      return "explicit data bits";
    case 0x0104:
      return "data, defined format";
    case 0x0110:
      return "carrier tone";
    case 0x0111:
      return "carrier, dummy byte";
    case 0x0112:
      return "gap, integer";
    case 0x0113:
      return "base frequency";
    case 0x0114:
      return "security cycles";
    case 0x0115:
      return "phase change";
    case 0x0116:
      return "gap, floating point";
    case 0x0117:
      return "baud rate";
    case 0x0120:
      return "position marker";
    case 0x0130:
      return "tape set information";
    case 0x0131:
      return "start of tape side";
    default:
      return "unknown";
  }
}

bool IsInformationChunk(uint16_t id) {
  return id <= 0x00FF || id == 0x0120 || id == 0x0130 || id == 0x0131;
}

std::string OffsetText(size_t offset) {
  return "0x" + Hex(offset, 6);
}

}  // namespace Tool_ns
