#include "sound/Wave_file_handler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace SoundInput_ns {
namespace {

// Offsets, lengths and rates are signed 32-bit numbers further on: nothing may exceed this.
constexpr std::streamoff kLargestLength = 2147483647;
constexpr uint32_t kLargestRate = 2147483647u;

constexpr char kRiffId[4] = {'R', 'I', 'F', 'F'};
constexpr char kWaveId[4] = {'W', 'A', 'V', 'E'};
constexpr char kFormatId[4] = {'f', 'm', 't', ' '};
constexpr char kDataId[4] = {'d', 'a', 't', 'a'};

// The part of a "fmt " chunk that is read: tag, channels, rate, byte rate, block align, bits.
constexpr uint32_t kFormatFieldsLength = 16;
constexpr uint16_t kPcmFormat = 1;
// The other forms varnstow-tool prepare reads: floating point, and the extensible form chunk.
constexpr uint16_t kFloatFormat = 3;
constexpr uint16_t kExtensibleFormat = 0xFFFE;

constexpr std::streamsize kCopyStep = 1000;

[[noreturn]] void Refuse(const char* message) {
  throw std::runtime_error(message);
}

[[noreturn]] void RefuseSampleForm(const char* message) {
  throw UnsupportedSampleForm(message);
}

bool SameId(const char (&id)[4], const char (&expected)[4]) {
  return std::memcmp(id, expected, sizeof id) == 0;
}

void PutLe16(uint8_t* destination, uint16_t value) {
  destination[0] = static_cast<uint8_t>(value & 0xFFu);
  destination[1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(uint8_t* destination, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    destination[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFFu);
  }
}

}  // namespace

WAVSound::~WAVSound() {
  Close();
}

void WAVSound::RaiseReadingError() {
  throw std::runtime_error("WAV file reading error");
}

void WAVSound::ResetCounters() {
  Ended = false;
  Position = 0;
}

uint8_t WAVSound::ReadHeaderByte() {
  const auto c = input_.ReadByte();
  if (c == SoundInputFileImplementation::EndOfFile()) {
    Refuse("File reading error");
  }
  return static_cast<uint8_t>(c);
}

uint16_t WAVSound::ReadHeader16() {
  const uint16_t low = ReadHeaderByte();
  const uint16_t high = ReadHeaderByte();
  return static_cast<uint16_t>(low | (high << 8));
}

uint32_t WAVSound::ReadHeader32() {
  const uint32_t low = ReadHeader16();
  const uint32_t high = ReadHeader16();
  return low | (high << 16);
}

void WAVSound::ReadFormatChunk() {
  const uint16_t tag = ReadHeader16();
  if (tag == kFloatFormat || tag == kExtensibleFormat) {
    RefuseSampleForm("WAV file uses unsupported data format");
  }
  if (tag != kPcmFormat) {
    Refuse("WAV file uses unsupported data format");
  }
  const uint16_t channels = ReadHeader16();
  if (channels == 0) {
    Refuse("WAV file neither stereo nor mono");
  }
  if (channels > 2) {
    RefuseSampleForm("WAV file neither stereo nor mono");
  }
  stereo_ = channels == 2;
  const uint32_t rate = ReadHeader32();
  if (rate > kLargestRate) {
    Refuse("Sampling rate more than 2147483647");
  }
  // At no samples per second no wave has a length: nothing could be decoded.
  if (rate == 0) {
    Refuse("WAV file has a sampling rate of 0");
  }
  SampleRate = rate;
  input_.SeekFromCurrent(6);  // byte rate and block align follow from the rest
  const uint16_t bits = ReadHeader16();
  if (bits == 24 || bits == 32) {
    RefuseSampleForm("WAV file neither 8 bit nor 16 bit");
  }
  if (bits != 8 && bits != 16) {
    Refuse("WAV file neither 8 bit nor 16 bit");
  }
  sixteenBit_ = bits == 16;
  formatFound_ = true;
}

void WAVSound::Open(std::string name) {
  if (input_.IsOpen()) {
    Refuse("A WAV input file is already open");
  }
  input_.Clear();
  input_.Open(name);
  if (!input_.IsOpen()) {
    throw std::runtime_error("Could not open " + name);
  }
  SampleRate = 0;
  TotalLength = 0;
  dataStart_ = 0;
  dataEnd_ = 0;
  fileLength_ = 0;
  formatStart_ = 0;
  stereo_ = false;
  sixteenBit_ = false;
  formatFound_ = false;

  char id[4];
  auto readId = [this, &id] {
    for (char& c : id) {
      c = static_cast<char>(ReadHeaderByte());
    }
  };
  readId();
  if (!SameId(id, kRiffId)) {
    Refuse("Doesn't appear to be a valid WAV file");
  }
  // The RIFF length counts everything after its own field: the file is 8 bytes longer.
  const std::streamoff riffLength = ReadHeader32();
  const std::streamoff fileLength = riffLength + 8;
  if (fileLength > kLargestLength) {
    Refuse("WAV file has incorrect length in header");
  }
  input_.SeekFromEnd(0);
  const std::streamoff end = input_.Tell();
  if (end < 0 || end != fileLength) {
    Refuse("WAV file has incorrect length in header");
  }
  fileLength_ = fileLength;
  input_.SeekFromBeginning(8);
  readId();
  if (!SameId(id, kWaveId)) {
    Refuse("Doesn't appear to be a valid WAV file");
  }

  // Each chunk is an identifier, a size and that many bytes, plus one pad byte when the size is
  // odd. Every step moves forward by at least the 8 bytes of a chunk's head, and the walk ends
  // once fewer than 8 bytes remain, so it ends on any file.
  for (;;) {
    const std::streamoff chunkStart = input_.Tell();
    if (chunkStart < 0) {
      Refuse("File reading error");
    }
    if (chunkStart > riffLength) {
      break;
    }
    readId();
    const uint32_t size = ReadHeader32();
    const std::streamoff contentStart = chunkStart + 8;
    const std::streamoff contentEnd = contentStart + size;
    if (size >= kLargestLength || contentEnd > kLargestLength) {
      Refuse("WAV file has incorrect length in chunk identifier");
    }
    if (SameId(id, kFormatId)) {
      if (size < kFormatFieldsLength) {
        Refuse("WAV file has a format chunk that is too short");
      }
      ReadFormatChunk();
      formatStart_ = chunkStart;
    } else if (SameId(id, kDataId)) {
      if (TotalLength != 0) {
        Refuse("More than 1 data chunk");
      }
      dataStart_ = contentStart;
      TotalLength = static_cast<int32_t>(size);
      dataEnd_ = contentEnd;
    }
    // A pad byte missing at the very end of the file is harmless: the walk ends there anyway.
    input_.SeekFromBeginning(contentEnd + (size & 1u));
  }

  if (stereo_ && sixteenBit_) {
    RefuseSampleForm("Stereo and 16 bit samples not supported");
  }
  if (stereo_) {
    RefuseSampleForm("Stereo samples not supported");
  }
  if (sixteenBit_) {
    RefuseSampleForm("16 bit samples not supported");
  }
  if (dataStart_ == 0) {
    Refuse("WAV file hasn't a data chunk");
  }
  // Without a format chunk the sample rate is unknown, and nothing could be measured.
  if (!formatFound_) {
    Refuse("WAV file hasn't a format chunk");
  }
  input_.SeekFromBeginning(dataStart_);
}

bool WAVSound::Close() {
  return CloseFileStreams(*this, input_, output_);
}

void WAVSound::Rewind() {
  input_.Clear();
  input_.SeekFromBeginning(dataStart_);
  ResetCounters();
}

int64_t WAVSound::ProgressPercent() {
  if (TotalLength <= 0) {
    return 0;
  }
  std::streamoff position = input_.Tell();
  if (position < 0) {
    // The stream cannot tell its position once a read has run off the end of the file.
    position = fileLength_;
  }
  return static_cast<int64_t>(
      std::trunc(static_cast<double>(position - dataStart_) / TotalLength * 100 + 0.5));
}

bool WAVSound::AtDataEnd() {
  return input_.Tell() == dataEnd_;
}

void WAVSound::OpenOutput(std::string name) {
  if (output_.IsOpen()) {
    Refuse("A WAV output file is already open");
  }
  output_.Clear();
  output_.OpenNew(name);
  if (!output_.IsOpen()) {
    Refuse("Could not open output WAV file");
  }
}

void WAVSound::CheckOutput() {
  if (output_.Bad() || output_.Fail()) {
    RaiseWritingError();
  }
}

void WAVSound::WriteHeader(uint32_t sampleRate, uint32_t dataLength) {
  auto write = [this](const void* bytes, std::streamsize count) {
    output_.WriteBlock(static_cast<const char*>(bytes), count);
    CheckOutput();
  };
  // The RIFF length counts "WAVE", the 24 bytes of the format chunk and the data chunk's head.
  uint8_t riffLength[4];
  PutLe32(riffLength, dataLength + 36u);
  write(kRiffId, 4);
  write(riffLength, 4);
  write(kWaveId, 4);

  uint8_t format[24];
  std::memcpy(format, kFormatId, 4);
  PutLe32(format + 4, kFormatFieldsLength);
  PutLe16(format + 8, kPcmFormat);
  PutLe16(format + 10, 1);  // mono
  PutLe32(format + 12, sampleRate);
  PutLe32(format + 16, sampleRate);  // bytes per second of 8-bit mono
  PutLe16(format + 20, 1);           // bytes per sample frame
  PutLe16(format + 22, 8);           // bits per sample
  write(format, sizeof format);

  uint8_t data[8];
  std::memcpy(data, kDataId, 4);
  PutLe32(data + 4, dataLength);
  write(data, sizeof data);
}

void WAVSound::CopyBytes(std::streamoff count) {
  char buffer[kCopyStep];
  while (count > 0) {
    const std::streamsize step = std::min<std::streamoff>(count, kCopyStep);
    const std::streamsize got = input_.ReadBlock(buffer, step);
    output_.WriteBlock(buffer, got);
    if (got < step) {
      return;  // the caller sees the failed input
    }
    count -= step;
  }
}

void WAVSound::CopyHeader() {
  // The copy ends at the first sample: a format chunk after the data would be lost, and the
  // corrected file could not be read, or would be read at another rate.
  if (formatStart_ > dataStart_) {
    Refuse("Cannot fix DC offsets in a WAV file whose format chunk follows its data");
  }
  input_.Clear();
  input_.SeekFromBeginning(0);
  // From "RIFF" up to and including the data chunk's size field, as it is: the output keeps
  // every chunk, so the RIFF length stays right.
  CopyBytes(dataStart_);
  if (input_.Bad() || input_.Fail()) {
    Refuse("File reading error");
  }
  CheckOutput();
  input_.SeekFromBeginning(dataStart_);
}

void WAVSound::CopyTrailer() {
  // Everything after the samples: a pad byte, and chunks such as LIST.
  input_.Clear();
  input_.SeekFromEnd(0);
  const std::streamoff end = input_.Tell();
  const std::streamoff samplesEnd = dataStart_ + static_cast<std::streamoff>(TotalLength);
  if (end < 0) {
    Refuse("File reading error");
  }
  if (end <= samplesEnd) {
    return;
  }
  input_.SeekFromBeginning(samplesEnd);
  CopyBytes(end - samplesEnd);
  if (input_.Bad() || input_.Fail()) {
    Refuse("File reading error");
  }
  CheckOutput();
}

void WAVSound::WriteShapedSample(double value, double phase, bool rising) {
  constexpr double kPi = 3.14159265358979323846;
  double v = std::fabs(std::sin(std::asin(std::clamp(value, -1.0, 1.0)) + phase)) * 127;
  if (!(v >= 0 && v <= 127)) {
    v = 0;  // a value or phase that is not a number
  }
  const bool positive = (rising && phase == -kPi / 2) || (!rising && phase == -3 * kPi / 2);
  const double sample = positive ? std::trunc(v + 0.5) : std::trunc(-v - 1.5);
  WriteSample(static_cast<int8_t>(sample));
}

}  // namespace SoundInput_ns
