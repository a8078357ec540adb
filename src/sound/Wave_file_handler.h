#pragma once

#include <string>

#include "sound/Sound_device_base.h"

namespace SoundInput_ns {

// A RIFF WAVE file of 8-bit mono PCM samples.
class WAVSound final : public SoundBase {
 public:
  WAVSound() = default;
  ~WAVSound() override;

  void Open(std::string name) override;
  bool Close() override;

 private:
  SoundInputFileImplementation input_;
};

extern WAVSound TheWAVSound;

}  // namespace SoundInput_ns
