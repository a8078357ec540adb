#pragma once

#include <string>

#include "sound/Sound_device_base.h"

namespace SoundInput_ns {

// A Compressed Square Wave file: the signal stored as pulse lengths.
class CSWSound final : public SoundBase {
 public:
  CSWSound() = default;
  ~CSWSound() override;

  void Open(std::string name) override;
  bool Close() override;

  // Set by the driver when this object is the input, before Open.
  bool PulseInput = false;
  bool NoPhaseShift = false;

 private:
  SoundInputFileImplementation input_;
};

extern CSWSound TheCSWSound;

}  // namespace SoundInput_ns
