#pragma once

// The lines that tell a user what to do next, written to standard error after everything the
// run reports and never into the report or the log: how to convert a recording the converter
// cannot read, what to try when no block was found, and that the log could not be written.

#include <string>

namespace MainProgram_ns {

// The name as typed on a command line: in double quotes when it holds a blank or a character
// that a shell would take for its own.
std::string CommandLineName(const std::string& name);

// The name without its extension (everything from the last dot of the file's own name).
std::string WithoutExtension(const std::string& name);

// For a WAV file refused for its sample form: the varnstow-tool prepare command line that
// makes the 8-bit mono copy, the conversion of that copy, and the recover command line that
// reads the file as it is.
std::string PrepareAdvice(const std::string& wavName);

// True when the name ends in the extension of a sound format the converter does not read but
// a sound program saves as WAV: .flac, .ogg, .mp3, .aiff, .aif (any case).
bool IsOtherSoundFormat(const std::string& name);

// For such a file: save it as WAV, then the prepare command line for that WAV file.
std::string OtherSoundFormatAdvice(const std::string& name);

// For a run whose image holds no block: the other phase, and recover for a recording.
std::string NoBlockAdvice(const std::string& inputName, const std::string& outputName,
                          bool normalPhase);

// The log could not be created (created false) or written.
std::string LogFailureAdvice(const std::string& logName, bool created);

}  // namespace MainProgram_ns
