#include "driver/Advice.h"

#include <cctype>

namespace MainProgram_ns {

namespace {

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string Extension(const std::string& name) {
  const std::string stem = WithoutExtension(name);
  return stem.size() == name.size() ? std::string() : LowerAscii(name.substr(stem.size() + 1));
}

}  // namespace

std::string CommandLineName(const std::string& name) {
  bool plain = !name.empty();
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (!std::isalnum(byte) && byte < 0x80 &&
        std::string("._-/\\:+,@=%~").find(c) == std::string::npos) {
      plain = false;
    }
  }
  return plain ? name : "\"" + name + "\"";
}

std::string WithoutExtension(const std::string& name) {
  const auto dot = name.find_last_of('.');
  const auto separator = name.find_last_of("/\\");
  if (dot == std::string::npos || dot == 0 ||
      (separator != std::string::npos && dot <= separator + 1)) {
    return name;
  }
  return name.substr(0, dot);
}

std::string PrepareAdvice(const std::string& wavName) {
  const std::string stem = WithoutExtension(wavName);
  const std::string copy = CommandLineName(stem + "-8bit.wav");
  const std::string image = CommandLineName(stem + ".uef");
  return "varnstow: only 8-bit mono WAV files are read; make one with varnstow-tool prepare " +
         CommandLineName(wavName) + " -o " + copy + ", then run varnstow -i " + copy + " -o " +
         image + " (varnstow-tool recover " + CommandLineName(wavName) + " -o " + image +
         " reads it as it is)";
}

bool IsOtherSoundFormat(const std::string& name) {
  const std::string extension = Extension(name);
  return extension == "flac" || extension == "ogg" || extension == "mp3" || extension == "aiff" ||
         extension == "aif";
}

std::string OtherSoundFormatAdvice(const std::string& name) {
  const std::string stem = WithoutExtension(name);
  const std::string wav = CommandLineName(stem + ".wav");
  return "varnstow: CSW, WAV and RAW files are read, not ." + Extension(name) +
         "; save the recording as WAV with your sound program, then run varnstow-tool prepare " +
         wav + " -o " + CommandLineName(stem + "-8bit.wav") + " (varnstow-tool recover " + wav +
         " -o " + CommandLineName(stem + ".uef") + " reads that WAV file as it is)";
}

std::string NoBlockAdvice(const std::string& inputName, const std::string& outputName,
                          bool normalPhase) {
  std::string advice = "varnstow: no block was found, so " + CommandLineName(outputName) +
                       " holds none; try the other phase (run again " +
                       (normalPhase ? "with -p" : "without -p") + ")";
  if (!inputName.empty()) {
    advice += ", or varnstow-tool recover " + CommandLineName(inputName) + " -o " +
              CommandLineName(WithoutExtension(inputName) + "-recovered.uef") +
              ", which tries every way varnstow can read it";
  }
  return advice;
}

std::string LogFailureAdvice(const std::string& logName, bool created) {
  return "varnstow: the log file " + CommandLineName(logName) +
         (created ? " could not be written" : " could not be created") +
         "; the report went to the console only";
}

}  // namespace MainProgram_ns
