#include "waves/Wavesinputstate.h"

#include <stdexcept>

#include "driver/CommandLine.h"
#include "sound/Sound_device_base.h"
#include "waves/Wave_measurement.h"

namespace WavesInput_ns {

WavesBufferType Waves;

namespace {

double referenceWaveLength = 0;
// The measurement chosen for this run, bound to its source when the window is first filled.
AppendFunction append = nullptr;

constexpr double kReferenceFrequency = 1200;

}  // namespace

void WavesBufferType::RaiseFull() {
  throw std::logic_error("The waves window is full");
}

void ResetWavesInput() {
  Waves.Clear();
  referenceWaveLength = 0;
  append = nullptr;
}

void InitialiseWavesInput() {
  Waves.Clear();
  append = SelectAppending(MainProgram_ns::RunSettings.MeasureWave, SoundInput_ns::CurrentSound);
  AppendWaves(kWavesWindow);
}

void AppendWaves(uint8_t n) {
  // Once the source is exhausted every measurement comes back empty: the window then stops
  // growing. A last partial wave is kept.
  append(Waves, n);
}

void AdvanceWaves(uint8_t n) {
  Waves.PopFront(n);
  AppendWaves(n);
}

void DropCurrentWave() {
  Waves.PopFront();
}

void RaiseUnderrun() {
  throw std::logic_error(
      "Buffer underrun error.  Report this problem to the program's author with the\n"
      "command line used, the input file and LOG file.");
}

double ReferenceWaveLength() {
  return referenceWaveLength;
}

void ApplyWavelengthCalibration(int16_t fileNumber) {
  auto& calibrations = MainProgram_ns::RunSettings.Calibrations;
  const double sampleRate = static_cast<int32_t>(SoundInput_ns::CurrentSound->SampleRate);
  const auto entry = calibrations.find(fileNumber);
  if (entry == calibrations.end()) {
    referenceWaveLength = sampleRate * (1 / kReferenceFrequency);
    return;
  }
  referenceWaveLength = sampleRate / entry->second.BaudRate;
  entry->second.Applied = true;
}

void CalibrationStep(int16_t fileNumber, uint64_t runningSampleCount) {
  AdvanceWaves(1);
  const auto& calibrations = MainProgram_ns::RunSettings.Calibrations;
  const auto entry = calibrations.find(fileNumber);
  if (entry != calibrations.end() && !entry->second.Applied && runningSampleCount == 0) {
    ApplyWavelengthCalibration(fileNumber);
  }
}

}  // namespace WavesInput_ns
