#include "sound/Memory_sound.h"

#include <limits>

namespace SoundInput_ns {

MemorySound::MemorySound(const uint8_t* bytes, size_t count, Form form, uint32_t sampleRate)
    : bytes_(bytes), count_(count), form_(form) {
  SampleRate = sampleRate;
  if (form != Form::kPulses) {
    TotalLength = count > static_cast<size_t>(std::numeric_limits<int32_t>::max())
                      ? std::numeric_limits<int32_t>::max()
                      : static_cast<int32_t>(count);
  }
}

void MemorySound::ResetCounters() {
  next_ = 0;
  Ended = false;
  Position = 0;
}

int8_t MemorySound::NextSample() {
  if (form_ == Form::kPulses || next_ == count_) {
    Ended = true;
    return 0;
  }
  ++Position;
  const uint8_t flip = form_ == Form::kUnsignedSamples ? 0x80 : 0x00;
  return static_cast<int8_t>(bytes_[next_++] ^ flip);
}

uint32_t MemorySound::NextPulse() {
  if (form_ != Form::kPulses || next_ == count_) {
    Ended = true;
    return 0;
  }
  uint32_t pulse = bytes_[next_++];
  if (pulse == 0) {
    if (count_ - next_ < 4) {
      next_ = count_;
      Ended = true;
      return 0;
    }
    pulse = static_cast<uint32_t>(bytes_[next_]) | static_cast<uint32_t>(bytes_[next_ + 1]) << 8 |
            static_cast<uint32_t>(bytes_[next_ + 2]) << 16 |
            static_cast<uint32_t>(bytes_[next_ + 3]) << 24;
    next_ += 4;
  }
  Position += pulse;
  return pulse;
}

}  // namespace SoundInput_ns
