#include "waves/Wavesinputstate.h"

#include <stdexcept>

#include "driver/Command_line.h"
#include "sound/Sound_device_base.h"
#include "waves/Wave_measurement.h"

namespace WavesInput_ns {

namespace {

constexpr double kReferenceFrequency = 1200;

}  // namespace

void WavesBufferType::RaiseFull() {
  throw std::logic_error("The waves window is full");
}

void ResetWavesInput(WavesInputState& input) {
  input.Window.Clear();
  input.ReferenceLength = 0;
  input.Append = nullptr;
}

void InitialiseWavesInput(WavesInputState& input) {
  input.Window.Clear();
  input.Append = SelectAppending(input.Settings->MeasureWave, *input.Source);
  AppendWaves(input, kWavesWindow);
}

void RaiseUnderrun() {
  throw std::logic_error(
      "Buffer underrun error.  Report this problem to the program's author with the\n"
      "command line used, the input file and LOG file.");
}

void ApplyWavelengthCalibration(WavesInputState& input, int16_t fileNumber) {
  auto& calibrations = input.Settings->Calibrations;
  const double sampleRate = static_cast<int32_t>(input.Source->SampleRate);
  const auto entry = calibrations.find(fileNumber);
  if (entry == calibrations.end()) {
    input.ReferenceLength = sampleRate * (1 / kReferenceFrequency);
    return;
  }
  input.ReferenceLength = sampleRate / entry->second.BaudRate;
  entry->second.Applied = true;
}

void CalibrationStep(WavesInputState& input, int16_t fileNumber, uint64_t runningSampleCount) {
  AdvanceWaves(input, 1);
  const auto& calibrations = input.Settings->Calibrations;
  if (calibrations.empty()) {
    return;
  }
  const auto entry = calibrations.find(fileNumber);
  if (entry != calibrations.end() && !entry->second.Applied && runningSampleCount == 0) {
    ApplyWavelengthCalibration(input, fileNumber);
  }
}

}  // namespace WavesInput_ns
