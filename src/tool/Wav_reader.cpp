#include "tool/Wav_reader.h"

#include <cmath>
#include <cstring>
#include <ostream>

#include "tool/Tool_support.h"

namespace Tool_ns {

namespace {

constexpr uint16_t kPcm = 0x0001;
constexpr uint16_t kFloat = 0x0003;
constexpr uint16_t kExtensible = 0xFFFE;
// The sub-format GUID of an extensible format chunk, after its first two bytes (which hold the
// format tag).
constexpr unsigned char kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Le16(const unsigned char* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t Le32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

WavReader::WavReader(const std::string& name, std::ostream& warnings) : name_(name) {
  const std::string described = Describe(name, false);
  file_.open(name, std::ios::binary);
  if (!file_)
    throw ToolError("cannot open " + described);
  file_.seekg(0, std::ios::end);
  const std::streamoff end = file_.tellg();
  file_.seekg(0, std::ios::beg);
  if (end < 0)
    throw ToolError("cannot read " + described);
  const auto fileLength = static_cast<uint64_t>(end);

  unsigned char head[12];
  if (!file_.read(reinterpret_cast<char*>(head), sizeof head))
    throw ToolError(described + " is not a WAV file (too short)");
  if (std::memcmp(head, "RIFX", 4) == 0)
    throw ToolError(described + " is a big-endian (RIFX) WAV file, which is not supported");
  if (std::memcmp(head, "RF64", 4) == 0)
    throw ToolError(described + " is an RF64 WAV file, which is not supported");
  if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
    throw ToolError(described + " is not a WAV file");

  bool formatFound = false;
  bool dataFound = false;
  uint64_t dataLength = 0;
  uint16_t tag = 0;
  // Each chunk is an identifier, a size and that many bytes, plus a pad byte after an odd
  // size. Every step moves on by at least 8 bytes, so the walk ends on any file.
  uint64_t at = 12;
  while (at + 8 <= fileLength) {
    unsigned char chunk[8];
    file_.seekg(static_cast<std::streamoff>(at));
    if (!file_.read(reinterpret_cast<char*>(chunk), sizeof chunk))
      throw ToolError("cannot read " + described);
    const uint32_t size = Le32(chunk + 4);
    const uint64_t content = at + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || content + 16 > fileLength)
        throw ToolError(described + " has a format chunk that is too short");
      unsigned char fields[40] = {};
      const auto want = static_cast<std::streamsize>(
          std::min<uint64_t>(std::min<uint64_t>(size, sizeof fields), fileLength - content));
      if (!file_.read(reinterpret_cast<char*>(fields), want))
        throw ToolError("cannot read " + described);
      tag = Le16(fields);
      format_.channels = Le16(fields + 2);
      format_.sampleRate = Le32(fields + 4);
      format_.blockAlign = Le16(fields + 12);
      format_.bitsPerSample = Le16(fields + 14);
      if (tag == kExtensible) {
        if (want < 40 || Le16(fields + 16) < 22)
          throw ToolError(described + " has an extensible format chunk that is too short");
        if (std::memcmp(fields + 26, kGuidTail, sizeof kGuidTail) != 0)
          throw ToolError(described + " uses an unknown extensible sub-format");
        tag = Le16(fields + 24);
      }
      formatFound = true;
    } else if (std::memcmp(chunk, "data", 4) == 0 && !dataFound) {
      dataFound = true;
      dataStart_ = content;
      dataLength = size;
      if (content + size > fileLength) {
        dataLength = fileLength - content;
        warnings << "varnstow-tool: warning: the data chunk of " << described << " declares "
                 << size << " bytes, but the file holds " << dataLength << "; reading those\n";
        break;
      }
    }
    at = content + size + (size & 1u);
  }

  if (!formatFound)
    throw ToolError(described + " has no format chunk");
  if (!dataFound)
    throw ToolError(described + " has no data chunk");
  const uint16_t bits = format_.bitsPerSample;
  if (tag == kPcm) {
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
      throw ToolError(described + " holds " + std::to_string(bits) +
                      "-bit samples; 8, 16, 24 and 32 bits are supported");
  } else if (tag == kFloat) {
    if (bits != 32 && bits != 64)
      throw ToolError(described + " holds " + std::to_string(bits) +
                      "-bit floating-point samples; 32 and 64 bits are supported");
    format_.floatingPoint = true;
  } else {
    throw ToolError(described + " is in WAV format 0x" + Hex(tag, 4) +
                    ", not PCM or floating point");
  }
  if (format_.channels == 0)
    throw ToolError(described + " has no channels");
  if (format_.sampleRate == 0)
    throw ToolError(described + " has a sample rate of 0");
  if (format_.blockAlign != static_cast<uint32_t>(format_.channels) * (bits / 8u))
    throw ToolError(described + " has a frame size (block align) of " +
                    std::to_string(format_.blockAlign) + " bytes, which does not fit " +
                    std::to_string(format_.channels) + " channels of " + std::to_string(bits) +
                    " bits");
  frames_ = dataLength / format_.blockAlign;
  Rewind();
}

void WavReader::Rewind() {
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(dataStart_));
  framesRead_ = 0;
}

size_t WavReader::Read(std::vector<double>& values, size_t maxFrames) {
  const size_t frames = static_cast<size_t>(std::min<uint64_t>(maxFrames, frames_ - framesRead_));
  const size_t channels = format_.channels;
  const size_t bytesPerSample = format_.bitsPerSample / 8u;
  bytes_.resize(frames * format_.blockAlign);
  values.resize(frames * channels);
  if (frames == 0)
    return 0;
  if (!file_.read(reinterpret_cast<char*>(bytes_.data()),
                  static_cast<std::streamsize>(bytes_.size())))
    throw ToolError("cannot read " + Describe(name_, false));
  const unsigned char* p = bytes_.data();
  for (size_t i = 0; i < frames * channels; ++i, p += bytesPerSample) {
    double value = 0.0;
    if (format_.floatingPoint) {
      if (bytesPerSample == 4) {
        float f;
        const uint32_t bits = Le32(p);
        std::memcpy(&f, &bits, sizeof f);
        value = static_cast<double>(f);
      } else {
        const uint64_t bits = static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4))
                                                                   << 32;
        std::memcpy(&value, &bits, sizeof value);
      }
      if (!std::isfinite(value))
        throw ToolError(Describe(name_, false) + " holds a sample that is not a number, in frame " +
                        std::to_string(framesRead_ + i / channels));
    } else {
      switch (bytesPerSample) {
        case 1:
          value = (static_cast<int>(p[0]) - 128) / 128.0;
          break;
        case 2:
          value = static_cast<int16_t>(Le16(p)) / 32768.0;
          break;
        case 3: {
          const uint32_t raw = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                               static_cast<uint32_t>(p[2]) << 16;
          const int32_t signedValue =
              static_cast<int32_t>(raw << 8) / 256;  // sign-extends the 24 bits
          value = signedValue / 8388608.0;
          break;
        }
        default:
          value = static_cast<int32_t>(Le32(p)) / 2147483648.0;
          break;
      }
    }
    values[i] = value;
  }
  framesRead_ += frames;
  return frames;
}

}  // namespace Tool_ns
