#include "sound/Card_sound.h"

#include <stdexcept>

namespace SoundInput_ns {

CardSound::~CardSound() {
  if (deviceOpen_) {
    Close();
  }
}

void CardSound::Open(std::string) {
  // No capture backend is built in yet, so there is never a device to record from.
  throw std::runtime_error("No wave input devices installed");
}

bool CardSound::Close() {
  return false;
}

}  // namespace SoundInput_ns
