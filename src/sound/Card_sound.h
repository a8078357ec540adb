#pragma once

#include <string>

#include "sound/Sound_device_base.h"

namespace SoundInput_ns {

// Live input from the sound card's wave input, 8-bit mono. The default source when no input
// file is named.
class CardSound final : public SoundBase {
 public:
  CardSound() = default;
  ~CardSound() override;

  // Picks a capture device and starts recording; the name is ignored.
  void Open(std::string name) override;
  bool Close() override;

 private:
  bool deviceOpen_ = false;
};

extern CardSound TheCardSound;

}  // namespace SoundInput_ns
