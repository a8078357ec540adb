#include "sound/Card_sound.h"

#include <cstdlib>
#include <ostream>
#include <stdexcept>

#include "driver/Stream_splitter.h"

namespace SoundInput_ns {
namespace {

constexpr uint32_t kCardRate = 44100;
constexpr uint32_t kHalfCardRate = 22050;
// How long one wait for a buffer lasts before an interruption is looked at.
constexpr uint32_t kWaitSliceMilliseconds = 100;

// The card that is open, closed by CloseOpenCardAtExit when the program ends with it still
// open. It runs before the destructors of the objects created at start-up (the log and the
// tee among them), so the close can still report.
CardSound* openCard = nullptr;

void CloseOpenCardAtExit() {
  if (openCard != nullptr) {
    openCard->Close();
  }
}

// A device's score: 2 when it records 44100 Hz mono 8-bit, 1 when it records 22050 Hz.
int Score(uint32_t formats) {
  if ((formats & Platform_ns::kWaveFormatMono8Bit44100) != 0) {
    return 2;
  }
  if ((formats & Platform_ns::kWaveFormatMono8Bit22050) != 0) {
    return 1;
  }
  return 0;
}

[[noreturn]] void RaiseDriverFailure() {
  throw std::runtime_error("Possibly missing device driver");
}

}  // namespace

CardSound::~CardSound() {
  if (deviceOpen_) {
    Close();
  }
}

void CardSound::Open(std::string) {
  if (deviceOpen_) {
    return;  // already recording
  }
  Platform_ns::WaveInput& input = Platform_ns::CurrentWaveInput();
  const uint32_t count = input.DeviceCount();
  if (count < 1) {
    throw std::runtime_error("No wave input devices installed");
  }
  // From the highest-numbered device down; only a strictly higher score replaces the best so
  // far, so among equals the highest-numbered device wins.
  int bestScore = 0;
  uint32_t bestDevice = 0;
  for (uint32_t device = count; device-- > 0;) {
    uint32_t formats = 0;
    if (!input.DeviceFormats(device, formats)) {
      RaiseDriverFailure();
    }
    const int score = Score(formats);
    if (score > bestScore) {
      bestScore = score;
      bestDevice = device;
    }
  }
  if (bestScore == 0) {
    throw std::runtime_error("No suitable devices found (sampling formats)");
  }
  SampleRate = bestScore == 2 ? kCardRate : kHalfCardRate;
  if (!input.Open(bestDevice, SampleRate)) {
    throw std::runtime_error("No suitable wave devices found (2)");
  }

  input_ = &input;
  try {
    if (!input.Start()) {
      RaiseDriverFailure();
    }
    storage_ = std::make_unique<uint8_t[]>(2 * kBufferLength);
    buffers_[0] = {storage_.get(), kBufferLength};
    buffers_[1] = {storage_.get() + kBufferLength, kBufferLength};
    queued_[0] = queued_[1] = false;
    QueueBuffer(0);
    QueueBuffer(1);
    next_ = 0;
    delivering_ = -1;
    TakeNextBuffer();
  } catch (...) {
    // Leave the device as it was found, so that a later Open can try again.
    input.Stop();
    input.Close();
    input_ = nullptr;
    current_ = nullptr;
    storage_.reset();
    throw;
  }

  keys_ = &Platform_ns::CurrentKeyInput();
  keys_->Begin();
  stopRequested_ = false;
  overrunReported_ = false;
  deviceOpen_ = true;
  if (openCard == nullptr) {
    static const bool registered = std::atexit(CloseOpenCardAtExit) == 0;
    static_cast<void>(registered);
    openCard = this;
  }
}

void CardSound::QueueBuffer(int which) {
  if (!input_->Queue(buffers_[which])) {
    RaiseDriverFailure();
  }
  queued_[which] = true;
}

bool CardSound::WaitUntilFull(int which, bool honourInterruption) {
  if (!queued_[which]) {
    return true;
  }
  for (;;) {
    switch (input_->WaitUntilFull(buffers_[which], kWaitSliceMilliseconds)) {
      case Platform_ns::WaveWait::kFull:
        queued_[which] = false;
        return true;
      case Platform_ns::WaveWait::kFailed:
        return false;
      case Platform_ns::WaveWait::kNotYet:
        if (honourInterruption) {
          StreamSplitter_ns::CheckInterrupted();
        }
        break;
    }
  }
}

void CardSound::TakeNextBuffer() {
  // The buffer just used up goes back to the device only now that all its samples are taken,
  // so the device can never overwrite a sample before it is delivered.
  if (delivering_ >= 0) {
    QueueBuffer(delivering_);
  }
  if (!WaitUntilFull(next_, deviceOpen_)) {
    RaiseDriverFailure();
  }
  if (!overrunReported_ && input_->TakeOverrun()) {
    ReportOverrun();
  }
  delivering_ = next_;
  current_ = buffers_[next_].data;
  index_ = 0;
  next_ = 1 - next_;
}

void CardSound::ReportOverrun() {
  overrunReported_ = true;
  StreamSplitter_ns::Tee << "Sound card overrun: part of the recording was lost." << std::endl;
}

bool CardSound::AtEnd() {
  if (!stopRequested_ && keys_ != nullptr) {
    const int key = keys_->NextKey();
    if (key == Platform_ns::kEscapeKey || key == 'Q' || key == 'q') {
      stopRequested_ = true;
    }
  }
  return stopRequested_;
}

bool CardSound::Close() {
  if (!deviceOpen_) {
    return false;
  }
  deviceOpen_ = false;
  if (openCard == this) {
    openCard = nullptr;
  }
  keys_->End();
  keys_ = nullptr;
  current_ = nullptr;
  delivering_ = -1;

  // Both buffers must be out of the device's hands before it is released: first the one to be
  // taken next, then the other.
  bool released = WaitUntilFull(next_, false) && WaitUntilFull(1 - next_, false);
  released = released && input_->Stop();
  released = released && input_->Close();
  input_ = nullptr;
  if (!released) {
    StreamSplitter_ns::Tee << "\nPossibly missing device driver." << std::flush;
    return true;
  }
  storage_.reset();
  buffers_[0] = buffers_[1] = Platform_ns::WaveBuffer{};
  return false;
}

}  // namespace SoundInput_ns
