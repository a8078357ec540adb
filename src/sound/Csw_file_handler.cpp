#include "sound/Csw_file_handler.h"

#include <stdexcept>

namespace SoundInput_ns {

CSWSound::~CSWSound() { Close(); }

void CSWSound::Open(std::string) { throw std::runtime_error("CSW files are not supported yet"); }

bool CSWSound::Close() {
  PulseInput = false;
  NoPhaseShift = false;
  return false;
}

}  // namespace SoundInput_ns
