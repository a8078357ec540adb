#pragma once

#include <string>

namespace MainProgram_ns {

// Runs one conversion from the command line to the tape image file and returns the process's
// exit code: 0 when the run finished or ended with a reported failure, 1 after the usage text,
// 2 after "INVALID OPTION.". Every failure of the run is caught and reported here; a failure
// that is not a standard exception is reported and then passed on, ending the process
// abnormally.
int RunProgram(int argc, const char* const argv[]);

// Raises "Could not find " + input when the input file is missing or is a folder, and "Wrong
// case of letter in input file name" when its name differs in case from the name the file
// system stores. Folders in the name are not checked.
void CheckInputFile(const std::string& input);
// The same for the run's input.
void CheckInputFile();

// True when both names lead to one file: the same name, or two names of an existing file. An
// output for which this holds would replace the input it is made from.
bool NamesSameFile(const std::string& first, const std::string& second);

// Adds an origin information chunk holding text and a terminating zero to the tape image.
void WriteOriginText(const std::string& text);

// Flushes the tee and closes the log file.
void FinishLog();

}  // namespace MainProgram_ns
