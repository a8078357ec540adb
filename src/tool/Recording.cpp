#include "tool/Recording.h"

#include "driver/Run_program.h"
#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"

namespace Tool_ns {

std::vector<OptionDefinition> RecordingOptions() {
  return {{"frequency", true, 'f'}, {"type", true, 't'}};
}

namespace {

RecordingSettings RecordingNamed(const std::string& name, const ParsedArguments& arguments) {
  RecordingSettings recording;
  recording.name = name;
  const std::string extension = LowerExtension(recording.name);
  if (extension == "csw")
    recording.kind = RecordingKind::kCsw;
  else if (extension == "wav")
    recording.kind = RecordingKind::kWav;
  else if (extension == "raw")
    recording.kind = RecordingKind::kRaw;
  else
    throw UsageError("the recording must be a .csw, .wav or .raw file, not " +
                     Describe(recording.name, false));
  if (arguments.Has("frequency"))
    recording.rawRate = static_cast<uint32_t>(
        ParseWholeNumber(arguments.Value("frequency"), "--frequency", 1, 2147483647));
  if (arguments.Has("type")) {
    const std::string type = arguments.Value("type");
    if (type != "u" && type != "s")
      throw UsageError("--type takes u (unsigned) or s (signed), not '" + type + "'");
    recording.rawSigned = type == "s";
  }
  return recording;
}

}  // namespace

RecordingSettings RecordingFrom(const ParsedArguments& arguments, const std::string& command) {
  const std::vector<std::string>& operands = arguments.Operands();
  if (operands.size() > 1)
    throw UsageError(command + " takes one recording, not '" + operands[1] + "' as well");
  return RecordingsFrom(arguments, command).front();
}

std::vector<RecordingSettings> RecordingsFrom(const ParsedArguments& arguments,
                                              const std::string& command) {
  const std::vector<std::string>& operands = arguments.Operands();
  if (operands.empty())
    throw UsageError(command + " needs a recording (see 'varnstow-tool " + command + " --help')");
  std::vector<RecordingSettings> recordings;
  for (const std::string& operand : operands)
    recordings.push_back(RecordingNamed(operand, arguments));
  return recordings;
}

std::vector<PassSettings> PassesFor(RecordingKind kind) {
  using MainProgram_ns::MeasureMethod;
  if (kind == RecordingKind::kCsw)
    return {{MeasureMethod::kCswPulses, true}, {MeasureMethod::kCswPulses, false}};
  return {{MeasureMethod::kSign, true},
          {MeasureMethod::kSign, false},
          {MeasureMethod::kPeak, true},
          {MeasureMethod::kPeak, false}};
}

std::vector<PassSettings> DemodulatorPasses(unsigned channels) {
  PassSettings pass;
  pass.demodulator = true;
  pass.channels = channels;
  std::vector<PassSettings> passes;
  if (channels > 1) {
    for (unsigned c = 0; c < channels; ++c) {
      pass.channel = static_cast<int>(c);
      passes.push_back(pass);
    }
  }
  pass.channel = -1;
  passes.push_back(pass);
  return passes;
}

std::string Describe(const PassSettings& pass) {
  using MainProgram_ns::MeasureMethod;
  if (pass.demodulator) {
    if (pass.channels <= 1)
      return "demodulator";
    if (pass.channel < 0)
      return "demodulator, channels mixed";
    if (pass.channels == 2)
      return pass.channel == 0 ? "demodulator, left channel" : "demodulator, right channel";
    return "demodulator, channel " + std::to_string(pass.channel + 1);
  }
  const char* method = pass.method == MeasureMethod::kSign   ? "sign"
                       : pass.method == MeasureMethod::kPeak ? "peak"
                                                             : "CSW pulses";
  return std::string(method) + (pass.normalPhase ? ", normal phase" : ", shifted phase");
}

DecodingPass::DecodingPass(const RecordingSettings& recording, const PassSettings& pass,
                           BlockProcessing_ns::BlockSink& sink) {
  using namespace SoundInput_ns;
  settings_.InputName = recording.name;
  settings_.MeasureWave = pass.method;
  settings_.NormalPhase = pass.normalPhase;
  settings_.BeepOnErrors = false;

  switch (recording.kind) {
    case RecordingKind::kCsw: {
      // As varnstow does for a CSW file: its pulses, the phase settled by the source.
      settings_.MeasureWave = MainProgram_ns::MeasureMethod::kCswPulses;
      auto csw = std::make_unique<CSWSound>();
      csw->PulseInput = true;
      csw->NoPhaseShift = pass.normalPhase;
      sound_ = std::move(csw);
      break;
    }
    case RecordingKind::kWav:
      sound_ = std::make_unique<WAVSound>();
      break;
    case RecordingKind::kRaw: {
      auto raw = std::make_unique<RAWSound>();
      raw->SetSampleRate(recording.rawRate);
      raw->SetSignedSamples(recording.rawSigned);
      sound_ = std::move(raw);
      break;
    }
  }
  sound_->Open(recording.name);
  MainProgram_ns::CheckInputFile(recording.name);

  image_ = std::make_unique<UEFFormat_ns::UEFFormatWriting>();
  context_ =
      std::make_unique<BlockProcessing_ns::DecodingContext>(settings_, *sound_, *image_, sink);
  BlockProcessing_ns::OpenDecodingPass(*context_, "pass.uef", {});
}

DecodingPass::~DecodingPass() {
  sound_->Close();
}

void DecodingPass::DecodeAll() {
  BlockProcessing_ns::DecodeBlocks(*context_);
}

}  // namespace Tool_ns
