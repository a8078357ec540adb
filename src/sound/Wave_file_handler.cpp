#include "sound/Wave_file_handler.h"

#include <stdexcept>

namespace SoundInput_ns {

WAVSound::~WAVSound() { Close(); }

void WAVSound::Open(std::string) { throw std::runtime_error("WAV files are not supported yet"); }

bool WAVSound::Close() { return false; }

}  // namespace SoundInput_ns
