#pragma once

#include <zlib.h>

#include <ios>
#include <ostream>
#include <streambuf>
#include <string>

#include "platform/File_system.h"

namespace GZStream_ns {

// A stream buffer that writes a file on the drive through Platform_ns::TheFileOperations, as
// a file buffer of the standard library does: the bytes collect in a put area of 64 KiB and go
// to the file when it is full, on sync and on close; a block of 1 KiB or more, or one larger
// than the space left, goes straight to the file after what is buffered. What the file
// refuses from the put area stays there, to be tried again on sync and on close.
class DriveFileBuf : public std::streambuf {
 public:
  DriveFileBuf() { setp(buffer_, buffer_); }
  ~DriveFileBuf() override { close(); }
  DriveFileBuf(const DriveFileBuf&) = delete;
  DriveFileBuf& operator=(const DriveFileBuf&) = delete;

  bool is_open() const { return file_ != nullptr; }

  // Creates or empties the file name; with createNew, creates it only when nothing is there.
  // Returns this buffer, or null when it is already open or the file cannot be opened.
  DriveFileBuf* open(const char* name, bool createNew = false) {
    if (file_ != nullptr) {
      return nullptr;
    }
    Platform_ns::FileResult result;
    file_ = createNew ? Platform_ns::TheFileOperations.CreateNew(name, result)
                      : Platform_ns::TheFileOperations.OpenForWriting(name, result);
    if (file_ == nullptr) {
      return nullptr;
    }
    setp(buffer_, buffer_ + kBufferSize);
    return this;
  }

  // Writes what is left and closes the file. Returns null when it was not open, when the
  // last bytes could not be written or when closing fails; the file is closed in every case.
  DriveFileBuf* close() {
    if (file_ == nullptr) {
      return nullptr;
    }
    const bool flushed = sync() == 0;
    setp(buffer_, buffer_);
    const bool closed =
        Platform_ns::TheFileOperations.Close(file_).error == Platform_ns::FileError::kNone;
    file_ = nullptr;
    return flushed && closed ? this : nullptr;
  }

 protected:
  int_type overflow(int_type c) override {
    if (file_ == nullptr || !FlushPutArea()) {
      return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  std::streamsize xsputn(const char* bytes, std::streamsize count) override {
    if (count < kDirectWrite && count <= epptr() - pptr()) {
      return std::streambuf::xsputn(bytes, count);
    }
    if (file_ == nullptr || !FlushPutArea() || !WriteToFile(bytes, count)) {
      return 0;
    }
    return count;
  }

  int sync() override { return file_ == nullptr || FlushPutArea() ? 0 : -1; }

 private:
  static constexpr std::streamsize kBufferSize = 1 << 16;
  static constexpr std::streamsize kDirectWrite = 1 << 10;

  bool WriteToFile(const char* bytes, std::streamsize count) {
    return Platform_ns::TheFileOperations.Write(file_, bytes, static_cast<size_t>(count)).error ==
           Platform_ns::FileError::kNone;
  }

  // Hands the put area to the file; true when the file took all of it. What it refused stays
  // in the put area.
  bool FlushPutArea() {
    const std::streamsize count = pptr() - pbase();
    if (count > 0) {
      if (!WriteToFile(pbase(), count)) {
        return false;
      }
      setp(buffer_, buffer_ + kBufferSize);
    }
    return true;
  }

  Platform_ns::OutputFile* file_ = nullptr;
  char buffer_[kBufferSize];
};

// A stream buffer that gzip-compresses what is written into a file on the drive, through
// zlib's deflate with the settings of zlib's own gz file functions (default level, a gzip
// header and trailer), so that the file is the one gzopen and gzwrite would write. Output
// collects up to 302 characters in its put area and hands them to deflate in one call; the
// buffer has one more place so that overflow can always store its character first. The
// compressed bytes go to the file through a DriveFileBuf.
class GZStreamBuf : public std::streambuf {
 public:
  GZStreamBuf() { setp(buffer_, buffer_); }
  ~GZStreamBuf() override { close(); }
  GZStreamBuf(const GZStreamBuf&) = delete;
  GZStreamBuf& operator=(const GZStreamBuf&) = delete;

  bool is_open() const { return opened_; }

  // Opens name for writing (the only mode this buffer has: reading, appending and positioning
  // at the end are refused). Returns this buffer, or null when the mode is refused, zlib
  // cannot start or the file cannot be opened.
  GZStreamBuf* open(const char* name, std::ios::openmode mode, bool createNew = false) {
    if (opened_ || !(mode & std::ios::out) || (mode & std::ios::in) || (mode & std::ios::app) ||
        (mode & std::ios::ate)) {
      return nullptr;
    }
    deflater_ = z_stream{};
    if (deflateInit2(&deflater_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, MAX_WBITS + 16, kMemoryLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      return nullptr;
    }
    if (file_.open(name, createNew) == nullptr) {
      deflateEnd(&deflater_);
      return nullptr;
    }
    opened_ = true;
    setp(buffer_, buffer_ + kPutArea);
    return this;
  }

  // Compresses what is left, writes the end of the compressed data and closes the file.
  // Returns null when it was not open or when anything failed (the end of the compressed data
  // may then be missing); the file is closed in every case.
  GZStreamBuf* close() {
    if (!opened_) {
      return nullptr;
    }
    const bool flushed = sync() == 0;
    const bool finished = flushed && Deflate(nullptr, 0, Z_FINISH);
    opened_ = false;
    setp(buffer_, buffer_);
    deflateEnd(&deflater_);
    const bool closed = file_.close() != nullptr;
    return finished && closed ? this : nullptr;
  }

 protected:
  int_type overflow(int_type c) override {
    if (!opened_) {
      return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    if (!FlushPutArea()) {
      return traits_type::eof();
    }
    return traits_type::not_eof(c);
  }

  int sync() override {
    if (pptr() != nullptr && pptr() > pbase()) {
      return FlushPutArea() ? 0 : -1;
    }
    return 0;
  }

 private:
  static constexpr int kPutArea = 302;
  static constexpr int kMemoryLevel = 8;  // zlib's default, which gzopen uses
  static constexpr unsigned kOutputSize = 8192;

  // Compresses count bytes (flush Z_NO_FLUSH) or finishes the stream (Z_FINISH), handing every
  // compressed byte to the file. False when zlib or the file fails.
  bool Deflate(const char* bytes, unsigned count, int flush) {
    deflater_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
    deflater_.avail_in = count;
    for (;;) {
      deflater_.next_out = output_;
      deflater_.avail_out = kOutputSize;
      const int result = deflate(&deflater_, flush);
      if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
        return false;
      }
      const auto produced = static_cast<std::streamsize>(kOutputSize - deflater_.avail_out);
      if (produced > 0 &&
          file_.sputn(reinterpret_cast<const char*>(output_), produced) != produced) {
        return false;
      }
      if (flush == Z_FINISH ? result == Z_STREAM_END
                            : deflater_.avail_in == 0 && deflater_.avail_out != 0) {
        return true;
      }
      if (produced == 0 && result == Z_BUF_ERROR) {
        return false;  // no progress possible
      }
    }
  }

  // Hands the put area to deflate; true when all of it was taken.
  bool FlushPutArea() {
    const auto count = static_cast<unsigned>(pptr() - pbase());
    if (!Deflate(pbase(), count, Z_NO_FLUSH)) {
      return false;
    }
    pbump(-static_cast<int>(count));
    return true;
  }

  DriveFileBuf file_;
  z_stream deflater_{};
  char buffer_[kPutArea + 1];
  Bytef output_[kOutputSize];
  bool opened_ = false;
};

// Owns a stream buffer of type Buffer and attaches it to its output stream: open, close and
// is_open as a file stream has them, a failure to open or close setting the stream's bad state.
template <class Buffer>
class BasicDriveStream : public std::ostream {
 public:
  BasicDriveStream() : std::ostream(nullptr) { rdbuf(&buffer_); }

  void open(const char* name, std::ios::openmode mode = std::ios::out) {
    if (OpenBuffer(buffer_, name, mode) == nullptr) {
      setstate(std::ios::badbit);
    }
  }
  // The same as open, but creates name only when nothing is there yet.
  void create_new(const char* name, std::ios::openmode mode = std::ios::out) {
    if (CreateBuffer(buffer_, name, mode) == nullptr) {
      setstate(std::ios::badbit);
    }
  }
  void close() {
    if (buffer_.is_open() && buffer_.close() == nullptr) {
      setstate(std::ios::badbit);
    }
  }
  bool is_open() const { return buffer_.is_open(); }

 private:
  static DriveFileBuf* OpenBuffer(DriveFileBuf& buffer, const char* name, std::ios::openmode) {
    return buffer.open(name);
  }
  static GZStreamBuf* OpenBuffer(GZStreamBuf& buffer, const char* name, std::ios::openmode mode) {
    return buffer.open(name, mode);
  }
  static DriveFileBuf* CreateBuffer(DriveFileBuf& buffer, const char* name, std::ios::openmode) {
    return buffer.open(name, true);
  }
  static GZStreamBuf* CreateBuffer(GZStreamBuf& buffer, const char* name, std::ios::openmode mode) {
    return buffer.open(name, mode, true);
  }

  Buffer buffer_;
};

// A file on the drive, written as it is.
using DriveFileStream = BasicDriveStream<DriveFileBuf>;
// A file on the drive, written gzip-compressed.
using ogzstream = BasicDriveStream<GZStreamBuf>;

}  // namespace GZStream_ns
