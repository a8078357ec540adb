// The command-line parser on arbitrary argument vectors: the input, split at its 0 bytes, is
// the arguments after the program's name. The stored signature goes to a folder of this
// process's own. The output must match the result: nothing when the run may go on, the usage
// text, or "INVALID OPTION."; an accepted command line leaves settings the run can use, and a
// signature it stored reads back as given.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Fuzz_support.h"
#include "driver/Command_line.h"
#include "platform/Settings_store.h"
#include "sound/Card_sound.h"
#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"

namespace {

using Fuzz_ns::Check;
using MainProgram_ns::RunSettings;

constexpr size_t kMostArguments = 256;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string StoredSignature() {
  Platform_ns::SettingsKey key;
  if (!key.Open(false)) {
    return "(no key)";
  }
  return key.ReadString("Signature");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Nothing of the user's own is read or written.
  setenv("XDG_CONFIG_HOME", (Fuzz_ns::Folder() / "config").c_str(), 1);
  setenv("HOME", (Fuzz_ns::Folder() / "home").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace SoundInput_ns;
  std::vector<std::string> arguments{"varnstow"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (size > 0) {
    arguments.push_back(current);
  }
  if (arguments.size() > kMostArguments) {
    return 0;
  }
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);

  // Every run starts from the settings of a fresh process.
  RunSettings = {};
  TheRAWSound.SetSampleRate(44100);
  TheRAWSound.SetSignedSamples(true);
  CurrentSound = &TheCardSound;
  std::error_code ignored;
  std::filesystem::remove_all(Fuzz_ns::Folder() / "config", ignored);

  std::ostringstream output;
  std::streambuf* const console = std::cout.rdbuf(output.rdbuf());
  const int code =
      MainProgram_ns::ParseCommandLine(static_cast<int>(arguments.size()), argv.data());
  std::cout.rdbuf(console);

  const std::string shown = output.str();
  switch (code) {
    case MainProgram_ns::kParsedGoOn:
      Check(shown.empty(), "an accepted command line writes nothing");
      break;
    case MainProgram_ns::kUsageShown:
      Check(shown.rfind(std::string("\n") + MainProgram_ns::kBanner, 0) == 0,
            "the usage text starts with the banner");
      return 0;
    case MainProgram_ns::kInvalidOption:
      Check(shown == "INVALID OPTION.", "a refused command line says INVALID OPTION.");
      return 0;
    default:
      Check(false, "the result is 0, 1 or 2");
  }

  Check(!RunSettings.OutputName.empty() && !RunSettings.LogName.empty(),
        "an accepted command line names the image and the log");
  if (RunSettings.InputName.empty()) {
    Check(CurrentSound == &TheCardSound, "without an input file the sound card is the source");
    Check(EndsWith(RunSettings.OutputName, ".uef") && EndsWith(RunSettings.LogName, ".log"),
          "the sound card's image and log are named after the output");
  } else {
    Check(CurrentSound == &TheRAWSound || CurrentSound == &TheWAVSound ||
              CurrentSound == &TheCSWSound,
          "an input file has a file source");
    Check(EndsWith(RunSettings.LogName, "log") && RunSettings.LogName != RunSettings.InputName,
          "the log is not the input");
  }
  Check(TheRAWSound.SampleRate >= 44100 && TheRAWSound.SampleRate <= 2147483647u,
        "the RAW rate is one the waves input can take");
  for (const auto& [fileNumber, calibration] : RunSettings.Calibrations) {
    Check(fileNumber >= 0 && calibration.BaudRate > 0, "a calibration has a positive baud rate");
  }
  if (!RunSettings.SignatureText.empty()) {
    Check(StoredSignature() == RunSettings.SignatureText, "the stored signature reads back");
  }
  return 0;
}
