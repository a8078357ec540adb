#pragma once

#include "driver/Command_line.h"
#include "waves/Wavesinputstate.h"

namespace SoundInput_ns {
class SoundBase;
}

namespace WavesInput_ns {

// Measures one wave from the input's sound source into wave, whose halves start at 0.
// The sample methods add one to a half for every sample they read and stop early, keeping a
// partial wave, when the sound ends; the CSW method sets both halves from two pulses.
using MeasureFunction = void (*)(WavesInputState& input, DelaysElementType& wave);

// Cuts the signal at its zero crossings; cycles that never reach 8 or -9 are merged into the
// next. With NormalPhase the positive half comes first.
void MeasureSign(WavesInputState& input, DelaysElementType& wave);

// Cuts the signal at its turning points; cycles that never reach 14 or -15 are merged into
// the next. With NormalPhase the falling half comes first.
void MeasurePeak(WavesInputState& input, DelaysElementType& wave);

// Takes two pulses of a CSW source as the wave's halves.
void MeasureCswPulses(WavesInputState& input, DelaysElementType& wave);

// The measurement for method, bound once to the kind of source (its Kind) so that the
// per-sample calls need no virtual dispatch: any RAW, WAV, CSW or sound card source object
// takes its fast path. Behaves exactly as the functions above.
MeasureFunction SelectMeasurement(MainProgram_ns::MeasureMethod method,
                                  const SoundInput_ns::SoundBase& source);

// The same, measuring many waves a call (an AppendFunction): exactly as n calls of the
// MeasureFunction into a wave pushed at the back of the window would, each wave removed again
// when it comes back empty. The source is read through one cursor for all of them.
AppendFunction SelectAppending(MainProgram_ns::MeasureMethod method,
                               const SoundInput_ns::SoundBase& source);

}  // namespace WavesInput_ns
