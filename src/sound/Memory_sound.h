#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sound/Sound_device_base.h"

namespace SoundInput_ns {

// A sound held in memory, for decoding without a file: 8-bit samples (stored signed, or
// unsigned with silence at 128) or pulse lengths coded as in a CSW file's RLE data (a byte 1 to
// 255 is a pulse of that length; a byte 0 is followed by the length in 32 bits, little-endian;
// a long pulse cut short ends the pulses). The bytes are the caller's and must outlive the
// source. Read through the virtual interface; Open and Close do nothing.
class MemorySound final : public SoundBase {
 public:
  enum class Form { kSignedSamples, kUnsignedSamples, kPulses };

  MemorySound(const uint8_t* bytes, size_t count, Form form, uint32_t sampleRate);

  void Open(std::string) override {}
  bool Close() override { return false; }
  void ResetCounters() override;
  void Rewind() override { ResetCounters(); }
  int8_t NextSample() override;
  uint32_t NextPulse() override;

 private:
  const uint8_t* bytes_;
  size_t count_;
  size_t next_ = 0;
  Form form_;
};

}  // namespace SoundInput_ns
