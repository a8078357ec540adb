#include "blocks/Decoding_context.h"

#include "uef/Wave_analysis.h"

namespace BlockProcessing_ns {

namespace {

// The images declare version 0.10 of the UEF format.
constexpr uint8_t kUefMinorVersion = 10;
constexpr uint8_t kUefMajorVersion = 0;

}  // namespace

void ResetDecoding(DecodingContext& context) {
  WavesInput_ns::ResetWavesInput(context.Waves);
  context.PilotTone = PilotToneState{};
  ResetBlockDriver(context.Driver);
  context.Form = BlockFormStateType{};
}

void OpenDecodingPass(DecodingContext& context, const std::string& imageName,
                      const std::vector<std::string>& origins) {
  ResetDecoding(context);
  WavesInput_ns::InitialiseWavesInput(context.Waves);
  context.Image.Discard();
  context.Image.OpenImage(imageName, kUefMinorVersion, kUefMajorVersion);
  for (const std::string& origin : origins) {
    context.Image.WriteOriginText(origin);
  }
  WavesInput_ns::ApplyWavelengthCalibration(context.Waves, context.Form.FileNumber);
}

}  // namespace BlockProcessing_ns
