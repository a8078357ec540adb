#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Keyboard.h"
#include "platform/Wave_input.h"
#include "sound/Sound_device_base.h"

namespace SoundInput_ns {

// Live input from the sound card's wave input, 8-bit mono at 44100 or 22050 samples per
// second. The default source when no input file is named. It records into two buffers taken
// in turn, and ends when Escape, Q or q is pressed.
class CardSound final : public SoundBase {
 public:
  SourceKind Kind() const override { return SourceKind::kCard; }
  static constexpr uint32_t kBufferLength = 16384;

  CardSound() = default;
  // Closes the device if it was opened.
  ~CardSound() override;

  // Picks the capture device, opens it and starts recording; returns once the first buffer is
  // full. The name is ignored.
  void Open(std::string name) override;
  // Waits until the device has given back every buffer, then stops and closes it. On a
  // failure it prints "\nPossibly missing device driver." and returns true.
  bool Close() override;
  // True once a stop key (Escape, Q or q) has been read; any other key is read and ignored.
  bool AtEnd() override;
  int8_t NextSample() override {
    if (current_ == nullptr) {
      return 0;
    }
    const uint8_t stored = current_[index_];
    if (++index_ == bufferLength_) {
      TakeNextBuffer();
    }
    return TypeConversion_ns::Conversions2sComplement::FromUnsigned(stored);
  }

 private:
  // Gives the buffer just used up back to the device and waits for the next one to fill.
  void TakeNextBuffer();
  void QueueBuffer(int which);
  // Waits until buffer which is full. During the recording an interruption (Control-C) is
  // acted upon while waiting; at the close it is not.
  bool WaitUntilFull(int which, bool honourInterruption);
  void ReportOverrun();

  const uint8_t* current_ = nullptr;  // the buffer whose samples are being delivered
  uint32_t bufferLength_ = kBufferLength;
  uint32_t index_ = 0;  // next sample's place in the current buffer

  Platform_ns::WaveInput* input_ = nullptr;  // the wave input recorded from, while open
  Platform_ns::KeyInput* keys_ = nullptr;    // the keys read, while open
  std::unique_ptr<uint8_t[]> storage_;       // both buffers, one after the other
  Platform_ns::WaveBuffer buffers_[2];
  bool queued_[2] = {false, false};
  int next_ = 0;         // the buffer to be taken next
  int delivering_ = -1;  // the buffer being delivered, or -1
  bool deviceOpen_ = false;
  bool stopRequested_ = false;
  bool overrunReported_ = false;
};

extern CardSound TheCardSound;

}  // namespace SoundInput_ns
