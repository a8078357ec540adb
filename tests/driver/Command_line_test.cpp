// The command line read in-process: options, parameters, names and the stored signature.
#include "driver/Command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "sound/Card_sound.h"
#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"
#include "support/Settings.h"
#include "support/Temp_folder.h"

namespace {

using MainProgram_ns::MeasureMethod;
using MainProgram_ns::ParseCommandLine;
using MainProgram_ns::RunSettings;
using TestSupport::SignatureStored;
using TestSupport::StoredSignature;
using TestSupport::TempFolder;

const std::string kInvalid = "INVALID OPTION.";
const std::string kUsageStart =
    "\nVarnstow Corvel V1.7.\n\n"
    "[-i <input file name>] [-o <output file name>] [-h] [-b] [-c] [-p] [-d]\n"
    "[-g <signature>] [-f |input frequency|] [-t <u or s>] [-l <p or s>]\n\n"
    "Converts a sound file or sound card input to a UEF tape image.\n";
const std::string kUsageEnd =
    "CSW (recommended), WAV and RAW sound files are supported.\n"
    "If no input name is supplied the sound card is used if a file name is provided.\n";

bool IsUsage(const std::string& output) {
  return output.size() > kUsageStart.size() + kUsageEnd.size() &&
         output.compare(0, kUsageStart.size(), kUsageStart) == 0 &&
         output.compare(output.size() - kUsageEnd.size(), kUsageEnd.size(), kUsageEnd) == 0;
}

struct Parsed {
  int code = -1;
  std::string output;  // what went to standard output
};

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    RunSettings = {};
    SoundInput_ns::TheRAWSound.SetSampleRate(44100);
    SoundInput_ns::TheRAWSound.SetSignedSamples(true);
    SoundInput_ns::CurrentSound = &SoundInput_ns::TheCardSound;
    // The signature goes to this test's own settings.
    TestSupport::UseSettingsIn(folder_.Path());
  }

  Parsed Parse(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{"varnstow"};
    for (const auto& argument : arguments) {
      argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    std::ostringstream captured;
    std::streambuf* const console = std::cout.rdbuf(captured.rdbuf());
    Parsed parsed;
    parsed.code = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data());
    std::cout.rdbuf(console);
    parsed.output = captured.str();
    return parsed;
  }

  // Parses arguments and expects "INVALID OPTION." and nothing else.
  void ExpectInvalid(const std::vector<std::string>& arguments) {
    SetUp();
    const Parsed parsed = Parse(arguments);
    std::string shown;
    for (const auto& argument : arguments) {
      shown += "[" + argument + "]";
    }
    EXPECT_EQ(parsed.code, 2) << shown;
    EXPECT_EQ(parsed.output, kInvalid) << shown;
  }

  // Parses arguments, from the default settings, that must be accepted with nothing written.
  void ExpectAccepted(const std::vector<std::string>& arguments) {
    SetUp();
    const Parsed parsed = Parse(arguments);
    ASSERT_EQ(parsed.code, 0) << parsed.output;
    EXPECT_EQ(parsed.output, "");
  }

  TempFolder folder_;
};

TEST_F(CommandLine, UsageWithoutArgumentsOrWithDashH) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"-h"}, {"/H"}, {"-c", "-h"}, {"-h", "-bc", "nonsense"}, {"-i", "a.raw", "-h"}}) {
    SetUp();
    const Parsed parsed = Parse(arguments);
    EXPECT_EQ(parsed.code, 1);
    EXPECT_TRUE(IsUsage(parsed.output)) << parsed.output;
  }
  // A signature given before -h is not stored.
  const Parsed parsed = Parse({"-g", "Someone", "-h"});
  EXPECT_EQ(parsed.code, 1);
  EXPECT_FALSE(SignatureStored(folder_.Path()));
}

TEST_F(CommandLine, SwitchesSetTheirFlagsInEitherCaseAndWithEitherPrefix) {
  ExpectAccepted({"-b", "/C", "-d", "-r", "/v", "-o", "out"});
  EXPECT_FALSE(RunSettings.BeepOnErrors);
  EXPECT_FALSE(RunSettings.CompressOutput);
  EXPECT_TRUE(RunSettings.FixDCOffsets);
  EXPECT_TRUE(RunSettings.NormalPhase);

  ExpectAccepted({"-R", "-V", "-o", "out"});  // accepted and without effect
  EXPECT_TRUE(RunSettings.BeepOnErrors);
  EXPECT_TRUE(RunSettings.CompressOutput);
  EXPECT_FALSE(RunSettings.FixDCOffsets);
  EXPECT_EQ(RunSettings.MeasureWave, MeasureMethod::kSign);
}

TEST_F(CommandLine, MalformedAndUnknownOptionsAreInvalid) {
  for (const std::string bad : {"-", "/", "-bc", "-cb", "/dd", "-hx", "-rv", "-v1", "-b-c"}) {
    ExpectInvalid({bad, "-o", "out"});
  }
  // Every printable character that is not an option letter.
  const std::string letters = "bcdfghilopstrv";
  for (char c = 0x21; c <= 0x7E; ++c) {
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (letters.find(lower) == std::string::npos) {
      ExpectInvalid({"-o", "out", std::string("-") + c});
    }
  }
  // A plain word that no -i, -o or -g continues.
  ExpectInvalid({"word", "-o", "out"});
  ExpectInvalid({"-o", "out", "-c", "extra"});
  ExpectInvalid({"-o", "out", "-f", "48000", "extra"});
}

TEST_F(CommandLine, NamesTakeAttachedOrNextArgumentAndContinueOverPlainWords) {
  ExpectAccepted({"-ic:x.raw"});
  EXPECT_EQ(RunSettings.InputName, "c:x.raw");

  ExpectAccepted({"-i", "my", "old", "tape.raw", "-c"});
  EXPECT_EQ(RunSettings.InputName, "my old tape.raw");
  EXPECT_FALSE(RunSettings.CompressOutput);  // the option ended the name

  // The next argument is the parameter whatever it begins with.
  ExpectAccepted({"-o", "out", "-g", "-c"});
  EXPECT_EQ(RunSettings.SignatureText, "-c");
  EXPECT_TRUE(RunSettings.CompressOutput);
  EXPECT_EQ(StoredSignature(folder_.Path()), "-c");

  // A repeated option appends without a separator.
  ExpectAccepted({"-i", "part", "one", "-I", "two.raw", "/ofirst", "-o", "second"});
  EXPECT_EQ(RunSettings.InputName, "part onetwo.raw");
  EXPECT_EQ(RunSettings.OutputName, "firstsecond");
}

TEST_F(CommandLine, OutputAndLogNamesFollowTheInput) {
  ExpectAccepted({"-i", "tape.raw"});
  EXPECT_EQ(RunSettings.OutputName, "tape.uef");
  EXPECT_EQ(RunSettings.LogName, "tape.log");
  EXPECT_EQ(SoundInput_ns::CurrentSound, &SoundInput_ns::TheRAWSound);

  ExpectAccepted({"-i", "x.csw", "-o", "y"});
  EXPECT_EQ(RunSettings.OutputName, "y");  // used unchanged
  EXPECT_EQ(RunSettings.LogName, "x.log");
  EXPECT_EQ(SoundInput_ns::CurrentSound, &SoundInput_ns::TheCSWSound);

  ExpectAccepted({"-i", "a.WAV"});  // five characters, the shortest allowed
  EXPECT_EQ(RunSettings.OutputName, "a.uef");
  EXPECT_EQ(RunSettings.LogName, "a.log");
  EXPECT_EQ(SoundInput_ns::CurrentSound, &SoundInput_ns::TheWAVSound);

  // Without -i the sound card is the source and -o names the image and the log.
  ExpectAccepted({"-o", "my tape"});
  EXPECT_EQ(RunSettings.OutputName, "my tape.uef");
  EXPECT_EQ(RunSettings.LogName, "my tape.log");
  EXPECT_EQ(SoundInput_ns::CurrentSound, &SoundInput_ns::TheCardSound);

  ExpectInvalid({"-c"});
  ExpectInvalid({"-i", ".wav"});
  ExpectInvalid({"-i", "a.wav", "b.c"});
  ExpectInvalid({"-i", "tape.uef"});
  ExpectInvalid({"-i", "tape.raw "});
  ExpectInvalid({"-i"});
  ExpectInvalid({"-i", "tape.raw", "-o"});
}

TEST_F(CommandLine, SampleRateIsADecimalFrom44100) {
  const std::vector<std::pair<std::string, uint32_t>> valid = {{"48000", 48000},
                                                               {"44100", 44100},
                                                               {" 96000", 96000},
                                                               {"+50000", 50000},
                                                               {"2147483647", 2147483647u}};
  for (const auto& [text, rate] : valid) {
    ExpectAccepted({"-i", "a.raw", "-f", text});
    EXPECT_EQ(SoundInput_ns::TheRAWSound.SampleRate, rate) << text;
  }
  ExpectAccepted({"-f48000", "-i", "a.raw"});
  EXPECT_EQ(SoundInput_ns::TheRAWSound.SampleRate, 48000u);

  for (const std::string bad : {"22050", "44099", "0", "0xAC44", "2147483648", "4294967296",
                                "99999999999999999999999", "-48000", "48000x", "48000 ", "",
                                "4.8e4", "-i", "-18446744073709503616"}) {  // wraps to 48000
    ExpectInvalid({"-i", "a.raw", "-f", bad});
  }
  ExpectInvalid({"-i", "a.raw", "-f"});
}

TEST_F(CommandLine, DataTypeAndMeasureMethodByFirstLetter) {
  for (const auto& [text, isSigned] : std::vector<std::pair<std::string, bool>>{
           {"u", false}, {"Unsigned", false}, {"S", true}, {"signed", true}}) {
    SetUp();
    SoundInput_ns::TheRAWSound.SetSignedSamples(!isSigned);  // the parser must change it
    EXPECT_EQ(Parse({"-i", "a.raw", "-t", text}).code, 0);
    EXPECT_EQ(SoundInput_ns::TheRAWSound.SignedSamples(), isSigned) << text;
  }
  ExpectAccepted({"-tu", "-i", "a.raw"});
  EXPECT_FALSE(SoundInput_ns::TheRAWSound.SignedSamples());

  ExpectAccepted({"-i", "a.raw", "-l", "Peaks"});
  EXPECT_EQ(RunSettings.MeasureWave, MeasureMethod::kPeak);
  SetUp();
  RunSettings.MeasureWave = MeasureMethod::kPeak;
  EXPECT_EQ(Parse({"-i", "a.raw", "/Ls"}).code, 0);
  EXPECT_EQ(RunSettings.MeasureWave, MeasureMethod::kSign);

  for (const std::string bad : {"x", "", "-s", "1"}) {
    ExpectInvalid({"-i", "a.raw", "-t", bad});
    ExpectInvalid({"-i", "a.raw", "-l", bad});
  }
  ExpectInvalid({"-i", "a.raw", "-t"});
  ExpectInvalid({"-i", "a.raw", "-l"});
}

TEST_F(CommandLine, PhaseSwitchStandsAlone) {
  ExpectAccepted({"-p", "-i", "a.raw"});
  EXPECT_FALSE(RunSettings.NormalPhase);
  ExpectAccepted({"-i", "a.raw", "/P"});  // last is fine
  EXPECT_FALSE(RunSettings.NormalPhase);

  ExpectInvalid({"-p", "a.raw"});
  ExpectInvalid({"-i", "a.raw", "-p", ""});
  ExpectInvalid({"-i", "a.raw", "-p-b"});
  ExpectInvalid({"-i", "a.raw", "-px"});
}

TEST_F(CommandLine, CalibrationTakesFileNumberAndBaudRate) {
  ExpectAccepted({"-i", "a.raw", "-s", "3", "1150", "-s7", "900", "-s", "0", "32767"});
  ASSERT_EQ(RunSettings.Calibrations.size(), 3u);
  EXPECT_FALSE(RunSettings.Calibrations[3].Applied);
  EXPECT_EQ(RunSettings.Calibrations[3].BaudRate, 1150);
  EXPECT_EQ(RunSettings.Calibrations[7].BaudRate, 900);
  EXPECT_EQ(RunSettings.Calibrations[0].BaudRate, 32767);

  ExpectAccepted({"-i", "a.raw", "-s", "32767", "1", "-s", "32767", "1300"});  // the last wins
  ASSERT_EQ(RunSettings.Calibrations.size(), 1u);
  EXPECT_EQ(RunSettings.Calibrations[32767].BaudRate, 1300);

  for (const auto& bad : std::vector<std::vector<std::string>>{{"-s", "3"},
                                                               {"-s"},
                                                               {"-s3"},
                                                               {"-s", "40000", "1200"},
                                                               {"-s", "3", "-1200"},
                                                               {"-s", "-3", "1200"},
                                                               {"-s", "/3", "1200"},
                                                               {"-s", "3", "0"},
                                                               {"-s", "3", "32768"},
                                                               {"-s", "3", "12x"},
                                                               {"-s", "three", "1200"},
                                                               {"-s", " -0", "1200"}}) {
    std::vector<std::string> arguments{"-i", "a.raw"};
    arguments.insert(arguments.end(), bad.begin(), bad.end());
    ExpectInvalid(arguments);
  }
}

TEST_F(CommandLine, SignatureIsStoredEvenWhenTheNamesFail) {
  // Stored after the last argument, before the names are checked.
  ExpectInvalid({"-g", "A.", "N.", "Archivist", "-i", ".wav"});
  EXPECT_EQ(StoredSignature(folder_.Path()), "A. N. Archivist");

  // Replaced, not appended to, by a later run; exact bytes, blanks and all.
  ExpectAccepted({"-o", "out", "-g", "Jos\xc3\xa9  ", "B"});
  EXPECT_EQ(StoredSignature(folder_.Path()), "Jos\xc3\xa9   B");

  // -g at the very end clears it, even when nothing else is valid.
  ExpectInvalid({"-g"});
  ASSERT_TRUE(SignatureStored(folder_.Path()));
  EXPECT_EQ(StoredSignature(folder_.Path()), "");

  // Without -g the stored signature is left alone.
  TestSupport::StoreSignature(folder_.Path(), "kept");
  ExpectAccepted({"-o", "out", "-c"});
  EXPECT_EQ(StoredSignature(folder_.Path()), "kept");
}

// No argument vector may crash the parser: each ends in one of the three results, with the
// matching output.
TEST_F(CommandLine, AnyArgumentVectorEndsInOneOfTheThreeResults) {
  const std::string huge(100 * 1024, 'x');
  std::vector<std::vector<std::string>> vectors = {
      {""},
      {"", ""},
      {"-i", ""},
      {"-i", "", "-o", ""},
      {"-i", huge + ".raw"},
      {"-o", huge},
      {"-g", huge, "-o", "out"},
      {"-f", huge},
      {"-s", huge, huge},
      {"-" + huge},
      {"-i", "\xff\xfe\x80.raw"},
      {"-\xe9", "x"},
      {"-o", "\x01\x02\x7f"},
      {"/", "/", "/"},
  };
  for (char c = 0x21; c <= 0x7E; ++c) {
    const std::string option = std::string("-") + c;
    vectors.push_back({option});
    vectors.push_back({option, "x"});
    vectors.push_back({option + "x"});
    vectors.push_back({option, "-i", "a.raw"});
    vectors.push_back({"-i", "a.raw", option, "1", "2"});
  }
  for (const auto& arguments : vectors) {
    SetUp();
    const Parsed parsed = Parse(arguments);
    const std::string first = arguments.front().substr(0, 8);
    switch (parsed.code) {
      case 0:
        EXPECT_EQ(parsed.output, "") << first;
        break;
      case 1:
        EXPECT_TRUE(IsUsage(parsed.output)) << first;
        break;
      case 2:
        EXPECT_EQ(parsed.output, kInvalid) << first;
        break;
      default:
        ADD_FAILURE() << "result " << parsed.code << " for " << first;
    }
  }
}

}  // namespace
