#pragma once

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "sound/Sound_device_base.h"

namespace SoundInput_ns {

// A Compressed Square Wave file (version 2): the recording already reduced to a square wave
// and stored as the lengths of its successive pulses (half waves), in samples at the file's
// rate. The pulse data is run-length coded (RLE), or that coding compressed with zlib (Z-RLE):
// a byte 1 to 255 is a pulse of that many samples, a byte 0 is followed by a 32-bit
// little-endian length.
//
// Open reads the pulses once to sum them and to check their number against the header, so
// every fault of the data is raised there, then returns to the first pulse. A long pulse of
// length 0 ends the data wherever it is, without that check. Z-RLE data is
// inflated through a fixed 2048-byte input buffer and a fixed 2048-byte window: memory does
// not depend on the file or on what it declares.
class CSWSound final : public SoundBase {
 public:
  SourceKind Kind() const override { return SourceKind::kCsw; }
  static constexpr size_t kBufferSize = 2048;

  CSWSound() = default;
  ~CSWSound() override;

  void ResetCounters() override;
  void Open(std::string name) override;
  bool Close() override;
  void Rewind() override;
  // Exact even where the 32-bit Position and TotalLength have reached their limits.
  int64_t ProgressPercent() override;

  // The next pulse length in samples; 0 once the data has ended.
  uint32_t NextPulse() override {
    if (compression_ == kZRle) {
      if (dataEnded_) {
        Ended = true;
      }
      if (Ended) {
        return 0;
      }
      if (windowNext_ == windowEnd_ && !RefillWindow()) {
        EndOfData();
        return 0;
      }
      const uint8_t b = window_[windowNext_++];
      if (b != 0) {
        return Count(b);
      }
      return LongPulse(InflatedLongPulse());
    }
    if (Ended) {
      return 0;
    }
    const auto c = input_.ReadByte();
    if (c == SoundInputFileImplementation::EndOfFile()) {
      if (input_.Bad()) {
        RaiseReadingError();
      }
      EndOfData();
      return 0;
    }
    if (c != 0) {
      return Count(static_cast<uint32_t>(c));
    }
    return LongPulse(StoredLongPulse());
  }

  // Takes pulses many at a time: the same pulses, counts, Position and end as calls of
  // NextPulse give, with the reading position and the counters held in the cursor while it
  // takes the one-byte pulses at hand, and everything else (long pulses, refills, the end)
  // left to NextPulse. The counters reach the source before every call of NextPulse and when
  // the cursor goes out of scope, so only one cursor may read a source at a time, and the
  // source is not read otherwise meanwhile.
  class PulseCursor {
   public:
    explicit PulseCursor(CSWSound& source) : source_(source) { Load(); }
    ~PulseCursor() { Commit(); }
    PulseCursor(const PulseCursor&) = delete;
    PulseCursor& operator=(const PulseCursor&) = delete;

    // The next pulse length in samples; 0 once the data has ended.
    uint32_t Next() {
      if (next_ != end_) {
        const uint8_t b = *next_;
        if (b != 0) {
          ++next_;
          elapsed_ += b;
          return b;
        }
      }
      Commit();
      const uint32_t pulse = source_.NextPulse();
      Load();
      return pulse;
    }

   private:
    void Load();
    void Commit();

    CSWSound& source_;
    const uint8_t* next_ = nullptr;
    const uint8_t* end_ = nullptr;
    const uint8_t* start_ = nullptr;  // where next_ was when the source last had the counters
    uint64_t elapsed_ = 0;
  };

  // Set by the driver when this object is the input, before Open; both cleared by Close.
  // With PulseInput set, Open drops the first pulse where needed so that the first pulse
  // delivered is high when NoPhaseShift is set (no -p), low when it is not.
  bool PulseInput = false;
  bool NoPhaseShift = false;

  // Pulses delivered since the last ResetCounters (the first pass in Open included).
  uint64_t CountedPulses = 0;

  // What the header declares.
  uint8_t MajorVersion() const { return majorVersion_; }
  uint8_t MinorVersion() const { return minorVersion_; }
  uint32_t HeaderPulseCount() const { return headerPulseCount_; }
  bool InitialPolarityHigh() const { return initialPolarity_ == kHigh; }
  const std::string& EncodingApplication() const { return encodingApplication_; }
  const std::string& ExtensionText() const { return extensionText_; }
  // The sum of all pulse lengths, not limited to 32 bits as TotalLength is.
  uint64_t TotalPulseLength() const { return totalPulseLength_; }

 private:
  enum Compression : uint8_t { kNone = 0, kRle = 1, kZRle = 2 };
  enum Polarity : uint8_t { kUnknown = 0, kLow = 1, kHigh = 2 };

  uint32_t Count(uint32_t pulse) {
    ++CountedPulses;
    const uint64_t reached = elapsed_ + pulse;
    elapsed_ = reached < elapsed_ ? UINT64_MAX : reached;
    Position = elapsed_ > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(elapsed_);
    return pulse;
  }

  // A long pulse of length 0 reads as the end of the data, without the check of the pulses'
  // number: the first pass in Open stops there, and so does every later reading, so that no
  // fault of the data after it can surface while the recording is decoded.
  uint32_t LongPulse(uint32_t pulse) {
    if (pulse == 0) {
      Ended = true;
      dataEnded_ = true;
      return 0;
    }
    return Count(pulse);
  }

  [[noreturn]] static void RaiseReadingError();
  uint8_t ReadHeaderByte();
  uint32_t ReadHeader32();
  void ReadHeaderExtension();
  uint32_t StoredLongPulse();
  uint32_t InflatedLongPulse();
  bool RefillWindow();
  void StartDecompression();
  void EndDecompression();
  void EndOfData();

  SoundInputFileImplementation input_;
  uint8_t majorVersion_ = 0;
  uint8_t minorVersion_ = 0;
  Compression compression_ = kNone;
  uint32_t headerPulseCount_ = 0;
  Polarity initialPolarity_ = kUnknown;
  bool textAllowed_ = false;
  uint8_t extensionLength_ = 0;
  std::string encodingApplication_;
  std::string extensionText_;
  std::streamoff dataStart_ = 0;
  uint64_t totalPulseLength_ = 0;
  uint64_t elapsed_ = 0;  // the pulse lengths delivered, summed

  // Z-RLE: compressed bytes from the file, and the window of inflated bytes being consumed,
  // which holds the bytes from windowNext_ up to windowEnd_.
  uint8_t compressed_[kBufferSize] = {};
  uint8_t window_[kBufferSize] = {};
  size_t windowNext_ = 0;
  size_t windowEnd_ = 0;
  z_stream inflater_ = {};
  bool inflaterReady_ = false;
  bool fileExhausted_ = false;  // every compressed byte of the file has been read
  bool streamEnded_ = false;    // inflate has reached the end of the zlib stream
  bool dataEnded_ = false;      // no further pulse will come
};

extern CSWSound TheCSWSound;

}  // namespace SoundInput_ns
