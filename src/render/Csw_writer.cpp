#include "render/Csw_writer.h"

#include <zlib.h>

#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>

namespace TapeBuilder_ns {

void SignRunPulses::Emit() {
  if (run_ > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument("pulse longer than 2^32-1 samples");
  pulses_.Pulse(static_cast<uint32_t>(run_));
  ++pulseCount_;
  run_ = 0;
}

void SignRunPulses::Put(const int8_t* samples, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const int sign = (samples[i] > 0) - (samples[i] < 0);
    if (sign != 0 && sign != level_) {
      if (level_ == 0) {
        // Leading zeros make a pulse of their own, at the level opposite the first signal.
        initialHigh_ = run_ > 0 ? sign < 0 : sign > 0;
      }
      if (run_ > 0)
        Emit();
      level_ = sign;
    }
    ++run_;
  }
}

void SignRunPulses::Finish() {
  if (run_ > 0)
    Emit();  // all zeros, when no level was ever set: one low pulse
}

class CswStreamWriter::Deflater {
 public:
  Deflater() {
    if (deflateInit(&stream_, Z_BEST_COMPRESSION) != Z_OK)
      throw std::runtime_error("zlib cannot start compressing");
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Compresses bytes (and, with finish, ends the stream) into out.
  void Run(std::vector<uint8_t>& bytes, bool finish, std::ostream& out) {
    stream_.next_in = bytes.data();
    stream_.avail_in = static_cast<uInt>(bytes.size());
    unsigned char buffer[1 << 14];
    for (;;) {
      stream_.next_out = buffer;
      stream_.avail_out = sizeof buffer;
      const int status = deflate(&stream_, finish ? Z_FINISH : Z_NO_FLUSH);
      if (status == Z_STREAM_ERROR)
        throw std::runtime_error("zlib compression failed");
      out.write(reinterpret_cast<const char*>(buffer),
                static_cast<std::streamsize>(sizeof buffer - stream_.avail_out));
      if (finish ? status == Z_STREAM_END : stream_.avail_in == 0 && stream_.avail_out != 0)
        break;
    }
    bytes.clear();
  }

 private:
  z_stream stream_{};
};

CswStreamWriter::CswStreamWriter(std::ostream& out, uint32_t sampleRate, uint32_t pulseCount,
                                 CswCompression compression, bool initialPolarityHigh,
                                 const char* application)
    : out_(out), declared_(pulseCount) {
  const std::vector<uint8_t> header =
      CswHeader(sampleRate, pulseCount, compression, initialPolarityHigh, application);
  if (compression == CswCompression::ZRle)
    deflater_ = std::make_unique<Deflater>();
  out_.write(reinterpret_cast<const char*>(header.data()),
             static_cast<std::streamsize>(header.size()));
  Check();
  pending_.reserve(1 << 16);
}

CswStreamWriter::~CswStreamWriter() = default;

void CswStreamWriter::Pulse(uint32_t length) {
  AppendCswPulse(pending_, length);
  ++written_;
  if (pending_.size() >= (1u << 16) - 5)
    Drain(false);
}

void CswStreamWriter::Drain(bool finish) {
  if (deflater_) {
    deflater_->Run(pending_, finish, out_);
  } else {
    out_.write(reinterpret_cast<const char*>(pending_.data()),
               static_cast<std::streamsize>(pending_.size()));
    pending_.clear();
  }
  Check();
}

void CswStreamWriter::Finish() {
  if (written_ != declared_)
    throw std::runtime_error("CSW header states " + std::to_string(declared_) + " pulses, but " +
                             std::to_string(written_) + " were written");
  Drain(true);
  out_.flush();
  Check();
}

void CswStreamWriter::Check() const {
  if (!out_)
    throw std::runtime_error("the CSW recording could not be written");
}

}  // namespace TapeBuilder_ns
