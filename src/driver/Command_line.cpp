#include "driver/Command_line.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "platform/Settings_store.h"
#include "sound/Card_sound.h"
#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"

namespace MainProgram_ns {

RunSettingsRecord RunSettings;

namespace {

constexpr const char* kUsageText =
    "\n\n"
    "[-i <input file name>] [-o <output file name>] [-h] [-b] [-c] [-p] [-d]\n"
    "[-g <signature>] [-f |input frequency|] [-t <u or s>] [-l <p or s>]\n"
    "\n"
    "Converts a sound file or sound card input to a UEF tape image.\n"
    "\n"
    "-i The input file name with extention.\n"
    "-o The output file name without extention.  It defaults to the input file name.\n"
    "-h Show this message.\n"
    "-b Do not make a beep on errors.\n"
    "-c Do not compress the UEF file.\n"
    "-g Write given signature to this and all later files.\n"
    "-s Change wavelength calibration from the file number.\n"
    "\n"
    "The switches for sound sample files and sound card input:\n"
    "-l Sets the frequency measure method.  s for sign (default), p for peak.\n"
    "-p Expect a phase shift of +180 or +270.\n"
    "\n"
    "The switches for sound sample files:\n"
    "-f Sets frequency for RAW sound files, takes a decimal or hexadecimal (0x\n"
    "   prefix) argument (default is 44100).\n"
    "-t Sets the data type for RAW sound files.  'u' for unsigned, 's' for signed\n"
    "   (default).\n"
    "-d Fix DC offsets in the input file.\n"
    "\n"
    "Varnstow accepts / in place of -.\n"
    "Varnstow works with or without spaces between options and parameters.\n"
    "Varnstow works with spaces in directory and/or file names.\n"
    "Varnstow works with any case of letters in directories, correct or not.\n"
    "\n"
    "Windows sound hardware will be used for direct sound input.\n"
    "CSW (recommended), WAV and RAW sound files are supported.\n"
    "If no input name is supplied the sound card is used if a file name is provided.\n";

// Slowest rate a RAW recording may be read at, and the fastest: the waves input takes the
// rate as a signed 32-bit number.
constexpr unsigned long kMinimumRawRate = 44100;
constexpr unsigned long kMaximumRawRate = 2147483647;
constexpr unsigned long kMaximumCalibrationNumber = 32767;

bool IsOption(const std::string& argument) {
  return !argument.empty() && (argument[0] == '-' || argument[0] == '/');
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    c = LowerAscii(c);
  }
  return text;
}

// Reads text as an unsigned decimal number the way strtoul does in base 10 (leading blanks and
// a sign accepted). Fails when no digit is read, when anything is left over, or on overflow.
bool ReadDecimal(const std::string& text, unsigned long& value) {
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(start, &end, 10);
  if (end == start || *end != '\0' || errno == ERANGE) {
    return false;
  }
  // strtoul negates a number written with a minus sign; such a number is not in range either.
  for (const char* p = start; p != end; ++p) {
    if (*p == '-') {
      return false;
    }
  }
  return true;
}

void StoreSignature(const std::string& text) {
  Platform_ns::SettingsKey key;
  if (key.Open(true)) {
    key.WriteString("Signature", text);
    key.Close();
  }
}

}  // namespace

int ShowUsage(int code) {
  if (code == kUsageShown) {
    std::cout << '\n' << kBanner << kUsageText << std::flush;
  } else if (code == kInvalidOption) {
    std::cout << "INVALID OPTION." << std::flush;
  }
  return code;
}

int ParseCommandLine(int argc, const char* const argv[]) {
  using namespace SoundInput_ns;
  if (argc <= 1) {
    return ShowUsage(kUsageShown);
  }
  auto argumentAt = [&](int index) -> std::string {
    return argv[index] != nullptr ? argv[index] : "";
  };
  const auto invalid = [] { return ShowUsage(kInvalidOption); };

  // Names may arrive in several arguments when they hold blanks: plain words after -i, -o or
  // -g continue that name.
  std::string* continuation = nullptr;

  for (int i = 1; i < argc; ++i) {
    const std::string argument = argumentAt(i);
    if (!IsOption(argument)) {
      if (continuation == nullptr) {
        return invalid();
      }
      *continuation += ' ';
      *continuation += argument;
      continue;
    }
    continuation = nullptr;
    if (argument.size() == 1) {
      return invalid();
    }
    const char letter = LowerAscii(argument[1]);
    switch (letter) {
      case 'b':
      case 'c':
      case 'd':
      case 'h':
      case 'r':
      case 'v':
        if (argument.size() != 2) {
          return invalid();
        }
        if (letter == 'b') {
          RunSettings.BeepOnErrors = false;
        } else if (letter == 'c') {
          RunSettings.CompressOutput = false;
        } else if (letter == 'd') {
          RunSettings.FixDCOffsets = true;
        } else if (letter == 'h') {
          return ShowUsage(kUsageShown);
        }
        break;

      case 'p':
        // -p takes no parameter: anything attached to it, or a plain word after it, is
        // invalid; an option after it is read as the next option.
        if (argument.size() != 2 || (i + 1 < argc && !IsOption(argumentAt(i + 1)))) {
          return invalid();
        }
        RunSettings.NormalPhase = false;
        break;

      case 'f':
      case 'g':
      case 'i':
      case 'l':
      case 'o':
      case 's':
      case 't': {
        std::string parameter;
        if (argument.size() > 2) {
          parameter = argument.substr(2);
        } else if (i + 1 < argc) {
          parameter = argumentAt(++i);
        } else if (letter == 'g') {
          // -g at the very end clears the stored signature.
          StoreSignature("");
          break;
        } else {
          return invalid();
        }

        if (letter == 'i' || letter == 'o' || letter == 'g') {
          std::string& field = letter == 'i'   ? RunSettings.InputName
                               : letter == 'o' ? RunSettings.OutputName
                                               : RunSettings.SignatureText;
          field += parameter;
          continuation = &field;
        } else if (letter == 'f') {
          unsigned long rate = 0;
          if (!ReadDecimal(parameter, rate) || rate < kMinimumRawRate || rate > kMaximumRawRate) {
            return invalid();
          }
          TheRAWSound.SetSampleRate(static_cast<uint32_t>(rate));
        } else if (letter == 't') {
          const char type = parameter.empty() ? '\0' : LowerAscii(parameter[0]);
          if (type != 's' && type != 'u') {
            return invalid();
          }
          TheRAWSound.SetSignedSamples(type == 's');
        } else if (letter == 'l') {
          const char method = parameter.empty() ? '\0' : LowerAscii(parameter[0]);
          if (method != 's' && method != 'p') {
            return invalid();
          }
          RunSettings.MeasureWave = method == 'p' ? MeasureMethod::kPeak : MeasureMethod::kSign;
        } else {  // 's': a file number, then the baud rate that calibrates it
          if (i + 1 >= argc) {
            return invalid();
          }
          const std::string baudText = argumentAt(++i);
          unsigned long fileNumber = 0;
          unsigned long baudRate = 0;
          if (IsOption(parameter) || IsOption(baudText) || !ReadDecimal(parameter, fileNumber) ||
              !ReadDecimal(baudText, baudRate) || fileNumber > kMaximumCalibrationNumber ||
              baudRate > kMaximumCalibrationNumber || baudRate == 0) {
            return invalid();
          }
          RunSettings.Calibrations[static_cast<int16_t>(fileNumber)] =
              BaudRateAndFlag{false, static_cast<int16_t>(baudRate)};
        }
        break;
      }

      default:
        return invalid();
    }
  }

  // The signature is stored before the names are checked, so it is kept even when they fail.
  if (!RunSettings.SignatureText.empty()) {
    StoreSignature(RunSettings.SignatureText);
  }

  if (RunSettings.InputName.empty()) {
    // The sound card is the source; the output must then be named.
    if (RunSettings.OutputName.empty()) {
      return invalid();
    }
    RunSettings.LogName = RunSettings.OutputName + ".log";
    RunSettings.OutputName += ".uef";
    return kParsedGoOn;
  }

  const std::string& input = RunSettings.InputName;
  if (input.size() <= 4) {
    return invalid();
  }
  // The output and log are named after the input with its three extension letters replaced.
  // A given output name is used as it stands.
  const std::string stem = input.substr(0, input.size() - 3);
  RunSettings.LogName = stem;
  if (RunSettings.OutputName.empty()) {
    RunSettings.OutputName = stem + "uef";
  }
  RunSettings.LogName += "log";

  const std::string extension = LowerAscii(input.substr(input.size() - 4));
  if (extension == ".csw") {
    CurrentSound = &TheCSWSound;
  } else if (extension == ".wav") {
    CurrentSound = &TheWAVSound;
  } else if (extension == ".raw") {
    CurrentSound = &TheRAWSound;
  } else {
    return invalid();
  }
  return kParsedGoOn;
}

}  // namespace MainProgram_ns
