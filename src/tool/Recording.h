#pragma once

// Recordings read by the tool's commands through the converter's own sound sources, waves
// input and block decoding: a pass over a recording decodes exactly as a run of varnstow with
// the same options does.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "blocks/Decoding_context.h"
#include "driver/Command_line.h"
#include "sound/Sound_device_base.h"
#include "tool/Tool_support.h"
#include "uef/Wave_analysis.h"

namespace Tool_ns {

enum class RecordingKind { kCsw, kWav, kRaw };

// A recording and how to read it; the rate and sample type only matter for RAW files, as
// varnstow's -f and -t.
struct RecordingSettings {
  std::string name;
  RecordingKind kind = RecordingKind::kRaw;
  uint32_t rawRate = 44100;
  bool rawSigned = true;
};

// The options that set a RAW recording's rate and sample type: -f/--frequency RATE and
// -t/--type u|s.
std::vector<OptionDefinition> RecordingOptions();

// The recording named by the command's single operand, read with the options above. Raises
// UsageError when the operand is missing or extra, or the name does not end in .csw, .wav or
// .raw (in any case), as varnstow accepts.
RecordingSettings RecordingFrom(const ParsedArguments& arguments, const std::string& command);

// Every recording named by the command's operands (at least one), each read with the options
// above; raises UsageError as RecordingFrom does.
std::vector<RecordingSettings> RecordingsFrom(const ParsedArguments& arguments,
                                              const std::string& command);

// How one pass reads the recording: as varnstow does, measuring the waves by the sign or peak
// method or a CSW file's pulses, in a phase (false: varnstow's -p); or through the tool's own
// demodulator, on one channel or the mix of all.
struct PassSettings {
  MainProgram_ns::MeasureMethod method = MainProgram_ns::MeasureMethod::kSign;
  bool normalPhase = true;
  bool demodulator = false;
  int channel = -1;       // the demodulator's channel, from 0; -1 for the mix (or the only one)
  unsigned channels = 1;  // how many the recording has
};

// The passes varnstow offers for the recording: sign and peak method in both phases for
// samples, the two phases for a CSW file.
std::vector<PassSettings> PassesFor(RecordingKind kind);

// The demodulator's passes over a recording of that many channels: the only channel, or each
// channel and the mix of all.
std::vector<PassSettings> DemodulatorPasses(unsigned channels);

// "sign, normal phase", "CSW pulses, shifted phase", "demodulator, left channel" and the like.
std::string Describe(const PassSettings& pass);

// One pass over a recording as varnstow makes it, with a sound source, settings, image and
// decoding state of its own: passes share nothing, so several may run at once.
class DecodingPass {
 public:
  // Opens the recording as varnstow does with these settings, refusing it with varnstow's
  // message (raised as std::runtime_error) where varnstow would, and starts the decoding:
  // the first waves are measured and T is set. Blocks go to sink.
  DecodingPass(const RecordingSettings& recording, const PassSettings& pass,
               BlockProcessing_ns::BlockSink& sink);
  ~DecodingPass();
  DecodingPass(const DecodingPass&) = delete;
  DecodingPass& operator=(const DecodingPass&) = delete;

  SoundInput_ns::SoundBase& Sound() { return *sound_; }
  BlockProcessing_ns::DecodingContext& Context() { return *context_; }
  // The settings the pass reads, as varnstow's for the same options; a -s calibration may be
  // added before the first block.
  MainProgram_ns::RunSettingsRecord& Settings() { return settings_; }

  // Decodes the rest of the recording; each block goes to the sink.
  void DecodeAll();

 private:
  MainProgram_ns::RunSettingsRecord settings_;
  std::unique_ptr<SoundInput_ns::SoundBase> sound_;
  std::unique_ptr<UEFFormat_ns::UEFFormatWriting> image_;
  std::unique_ptr<BlockProcessing_ns::DecodingContext> context_;
};

}  // namespace Tool_ns
