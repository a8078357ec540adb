#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace MainProgram_ns {

// The version banner, shown by the usage text and the run header and stored in every image.
inline constexpr const char* kBanner = "Varnstow Corvel V1.7.";

// The three ways of measuring waves. CswPulses is chosen by the driver for CSW files, which
// already store the signal as pulse lengths.
enum class MeasureMethod { kSign, kPeak, kCswPulses };

// A wavelength calibration given by -s for one file number.
struct BaudRateAndFlag {
  bool Applied = false;  // set once the waves input has applied it
  int16_t BaudRate = 0;  // replaces 1200 Hz in the reference wave length
};

// The run's settings, filled by ParseCommandLine and the run driver before decoding starts and
// read-only afterwards (but for the Applied flags of Calibrations).
struct RunSettingsRecord {
  std::string InputName;
  std::string OutputName;
  std::string LogName;
  std::string SignatureText;
  bool BeepOnErrors = true;
  bool CompressOutput = true;
  bool FixDCOffsets = false;
  bool NormalPhase = true;
  bool CardInput = false;
  MeasureMethod MeasureWave = MeasureMethod::kSign;
  std::map<int16_t, BaudRateAndFlag> Calibrations;
};

extern RunSettingsRecord RunSettings;

// Results of ParseCommandLine and ShowUsage.
enum ParseResult : int { kParsedGoOn = 0, kUsageShown = 1, kInvalidOption = 2 };

// Reads the argument vector into RunSettings, sets the RAW source's rate and data type, picks
// the sound source by the input name's extension and may store the creator's signature.
// Returns 0 to go on with the run, 1 when the usage text was shown, 2 after "INVALID OPTION.".
int ParseCommandLine(int argc, const char* const argv[]);

// Code 1: the banner and usage text on standard output; code 2: "INVALID OPTION."; any other
// code writes nothing. Returns code.
int ShowUsage(int code);

}  // namespace MainProgram_ns
