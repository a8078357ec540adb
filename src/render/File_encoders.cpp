#include "render/File_encoders.h"

#include <zlib.h>

#include <cstddef>
#include <fstream>
#include <limits>
#include <stdexcept>

#include "render/Byte_fields.h"

namespace TapeBuilder_ns {

namespace {

void PutText(std::vector<uint8_t>& out, const char* text, size_t width) {
  size_t i = 0;
  for (; text[i] != '\0' && i < width; ++i)
    out.push_back(static_cast<uint8_t>(text[i]));
  for (; i < width; ++i)
    out.push_back(0);
}

uint32_t CheckedU32(size_t value, const char* what) {
  if (value > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument(std::string(what) + " does not fit in 32 bits");
  return static_cast<uint32_t>(value);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file)
    throw std::runtime_error("cannot open " + path + " for writing");
  if (!bytes.empty())
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file)
    throw std::runtime_error("cannot write " + path);
}

}  // namespace

std::vector<uint8_t> WavHeader(uint32_t sampleRate, uint32_t dataLength, bool padded) {
  const uint32_t pad = padded ? dataLength % 2 : 0;
  if (dataLength > std::numeric_limits<uint32_t>::max() - 36 - pad)
    throw std::invalid_argument("WAV data too large");
  std::vector<uint8_t> out;
  out.reserve(44);
  PutText(out, "RIFF", 4);
  PutLe32(out, 36 + dataLength + pad);
  PutText(out, "WAVE", 4);
  PutText(out, "fmt ", 4);
  PutLe32(out, 16);  // fmt chunk size
  PutLe16(out, 1);   // PCM
  PutLe16(out, 1);   // mono
  PutLe32(out, sampleRate);
  PutLe32(out, sampleRate);  // byte rate: one byte per sample
  PutLe16(out, 1);           // block align
  PutLe16(out, 8);           // bits per sample
  PutText(out, "data", 4);
  PutLe32(out, dataLength);
  return out;
}

std::vector<uint8_t> EncodeWav(const std::vector<int8_t>& samples, uint32_t sampleRate) {
  const uint32_t dataSize = CheckedU32(samples.size(), "WAV data");
  std::vector<uint8_t> out = WavHeader(sampleRate, dataSize, true);
  out.reserve(44 + samples.size() + 1);
  for (int8_t sample : samples)
    out.push_back(static_cast<uint8_t>(static_cast<int>(sample) + 128));
  if (dataSize % 2 != 0)
    out.push_back(0);
  return out;
}

std::vector<uint8_t> CswHeader(uint32_t sampleRate, uint32_t pulseCount, CswCompression compression,
                               bool initialPolarityHigh, const char* application) {
  if (compression != CswCompression::Rle && compression != CswCompression::ZRle)
    throw std::invalid_argument("unknown CSW compression");
  std::vector<uint8_t> out;
  out.reserve(52);
  PutText(out, "Compressed Square Wave", 22);
  out.push_back(0x1A);
  out.push_back(2);  // major version
  out.push_back(0);  // minor version
  PutLe32(out, sampleRate);
  PutLe32(out, pulseCount);
  out.push_back(static_cast<uint8_t>(compression));
  out.push_back(initialPolarityHigh ? 0x01 : 0x00);
  out.push_back(0);  // header extension length
  PutText(out, application, 16);
  return out;
}

void AppendCswPulse(std::vector<uint8_t>& out, uint32_t pulse) {
  if (pulse >= 1 && pulse <= 255) {
    out.push_back(static_cast<uint8_t>(pulse));
  } else {
    out.push_back(0);
    PutLe32(out, pulse);
  }
}

std::vector<uint8_t> EncodeCsw(const std::vector<uint32_t>& pulses, uint32_t sampleRate,
                               CswCompression compression, bool initialPolarityHigh) {
  std::vector<uint8_t> out = CswHeader(sampleRate, CheckedU32(pulses.size(), "CSW pulse count"),
                                       compression, initialPolarityHigh, "TapeBuilder");

  std::vector<uint8_t> rle;
  rle.reserve(pulses.size());
  for (uint32_t pulse : pulses)
    AppendCswPulse(rle, pulse);

  if (compression == CswCompression::Rle) {
    out.insert(out.end(), rle.begin(), rle.end());
    return out;
  }

  uLongf packedSize = compressBound(static_cast<uLong>(rle.size()));
  std::vector<uint8_t> packed(static_cast<size_t>(packedSize));
  const int status = compress2(packed.data(), &packedSize, rle.data(),
                               static_cast<uLong>(rle.size()), Z_BEST_COMPRESSION);
  if (status != Z_OK)
    throw std::runtime_error("zlib compression failed");
  packed.resize(static_cast<size_t>(packedSize));
  out.insert(out.end(), packed.begin(), packed.end());
  return out;
}

void WriteRaw(const std::string& path, const std::vector<int8_t>& samples, bool signedData) {
  std::vector<uint8_t> bytes;
  bytes.reserve(samples.size());
  for (int8_t sample : samples) {
    const int value = signedData ? static_cast<int>(sample) & 0xFF : static_cast<int>(sample) + 128;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  WriteFile(path, bytes);
}

void WriteWav(const std::string& path, const std::vector<int8_t>& samples, uint32_t sampleRate) {
  WriteFile(path, EncodeWav(samples, sampleRate));
}

void WriteCsw(const std::string& path, const std::vector<uint32_t>& pulses, uint32_t sampleRate,
              CswCompression compression, bool initialPolarityHigh) {
  WriteFile(path, EncodeCsw(pulses, sampleRate, compression, initialPolarityHigh));
}

void WriteCsw(const std::string& path, const PulseTrain& pulses, uint32_t sampleRate,
              CswCompression compression) {
  WriteCsw(path, pulses.lengths, sampleRate, compression, pulses.initialHigh);
}

}  // namespace TapeBuilder_ns
