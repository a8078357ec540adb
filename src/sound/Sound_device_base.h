#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <ios>
#include <sstream>
#include <string>

namespace TypeConversion_ns {

// The one conversion between bytes as sound files store them and the program's samples: a
// signed 8-bit value with silence at 0. Unsigned (offset binary) bytes have their centre at
// 128; signed bytes are two's complement and taken as they are.
struct Conversions2sComplement {
  static int8_t FromUnsigned(uint8_t stored) { return static_cast<int8_t>(stored ^ 0x80u); }
  static uint8_t ToUnsigned(int8_t sample) {
    return static_cast<uint8_t>(static_cast<uint8_t>(sample) ^ 0x80u);
  }
  static int8_t FromSigned(uint8_t stored) { return static_cast<int8_t>(stored); }
  static uint8_t ToSigned(int8_t sample) { return static_cast<uint8_t>(sample); }

  static int8_t ToSample(uint8_t stored, bool signedForm) {
    return signedForm ? FromSigned(stored) : FromUnsigned(stored);
  }
  static uint8_t FromSample(int8_t sample, bool signedForm) {
    return signedForm ? ToSigned(sample) : ToUnsigned(sample);
  }

  // Turns count bytes between the signed and the unsigned form in place (the same change
  // both ways), eight at a time.
  static void FlipForms(void* bytes, size_t count) {
    auto* at = static_cast<unsigned char*>(bytes);
    constexpr uint64_t kSignBits = 0x8080808080808080u;
    for (; count >= 8; count -= 8, at += 8) {
      uint64_t word;
      std::memcpy(&word, at, 8);
      word ^= kSignBits;
      std::memcpy(at, &word, 8);
    }
    for (; count > 0; --count, ++at) {
      *at = static_cast<unsigned char>(*at ^ 0x80u);
    }
  }
};

}  // namespace TypeConversion_ns

namespace SoundInput_ns {

// A file buffer whose buffered bytes the per-sample path may read directly.
class SampleFileBuf : public std::filebuf {
 public:
  const char* ReadPointer() const { return gptr(); }
  const char* ReadEnd() const { return egptr(); }
  void SetReadPointer(const char* next) { gbump(static_cast<int>(next - gptr())); }
};

// A binary input file stream over a SampleFileBuf.
class SampleInputFile : public std::istream {
 public:
  SampleInputFile() : std::istream(nullptr) { rdbuf(&buffer_); }
  void open(const std::string& name, std::ios::openmode mode) {
    if (buffer_.open(name, mode) == nullptr) {
      setstate(std::ios::failbit);
    } else {
      clear();
    }
  }
  bool is_open() const { return buffer_.is_open(); }
  void close() {
    if (buffer_.close() == nullptr) {
      setstate(std::ios::failbit);
    }
  }
  SampleFileBuf& Buffer() { return buffer_; }

 private:
  SampleFileBuf buffer_;
};

// A binary input file as the sound sources read it. ReadByte is the per-sample path: it takes
// the byte straight from the stream buffer, without a formatted or sentry-checked call, and
// marks running off the end as end-of-file and fail, a failing read of the file as bad.
template <class CharT, class Conversion, class Traits, class Stream>
class BasicSoundInputFile {
 public:
  using IntType = typename Traits::int_type;
  using Converter = Conversion;

  BasicSoundInputFile() { stream_.rdbuf()->pubsetbuf(buffer_, sizeof buffer_); }
  ~BasicSoundInputFile() { Close(); }
  BasicSoundInputFile(const BasicSoundInputFile&) = delete;
  BasicSoundInputFile& operator=(const BasicSoundInputFile&) = delete;

  static constexpr IntType EndOfFile() { return Traits::eof(); }

  bool IsOpen() const { return stream_.is_open(); }
  void Open(const std::string& name) { stream_.open(name, std::ios::in | std::ios::binary); }

  // The next byte as 0-255, or EndOfFile() when none could be read.
  IntType ReadByte() {
    IntType c;
    try {
      c = stream_.rdbuf()->sbumpc();
    } catch (const std::ios_base::failure&) {
      stream_.setstate(std::ios::badbit);
      return EndOfFile();
    }
    if (Traits::eq_int_type(c, EndOfFile())) {
      stream_.setstate(std::ios::eofbit | std::ios::failbit);
    }
    return c;
  }

  // Reads up to count bytes; returns how many were read.
  std::streamsize ReadBlock(CharT* destination, std::streamsize count) {
    stream_.read(destination, count);
    return stream_.gcount();
  }

  void Skip(std::streamoff count) { stream_.seekg(count, std::ios::cur); }
  void SeekFromBeginning(std::streamoff offset) { stream_.seekg(offset, std::ios::beg); }
  void SeekFromCurrent(std::streamoff offset) { stream_.seekg(offset, std::ios::cur); }
  void SeekFromEnd(std::streamoff offset) { stream_.seekg(offset, std::ios::end); }
  std::streamoff Tell() { return static_cast<std::streamoff>(stream_.tellg()); }

  bool Bad() const { return stream_.bad(); }
  bool Eof() const { return stream_.eof(); }
  bool Fail() const { return stream_.fail(); }
  void Clear() { stream_.clear(); }
  void SetFailed() { stream_.setstate(std::ios::failbit); }

  void Close() {
    if (stream_.is_open()) {
      stream_.close();
    }
  }

  // Direct access to the bytes buffered but not yet taken, for the per-sample path: take
  // bytes from Next() up to End(), then report how far with Taken(). Refill() loads more
  // once all are taken; it returns false at the end of the file (end-of-file and fail set)
  // or when the read fails (bad set).
  const uint8_t* Next() { return reinterpret_cast<const uint8_t*>(stream_.Buffer().ReadPointer()); }
  const uint8_t* End() { return reinterpret_cast<const uint8_t*>(stream_.Buffer().ReadEnd()); }
  void Taken(const uint8_t* next) {
    stream_.Buffer().SetReadPointer(reinterpret_cast<const char*>(next));
  }
  bool Refill() {
    IntType c;
    try {
      c = stream_.Buffer().sgetc();
    } catch (const std::ios_base::failure&) {
      stream_.setstate(std::ios::badbit);
      return false;
    }
    if (Traits::eq_int_type(c, EndOfFile())) {
      stream_.setstate(std::ios::eofbit | std::ios::failbit);
      return false;
    }
    return true;
  }

 private:
  CharT buffer_[1 << 16];
  Stream stream_;
};

// A binary output: a file, or the growable in-memory stream in which the tape image is built.
template <class CharT, class Conversion, class Traits, class Stream>
class BasicSoundOutputFile {
 public:
  using Converter = Conversion;

  BasicSoundOutputFile() = default;
  BasicSoundOutputFile(const BasicSoundOutputFile&) = delete;
  BasicSoundOutputFile& operator=(const BasicSoundOutputFile&) = delete;

  // Files on the drive only: creates name for writing, when nothing is there yet.
  bool IsOpen() const { return stream_.is_open(); }
  void OpenNew(const std::string& name) {
    stream_.clear();
    stream_.create_new(name.c_str());
  }
  void Close() {
    if (stream_.is_open()) {
      stream_.close();
    }
  }

  // Writes one byte straight into the stream buffer; a refused byte marks the stream bad.
  void WriteByte(uint8_t value) {
    if (Traits::eq_int_type(stream_.rdbuf()->sputc(static_cast<CharT>(value)), Traits::eof())) {
      stream_.setstate(std::ios::badbit);
    }
  }

  // Writes one byte and raises "File writing error" when the stream has failed.
  void CheckedWriteByte(uint8_t value);

  // Writes samples as stored bytes (signed, or unsigned with silence at 128) a buffer at a
  // time, and raises "File writing error" when the stream has failed.
  void CheckedWriteSamples(const int8_t* samples, size_t count, bool signedForm);

  void WriteBlock(const CharT* bytes, std::streamsize count) { stream_.write(bytes, count); }

  bool Bad() const { return stream_.bad(); }
  bool Fail() const { return stream_.fail(); }
  void Clear() { stream_.clear(); }
  void SetFailed() { stream_.setstate(std::ios::failbit); }

  Stream& Underlying() { return stream_; }
  const Stream& Underlying() const { return stream_; }

 private:
  Stream stream_;
};

void RaiseWritingError();

template <class CharT, class Conversion, class Traits, class Stream>
void BasicSoundOutputFile<CharT, Conversion, Traits, Stream>::CheckedWriteByte(uint8_t value) {
  WriteByte(value);
  if (stream_.fail()) {
    RaiseWritingError();
  }
}

template <class CharT, class Conversion, class Traits, class Stream>
void BasicSoundOutputFile<CharT, Conversion, Traits, Stream>::CheckedWriteSamples(
    const int8_t* samples, size_t count, bool signedForm) {
  // Each write of more than a few bytes is a system call of its own: large ones are cheaper.
  constexpr size_t kBuffer = 65536;
  CharT bytes[kBuffer];
  while (count > 0) {
    const size_t n = count < kBuffer ? count : kBuffer;
    std::memcpy(bytes, samples, n);
    if (!signedForm) {
      Conversion::FlipForms(bytes, n);
    }
    stream_.write(bytes, static_cast<std::streamsize>(n));
    if (stream_.fail()) {
      RaiseWritingError();
    }
    samples += n;
    count -= n;
  }
}

using SoundInputFileImplementation =
    BasicSoundInputFile<char, TypeConversion_ns::Conversions2sComplement, std::char_traits<char>,
                        SampleInputFile>;

template <class Stream>
using SoundOutputFileImplementation =
    BasicSoundOutputFile<char, TypeConversion_ns::Conversions2sComplement, std::char_traits<char>,
                         Stream>;

// What a source object is, so that the wave measurement can read it by its own class.
enum class SourceKind { kOther, kRaw, kWav, kCsw, kCard };

// The interface through which every sound source (sound card, CSW, WAV and RAW files) is read.
// A sample is a signed 8-bit value with silence at 0; a CSW source delivers pulse lengths
// instead. Every failure raises std::runtime_error carrying its message; no source prints.
class SoundBase {
 public:
  uint32_t SampleRate = 0;  // samples per second
  int32_t TotalLength = 0;  // length in samples (CSW: the sum of all pulse lengths)
  bool Ended = false;       // no further samples
  uint32_t Position = 0;    // samples delivered (CSW: the pulse lengths delivered, summed)

  SoundBase() = default;
  SoundBase(const SoundBase&) = delete;
  SoundBase& operator=(const SoundBase&) = delete;

  // The source's class among those the measurement knows; kOther for any other.
  virtual SourceKind Kind() const { return SourceKind::kOther; }
  // Clears Ended, Position and any per-pass reading state.
  virtual void ResetCounters() {}
  virtual ~SoundBase() = 0;
  // Opens the named input and leaves it at its first sample. Raises the class's
  // already-open error if an input is open, and "Could not open " + name if it won't open.
  virtual void Open(std::string name) = 0;
  // Closes input and output; returns true when closing failed.
  virtual bool Close() = 0;
  // Returns to the first sample and clears the counters.
  virtual void Rewind() {}
  // True once no further sample can come.
  virtual bool AtEnd() { return Ended; }
  // The share of the source consumed, in whole percent, rounded.
  virtual int64_t ProgressPercent();
  // The next sample; 0 once the end is reached.
  virtual int8_t NextSample() { return 0; }
  // CSW only: the next pulse length in samples; 0 once the end is reached.
  virtual uint32_t NextPulse() { return 0; }
  virtual bool AtDataEnd() { return false; }
  // RAW and WAV: the output through which a corrected copy of the input is written.
  virtual void OpenOutput(std::string) {}
  virtual void WriteHeader(uint32_t, uint32_t) {}
  virtual void CopyHeader() {}
  virtual void WriteSample(int8_t) {}
  // Writes count samples in a row, as count calls of WriteSample would.
  virtual void WriteSamples(const int8_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      WriteSample(samples[i]);
    }
  }
  virtual void WriteShapedSample(double, double, bool) {}
};

// Takes the samples of a RAW or WAV source straight from its file buffer: the same samples,
// counts and end as its NextSample and AtEnd, without a call per sample. A reader may take
// the bytes from next up to end itself (a sample is the byte xor flip, as a signed value) and
// must store how far it got in next before calling Refill or letting the cursor go. Position
// catches up on Refill and when the cursor goes out of scope, so only one cursor may read a
// source at a time.
class FileSampleCursor {
 public:
  FileSampleCursor(SoundBase& source, SoundInputFileImplementation& input, bool signedForm,
                   const char* readError)
      : next(input.Next()),
        end(input.End()),
        flip(signedForm ? 0 : 0x80),
        source_(source),
        input_(input),
        start_(next),
        readError_(readError) {}
  ~FileSampleCursor() { Commit(); }
  FileSampleCursor(const FileSampleCursor&) = delete;
  FileSampleCursor& operator=(const FileSampleCursor&) = delete;

  // The next sample; false, with the source ended, once there is none.
  bool Next(int& sample) {
    if (next == end && !Refill()) {
      return false;
    }
    sample = static_cast<int8_t>(*next++ ^ flip);
    return true;
  }

  // Loads the next bytes once all up to end are taken. Returns false, with the source ended,
  // at the end of the file; raises the source's reading error when the read fails.
  bool Refill();

  const uint8_t* next;
  const uint8_t* end;
  const uint8_t flip;

 private:
  void Commit() {
    source_.Position += static_cast<uint32_t>(next - start_);
    input_.Taken(next);
    start_ = next;
  }

  SoundBase& source_;
  SoundInputFileImplementation& input_;
  const uint8_t* start_;
  const char* readError_;
};

// Closes a RAW or WAV source's input and output: clears their states, resets the source's
// counters when its input was open, and returns true when either stream failed to close.
template <class Input, class Output>
bool CloseFileStreams(SoundBase& source, Input& input, Output& output) {
  input.Clear();
  output.Clear();
  if (input.IsOpen()) {
    source.ResetCounters();
    input.Close();
  }
  output.Close();
  return input.Bad() || input.Fail() || output.Bad() || output.Fail();
}

class CardSound;
class CSWSound;
class WAVSound;
class RAWSound;

// The active source; the sound card unless the input file names another kind.
extern SoundBase* CurrentSound;

}  // namespace SoundInput_ns
