#include "driver/Run_program.h"

#include <cctype>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "blocks/Decoding_context.h"
#include "dcoffset/Dc_offset_fixing_functions.h"
#include "driver/Advice.h"
#include "driver/Command_line.h"
#include "driver/Stream_splitter.h"
#include "platform/File_system.h"
#include "platform/Local_time.h"
#include "platform/Settings_store.h"
#include "sound/Card_sound.h"
#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"
#include "uef/Wave_analysis.h"

namespace MainProgram_ns {

using StreamSplitter_ns::LogStream;
using StreamSplitter_ns::Tee;

namespace {

constexpr char kBell = '\a';

// The program's block sink: the report line of each block on the tee.
class ReportSink final : public BlockProcessing_ns::BlockSink {
 public:
  void Block(const BlockProcessing_ns::ByteBufferType& block,
             const BlockProcessing_ns::BlockHeaderRecord& header) override {
    BlockProcessing_ns::ReportBlock(Tee, block, header, report_, RunSettings.BeepOnErrors);
  }
  bool AnyBlock() const { return report_.LastBlockNumber >= 0; }

 private:
  BlockProcessing_ns::BlockReportState report_;
};

// The log is written under this name beside LogName and given LogName when the run ends, so
// that an earlier log stays whole until then; empty while no log is being written.
std::string logTemporaryName;

// Opens LogStream on a new file beside LogName. When that file cannot be created the stream
// stays unopened, and the run goes on without a log.
void OpenLog() {
  // A folder, or a file that may not be written, in the log's place: no log, as when it
  // cannot be created.
  const Platform_ns::FileFacts existing = Platform_ns::FactsOf(RunSettings.LogName);
  if (existing.exists && (!existing.regular || existing.readOnly)) {
    return;
  }
  logTemporaryName = Platform_ns::TemporaryNameBeside(RunSettings.LogName);
  Platform_ns::FileResult result;
  Platform_ns::OutputFile* created =
      Platform_ns::TheFileOperations.CreateNew(logTemporaryName, result);
  if (created == nullptr) {
    logTemporaryName.clear();  // an unopened stream refuses every character
    return;
  }
  Platform_ns::TheFileOperations.Close(created);
  LogStream.open(logTemporaryName, std::ios::out | std::ios::trunc);
  if (!LogStream.is_open()) {
    Platform_ns::TheFileOperations.Remove(logTemporaryName);
    logTemporaryName.clear();
  }
}

// Reads the stored creator's signature. Returns false when there is no settings key at all,
// in which case the header has no signature lines.
bool ReadSignature(std::string& signature) {
  Platform_ns::SettingsKey key;
  if (!key.Open(false)) {
    return false;
  }
  signature = key.ReadString("Signature");
  key.Close();
  return true;
}

void WriteHeader(int argc, const char* const argv[], std::string& signature) {
  Tee << kBanner << '\n' << std::endl;

  Tee << "Command line:\n";
  for (int i = 0; i < argc; ++i) {
    if (i > 0) {
      Tee << ' ';
    }
    Tee << (argv[i] != nullptr ? argv[i] : "");
  }
  Tee << '\n' << std::endl;

  if (ReadSignature(signature)) {
    Tee << "Creator's signature:\n" << signature << '\n' << std::endl;
  }

  Tee << "Date and time (D/M/Y):" << std::endl;
  // Every later field with a width is zero-filled and hexadecimal is upper case, for the rest
  // of the run: the block report relies on it.
  Tee.fill('0');
  Tee.setf(std::ios::uppercase);
  const Platform_ns::LocalTime now = Platform_ns::CurrentLocalTime();
  Tee << std::setw(2) << now.day << '/' << std::setw(2) << now.month << '/' << std::setw(4)
      << now.year << "   " << std::setw(2) << now.hour << ':' << std::setw(2) << now.minute << '\n'
      << std::endl;
}

const char* InputKind() {
  using namespace SoundInput_ns;
  if (CurrentSound == &TheCSWSound) {
    return "CSW";
  }
  if (CurrentSound == &TheWAVSound) {
    return "WAV";
  }
  if (CurrentSound == &TheRAWSound) {
    return "RAW";
  }
  return "sound card";
}

// What the run adds on standard error after everything it reports: lines that tell the way
// forward. They never go into the report or the log.
std::vector<std::string> Advice;

// How far the log got: not yet opened, refused when it was opened, or opened.
enum class LogState { kNotOpened, kNotCreated, kOpened };
LogState TheLogState = LogState::kNotOpened;

void AddLogAdvice() {
  if (TheLogState == LogState::kNotCreated ||
      (TheLogState == LogState::kOpened && (Tee.LogFailed() || LogStream.fail()))) {
    Advice.push_back(LogFailureAdvice(RunSettings.LogName, TheLogState == LogState::kOpened));
  }
}

// Writes the advice lines, after a line break when a failure message ended without one.
void WriteAdvice(bool afterFailure) {
  for (const std::string& line : Advice) {
    if (afterFailure) {
      std::cerr << '\n';
      afterFailure = false;
    }
    std::cerr << line << '\n';
  }
  std::cerr << std::flush;
  Advice.clear();
}

// Releases the sound card while the log is still open, so that a failure to release it is
// reported there; the card's own clean-up at exit would find the log closed.
void CloseSoundCard() {
  using SoundInput_ns::TheCardSound;
  if (SoundInput_ns::CurrentSound == &TheCardSound) {
    TheCardSound.Close();
  }
}

int Run(int argc, const char* const argv[]) {
  using namespace SoundInput_ns;
  CurrentSound = &TheCardSound;
  RunSettings.MeasureWave = MeasureMethod::kSign;

  const int parsed = ParseCommandLine(argc, argv);
  if (parsed == kInvalidOption && IsOtherSoundFormat(RunSettings.InputName)) {
    Advice.push_back(OtherSoundFormatAdvice(RunSettings.InputName));
  }
  if (parsed != kParsedGoOn) {
    return parsed;
  }

  if (CurrentSound == &TheCSWSound) {
    // A CSW file already holds pulse lengths; the phase is settled by the source itself.
    RunSettings.MeasureWave = MeasureMethod::kCswPulses;
    TheCSWSound.PulseInput = true;
    if (RunSettings.NormalPhase) {
      TheCSWSound.NoPhaseShift = true;
    }
  }

  // An image written under the recording's own name would replace the recording.
  if (CurrentSound != &TheCardSound &&
      NamesSameFile(RunSettings.OutputName, RunSettings.InputName)) {
    throw std::runtime_error("The output file would replace the input file " +
                             RunSettings.InputName + ".  Give another name with -o");
  }

  // The image would replace the log, or the log the image.
  if (NamesSameFile(RunSettings.OutputName, RunSettings.LogName)) {
    throw std::runtime_error("The image and the log would both be the file " + RunSettings.LogName +
                             ".  Give another name with -o");
  }

  // Failures to open the source arrive before the log is opened, so they leave no log file.
  CurrentSound->Open(RunSettings.InputName);

  OpenLog();
  TheLogState = LogStream.is_open() ? LogState::kOpened : LogState::kNotCreated;
  Tee.RestoreLog();
  std::string signature;
  WriteHeader(argc, argv, signature);

  if (RunSettings.FixDCOffsets && (CurrentSound == &TheWAVSound || CurrentSound == &TheRAWSound)) {
    Tee << "Fixing DC offsets in file, may take a minute." << std::endl;
    // The correction rewrites the input file and closes the source, which is then opened
    // again on the corrected file.
    DCOffsetFunctions_ns::FixDCOffsets(*CurrentSound, RunSettings.InputName);
    Tee << "DC offsets successfully fixed." << std::endl;
    CurrentSound->Open(RunSettings.InputName);
  }

  if (CurrentSound == &TheCardSound) {
    RunSettings.CardInput = true;
  } else {
    CheckInputFile();
  }

  // The decoding's state for this run: the one place where the singletons are handed to it.
  ReportSink report;
  const auto context = std::make_unique<BlockProcessing_ns::DecodingContext>(
      RunSettings, *CurrentSound, UEFFormat_ns::TheUEFImage, report);
  std::vector<std::string> origins = {kBanner};
  if (!signature.empty()) {
    origins.push_back(signature);
  }
  origins.push_back(std::string("The input format was ") + InputKind() + ".");
  BlockProcessing_ns::OpenDecodingPass(*context, RunSettings.OutputName, origins);

  if (!RunSettings.NormalPhase && CurrentSound != &TheCSWSound) {
    Tee << "Phase shift changed to +180 or +270." << std::endl;
  }

  BlockProcessing_ns::DecodeBlocks(*context);
  UEFFormat_ns::SaveImage(UEFFormat_ns::TheUEFImage, RunSettings.CompressOutput);

  CloseSoundCard();
  FinishLog();
  if (!report.AnyBlock()) {
    Advice.push_back(NoBlockAdvice(CurrentSound == &TheCardSound ? "" : RunSettings.InputName,
                                   RunSettings.OutputName, RunSettings.NormalPhase));
  }
  return 0;
}

}  // namespace

bool NamesSameFile(const std::string& first, const std::string& second) {
  if (first == second) {
    return true;
  }
  // Where the file system ignores case, so does the comparison of names not yet taken.
  if (std::string(Platform_ns::PathSeparators()).find('\\') != std::string::npos &&
      first.size() == second.size()) {
    bool same = true;
    for (size_t i = 0; i < first.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(first[i])) ==
             std::tolower(static_cast<unsigned char>(second[i]));
    }
    if (same) {
      return true;
    }
  }
  std::error_code error;
  return std::filesystem::equivalent(first, second, error) && !error;
}

void CheckInputFile() {
  CheckInputFile(RunSettings.InputName);
}

void CheckInputFile(const std::string& input) {
  const Platform_ns::FileSearchResult found = Platform_ns::FindFile(input);
  if (!found.found || found.isDirectory) {
    throw std::runtime_error("Could not find " + input);
  }
  // Only the file's own name is compared: the case of the folders does not matter.
  const auto separator = input.find_last_of(Platform_ns::PathSeparators());
  const std::string name = separator == std::string::npos ? input : input.substr(separator + 1);
  if (name != found.storedName) {
    throw std::runtime_error("Wrong case of letter in input file name");
  }
}

void WriteOriginText(const std::string& text) {
  UEFFormat_ns::TheUEFImage.WriteOriginText(text);
}

void FinishLog() {
  Tee.flush();
  LogStream.close();
  if (logTemporaryName.empty()) {
    return;
  }
  const std::string written = logTemporaryName;
  logTemporaryName.clear();
  if (Platform_ns::TheFileOperations.Replace(written, RunSettings.LogName).error !=
      Platform_ns::FileError::kNone) {
    Platform_ns::TheFileOperations.Remove(written);
    std::cerr << "\nCould not give the log file its name " << RunSettings.LogName << "."
              << std::flush;
  }
}

int RunProgram(int argc, const char* const argv[]) {
  Advice.clear();
  TheLogState = LogState::kNotOpened;
  try {
    const int code = Run(argc, argv);
    AddLogAdvice();
    WriteAdvice(false);
    return code;
  } catch (const std::exception& failure) {
    try {
      CloseSoundCard();
    } catch (const std::exception&) {
      // The run has already failed; the message that matters is the first one.
    }
    FinishLog();
    std::cerr << '\n' << failure.what() << '.' << std::flush;
    std::cout << kBell << std::flush;
    AddLogAdvice();
    if (dynamic_cast<const SoundInput_ns::UnsupportedSampleForm*>(&failure) != nullptr) {
      Advice.push_back(PrepareAdvice(RunSettings.InputName));
    }
    WriteAdvice(true);
    return 0;
  } catch (...) {
    FinishLog();
    std::cerr << "\nNon STL exception.  Report this problem to the program's author with the\n"
                 "command line used, the input file and LOG file."
              << std::flush;
    std::cout << kBell << std::flush;
    AddLogAdvice();
    WriteAdvice(true);
    throw;
  }
}

}  // namespace MainProgram_ns
