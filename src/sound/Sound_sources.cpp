// The sound source objects: one of each kind for the whole process, created before the
// command line is read. CurrentSound points at the active one.
#include "sound/Card_sound.h"
#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"

namespace SoundInput_ns {

CardSound TheCardSound;
CSWSound TheCSWSound;
WAVSound TheWAVSound;
RAWSound TheRAWSound;

SoundBase* CurrentSound = &TheCardSound;

}  // namespace SoundInput_ns
