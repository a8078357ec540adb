#include "sound/Csw_file_handler.h"

#include <cmath>
#include <cstring>

namespace SoundInput_ns {
namespace {

constexpr char kSignature[22] = {'C', 'o', 'm', 'p', 'r', 'e', 's', 's', 'e', 'd', ' ',
                                 'S', 'q', 'u', 'a', 'r', 'e', ' ', 'W', 'a', 'v', 'e'};
constexpr int kTerminator = 0x1A;
constexpr uint8_t kSupportedMajorVersion = 2;

// Flag bits: bit 0 the initial polarity, bit 2 allows a text record in the header extension.
constexpr uint8_t kPolarityHighFlag = 0x01;
constexpr uint8_t kTextAllowedFlag = 0x04;

// The header up to the pulse data, without the extension.
constexpr std::streamoff kHeaderLength = 52;
constexpr std::streamsize kApplicationLength = 16;
constexpr uint8_t kTextRecord = 2;

const char kBadExtension[] = "Doesn't appear to have a valid header extention";

[[noreturn]] void Refuse(const char* message) {
  throw std::runtime_error(message);
}

}  // namespace

CSWSound::~CSWSound() {
  Close();
}

void CSWSound::RaiseReadingError() {
  throw std::runtime_error("CSW file reading error");
}

void CSWSound::ResetCounters() {
  Ended = false;
  Position = 0;
  CountedPulses = 0;
  elapsed_ = 0;
  dataEnded_ = false;
  windowNext_ = 0;
  windowEnd_ = 0;
}

uint8_t CSWSound::ReadHeaderByte() {
  const auto c = input_.ReadByte();
  if (c == SoundInputFileImplementation::EndOfFile()) {
    Refuse("File reading error");
  }
  return static_cast<uint8_t>(c);
}

uint32_t CSWSound::ReadHeader32() {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(ReadHeaderByte()) << (8 * i);
  }
  return value;
}

// The extension is a record count N, then records of a type byte, a length byte L and L bytes.
// The records must fill the extension exactly, and there must be N of them. A text record
// (type 2) is taken once, and only when the flags allow it; other records are skipped.
void CSWSound::ReadHeaderExtension() {
  if (extensionLength_ < 3) {
    Refuse(kBadExtension);
  }
  const unsigned declaredRecords = ReadHeaderByte();
  unsigned remaining = extensionLength_ - 1u;
  unsigned records = 0;
  bool textSeen = false;
  char content[255];
  while (remaining > 0) {
    const uint8_t type = ReadHeaderByte();
    const uint8_t length = ReadHeaderByte();
    if (length + 2u > remaining) {
      Refuse(kBadExtension);
    }
    remaining -= length + 2u;
    if (type == kTextRecord && (textSeen || !textAllowed_)) {
      Refuse(kBadExtension);
    }
    if (input_.ReadBlock(content, length) != length) {
      Refuse("File reading error");
    }
    if (type == kTextRecord) {
      textSeen = true;
      extensionText_.assign(content, length);
    }
    ++records;
  }
  if (records != declaredRecords) {
    Refuse(kBadExtension);
  }
}

void CSWSound::Open(std::string name) {
  if (input_.IsOpen()) {
    Refuse("A CSW file is already open");
  }
  input_.Clear();
  input_.Open(name);
  if (!input_.IsOpen()) {
    throw std::runtime_error("Could not open " + name);
  }
  SampleRate = 0;
  headerPulseCount_ = 0;
  TotalLength = 0;
  totalPulseLength_ = 0;
  dataStart_ = 0;
  encodingApplication_.clear();
  majorVersion_ = 0;
  minorVersion_ = 0;
  compression_ = kNone;
  extensionLength_ = 0;
  initialPolarity_ = kUnknown;
  textAllowed_ = false;
  extensionText_.clear();
  ResetCounters();

  char signature[sizeof kSignature];
  if (input_.ReadBlock(signature, sizeof signature) != sizeof signature) {
    Refuse("File reading error");
  }
  if (std::memcmp(signature, kSignature, sizeof signature) != 0) {
    Refuse("Doesn't appear to be a valid CSW file");
  }
  const auto terminator = input_.ReadByte();
  if (terminator != kTerminator) {
    if (terminator == SoundInputFileImplementation::EndOfFile()) {
      Refuse("File reading error");
    }
    Refuse("Doesn't appear to be a valid CSW file");
  }
  majorVersion_ = ReadHeaderByte();
  minorVersion_ = ReadHeaderByte();
  if (majorVersion_ != kSupportedMajorVersion) {
    Refuse("Not a supported version of CSW file format");
  }
  SampleRate = ReadHeader32();
  headerPulseCount_ = ReadHeader32();
  if (SampleRate == 0) {
    Refuse("Sampling rate is 0");
  }
  const uint8_t compression = ReadHeaderByte();
  if (compression != kRle && compression != kZRle) {
    Refuse("Not a supported compression type");
  }
  const uint8_t flags = ReadHeaderByte();
  initialPolarity_ = (flags & kPolarityHighFlag) != 0 ? kHigh : kLow;
  if ((flags & ~kPolarityHighFlag) != 0) {
    if (minorVersion_ == 0) {
      Refuse("Flags bits 1 to 7 are not 0");
    }
    textAllowed_ = (flags & kTextAllowedFlag) != 0;
  }
  extensionLength_ = ReadHeaderByte();
  char application[kApplicationLength];
  if (input_.ReadBlock(application, kApplicationLength) != kApplicationLength) {
    Refuse("File reading error");
  }
  const void* end = std::memchr(application, '\0', sizeof application);
  encodingApplication_.assign(
      application, end == nullptr
                       ? sizeof application
                       : static_cast<size_t>(static_cast<const char*>(end) - application));
  if (extensionLength_ != 0) {
    ReadHeaderExtension();
  }
  // The pulse data starts after the extension, whatever its records said.
  dataStart_ = kHeaderLength + extensionLength_;
  input_.SeekFromBeginning(dataStart_);

  // First pass: sum the pulses; the end of the data checks their number.
  compression_ = static_cast<Compression>(compression);
  if (compression_ == kZRle) {
    StartDecompression();
  }
  uint64_t sum = 0;
  {
    PulseCursor pulses(*this);
    for (uint32_t pulse = pulses.Next(); pulse != 0; pulse = pulses.Next()) {
      const uint64_t next = sum + pulse;
      sum = next < sum ? UINT64_MAX : next;
    }
  }
  totalPulseLength_ = sum;
  // Beyond the 32-bit field's reach the length is kept at its largest value.
  TotalLength = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);

  Rewind();
  if (headerPulseCount_ == 0 && compression_ == kZRle) {
    dataEnded_ = true;
  }
  // Pulses alternate in polarity from the initial one. Without -p the waves are measured from
  // a high pulse, with -p from a low one: drop the first pulse when it is the other kind.
  if (PulseInput && ((NoPhaseShift && initialPolarity_ == kLow) ||
                     (!NoPhaseShift && initialPolarity_ == kHigh))) {
    NextPulse();
  }
}

bool CSWSound::Close() {
  PulseInput = false;
  NoPhaseShift = false;
  input_.Clear();
  if (input_.IsOpen()) {
    ResetCounters();
    input_.Close();
  }
  EndDecompression();
  // With nothing open, reading ends at once and quietly.
  compression_ = kNone;
  headerPulseCount_ = 0;
  return input_.Bad() || input_.Fail();
}

void CSWSound::Rewind() {
  input_.Clear();
  input_.SeekFromBeginning(dataStart_);
  ResetCounters();
  if (compression_ == kZRle) {
    StartDecompression();
  }
}

int64_t CSWSound::ProgressPercent() {
  if (totalPulseLength_ == 0) {
    return 0;
  }
  return static_cast<int64_t>(std::trunc(
      static_cast<double>(elapsed_) / static_cast<double>(totalPulseLength_) * 100 + 0.5));
}

// The bytes at hand are those of the window (Z-RLE) or of the file's buffer (RLE). They are
// taken here only while the data goes on and while no sum of them can reach the largest
// elapsed length, so that a one-byte pulse is counted simply by adding it.
void CSWSound::PulseCursor::Load() {
  elapsed_ = source_.elapsed_;
  next_ = end_ = nullptr;
  constexpr uint64_t kMostAtHand = 255u * (uint64_t{1} << 16);
  if (source_.Ended || source_.dataEnded_ || elapsed_ > UINT64_MAX - kMostAtHand) {
    start_ = next_;
    return;
  }
  if (source_.compression_ == kZRle) {
    next_ = source_.window_ + source_.windowNext_;
    end_ = source_.window_ + source_.windowEnd_;
  } else if (source_.compression_ == kRle) {
    next_ = source_.input_.Next();
    end_ = source_.input_.End();
  }
  start_ = next_;
}

void CSWSound::PulseCursor::Commit() {
  if (next_ == start_) {
    return;
  }
  source_.CountedPulses += static_cast<uint64_t>(next_ - start_);
  source_.elapsed_ = elapsed_;
  source_.Position = elapsed_ > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(elapsed_);
  if (source_.compression_ == kZRle) {
    source_.windowNext_ = static_cast<size_t>(next_ - source_.window_);
  } else {
    source_.input_.Taken(next_);
  }
  start_ = next_;
}

uint32_t CSWSound::StoredLongPulse() {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    const auto c = input_.ReadByte();
    if (c == SoundInputFileImplementation::EndOfFile()) {
      Refuse("File reading error");
    }
    length |= static_cast<uint32_t>(c) << (8 * i);
  }
  return length;
}

uint32_t CSWSound::InflatedLongPulse() {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    if (windowNext_ == windowEnd_ && !RefillWindow()) {
      Refuse("Unexpected end of file");
    }
    length |= static_cast<uint32_t>(window_[windowNext_++]) << (8 * i);
  }
  return length;
}

void CSWSound::StartDecompression() {
  if (inflaterReady_) {
    if (inflateReset(&inflater_) != Z_OK) {
      Refuse("Zstream not initialising");
    }
  } else {
    inflater_ = z_stream{};
    inflater_.zalloc = Z_NULL;
    inflater_.zfree = Z_NULL;
    inflater_.opaque = Z_NULL;
    inflater_.next_in = compressed_;
    inflater_.avail_in = 0;
    if (inflateInit(&inflater_) != Z_OK) {
      Refuse("Zstream not initialising");
    }
    inflaterReady_ = true;
  }
  inflater_.next_in = compressed_;
  inflater_.avail_in = 0;
  fileExhausted_ = false;
  streamEnded_ = false;
  windowNext_ = 0;
  windowEnd_ = 0;
}

void CSWSound::EndDecompression() {
  if (inflaterReady_) {
    inflateEnd(&inflater_);
    inflaterReady_ = false;
  }
}

// Fills the window with the next inflated bytes; false when there are none. Called only once
// every byte of the window has been taken. The file is read 2048 bytes at a time when inflate
// has used up its input; inflate is called again even after the last read, for the output it
// may still hold. A read that gives inflate only bytes without output (the stream's checksum,
// say) is followed by the next read.
bool CSWSound::RefillWindow() {
  if (!inflaterReady_) {
    return false;
  }
  for (;;) {
    if (streamEnded_) {
      return false;
    }
    if (inflater_.avail_in == 0 && !fileExhausted_) {
      const std::streamsize got =
          input_.ReadBlock(reinterpret_cast<char*>(compressed_), sizeof compressed_);
      if (input_.Bad()) {
        Refuse("Major CSW file reading error");
      }
      if (got <= 0) {
        fileExhausted_ = true;
      } else {
        inflater_.next_in = compressed_;
        inflater_.avail_in = static_cast<uInt>(got);
      }
    }
    const uInt inputBefore = inflater_.avail_in;
    inflater_.next_out = window_;
    inflater_.avail_out = static_cast<uInt>(sizeof window_);
    const int result = inflate(&inflater_, Z_SYNC_FLUSH);
    if (result == Z_STREAM_END) {
      streamEnded_ = true;
    } else if (result != Z_OK && result != Z_BUF_ERROR) {
      Refuse("Decompressing CSW file error");
    }
    // Z_BUF_ERROR only says that nothing could be done: no input left, no output held.
    const size_t produced = sizeof window_ - inflater_.avail_out;
    if (produced > 0) {
      windowNext_ = 0;
      windowEnd_ = produced;
      return true;
    }
    if (inflater_.avail_in == 0) {
      if (fileExhausted_) {
        return false;  // the stream stops short: the data ends here
      }
    } else if (inflater_.avail_in == inputBefore && !streamEnded_) {
      Refuse("Decompressing CSW file error");  // inflate can make no progress
    }
  }
}

void CSWSound::EndOfData() {
  Ended = true;
  dataEnded_ = true;
  if (CountedPulses != headerPulseCount_) {
    const int64_t difference =
        static_cast<int64_t>(headerPulseCount_) - static_cast<int64_t>(CountedPulses);
    throw std::runtime_error("Incorrect number of pulses by " + std::to_string(difference));
  }
}

}  // namespace SoundInput_ns
