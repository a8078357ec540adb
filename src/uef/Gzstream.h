#pragma once

#include <zlib.h>

#include <istream>
#include <ostream>
#include <streambuf>
#include <string>

namespace GZStream_ns {

// A stream buffer that writes (or reads) a gzip file through zlib's gz file functions. Output
// collects up to 302 characters in its put area and hands them to gzwrite in one call; the
// buffer has one more place so that overflow can always store its character first.
template <class CharT, class Traits = std::char_traits<CharT>>
class GZStreamBuf : public std::basic_streambuf<CharT, Traits> {
 public:
  using int_type = typename Traits::int_type;

  GZStreamBuf() { this->setp(buffer_, buffer_ + kPutArea); }
  ~GZStreamBuf() override { close(); }
  GZStreamBuf(const GZStreamBuf&) = delete;
  GZStreamBuf& operator=(const GZStreamBuf&) = delete;

  bool is_open() const { return opened_; }

  // Opens name for reading or writing (not both, not appending). Returns this buffer, or null
  // when the mode is refused or zlib cannot open the file.
  GZStreamBuf* open(const char* name, std::ios::openmode mode) {
    if (opened_) {
      return nullptr;
    }
    if ((mode & std::ios::ate) || (mode & std::ios::app) ||
        ((mode & std::ios::in) && (mode & std::ios::out))) {
      return nullptr;
    }
    std::string zlibMode;
    if (mode & std::ios::in) {
      zlibMode += 'r';
    } else if (mode & std::ios::out) {
      zlibMode += 'w';
    }
    zlibMode += 'b';
    file_ = gzopen(name, zlibMode.c_str());
    if (file_ == nullptr) {
      return nullptr;
    }
    opened_ = true;
    mode_ = mode;
    this->setp(buffer_, buffer_ + kPutArea);
    this->setg(buffer_, buffer_, buffer_);
    return this;
  }

  // Writes what is left and closes the file. Returns null when it was not open or zlib
  // reports a failure (the end of the compressed data may then be missing).
  GZStreamBuf* close() {
    if (!opened_) {
      return nullptr;
    }
    const bool flushed = sync() == 0;
    opened_ = false;
    this->setp(buffer_, buffer_);
    this->setg(buffer_, buffer_, buffer_);
    const bool closed = gzclose(file_) == Z_OK;
    file_ = nullptr;
    return flushed && closed ? this : nullptr;
  }

 protected:
  int_type overflow(int_type c) override {
    if (!opened_ || !(mode_ & std::ios::out)) {
      return Traits::eof();
    }
    if (!Traits::eq_int_type(c, Traits::eof())) {
      *this->pptr() = Traits::to_char_type(c);
      this->pbump(1);
    }
    if (!FlushPutArea()) {
      return Traits::eof();
    }
    return Traits::not_eof(c);
  }

  int sync() override {
    if (this->pptr() != nullptr && this->pptr() > this->pbase()) {
      return FlushPutArea() ? 0 : -1;
    }
    return 0;
  }

  int_type underflow() override {
    if (this->gptr() != nullptr && this->gptr() < this->egptr()) {
      return Traits::to_int_type(*this->gptr());
    }
    if (!opened_ || !(mode_ & std::ios::in)) {
      return Traits::eof();
    }
    const int got = gzread(file_, buffer_, static_cast<unsigned>(kPutArea * sizeof(CharT)));
    if (got <= 0) {
      return Traits::eof();
    }
    this->setg(buffer_, buffer_, buffer_ + got / static_cast<int>(sizeof(CharT)));
    return Traits::to_int_type(*this->gptr());
  }

 private:
  static constexpr int kPutArea = 302;

  // Hands the put area to zlib; true when zlib took all of it.
  bool FlushPutArea() {
    const auto count = static_cast<int>(this->pptr() - this->pbase());
    const auto bytes = static_cast<unsigned>(count * static_cast<int>(sizeof(CharT)));
    if (gzwrite(file_, this->pbase(), bytes) != static_cast<int>(bytes)) {
      return false;
    }
    this->pbump(-count);
    return true;
  }

  gzFile file_ = nullptr;
  CharT buffer_[kPutArea + 1];
  bool opened_ = false;
  std::ios::openmode mode_{};
};

// Owns a GZStreamBuf and attaches it to its stream. Virtual base of the gzip streams.
class GZStreamBase : virtual public std::ios {
 public:
  GZStreamBase() { init(&buffer_); }
  GZStreamBase(const char* name, std::ios::openmode mode) {
    init(&buffer_);
    open(name, mode);
  }
  ~GZStreamBase() override { buffer_.close(); }

  void open(const char* name, std::ios::openmode mode) {
    if (buffer_.open(name, mode) == nullptr) {
      clear(rdstate() | std::ios::badbit);
    }
  }
  void close() {
    if (buffer_.is_open() && buffer_.close() == nullptr) {
      clear(rdstate() | std::ios::badbit);
    }
  }
  bool is_open() const { return buffer_.is_open(); }
  GZStreamBuf<char>* rdbuf() { return &buffer_; }

 protected:
  GZStreamBuf<char> buffer_;
};

// An output stream whose bytes are gzip-compressed into a file.
class ogzstream : public GZStreamBase, public std::ostream {
 public:
  ogzstream() : std::ostream(&buffer_) {}
  explicit ogzstream(const char* name, std::ios::openmode mode = std::ios::out)
      : GZStreamBase(name, mode), std::ostream(&buffer_) {}
  GZStreamBuf<char>* rdbuf() { return GZStreamBase::rdbuf(); }
  void open(const char* name, std::ios::openmode mode = std::ios::out) {
    GZStreamBase::open(name, mode);
  }
};

}  // namespace GZStream_ns
