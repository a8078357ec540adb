// Stopping a conversion with SIGINT, SIGTERM, SIGHUP and SIGQUIT, through the real program, at
// several moments: while it writes its header, while it decodes and while it corrects the DC
// offsets of its input (-d). Every interruption ends the log with its reason, says
// "Execution interrupted." on standard error, exits with 0 and writes no image; a recording
// being corrected is left as it was, and the correction's temporary file is gone.
//
// Two moments are made certain with named pipes: the header reads the stored signature, which
// is a pipe that the test writes only after signalling, and the decoding reads its recording
// from a pipe that the test fills only in part before signalling. The DC correction stops
// within its next block of samples, so those runs take long (sparse) recordings and are
// signalled at several moments once the correction has begun.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dcoffset/Dc_offset_fixing_functions.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"
#include "support/Process.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::RunningProcess;
using TestSupport::RunOptions;
using TestSupport::RunResult;
using TestSupport::TempFolder;

struct Stop {
  int signal;
  const char* name;
  const char* reason;  // what the log ends with
};

const std::vector<Stop> kStops = {{SIGINT, "SIGINT", "\nControl C"},
                                  {SIGTERM, "SIGTERM", "\nShutdown"},
                                  {SIGHUP, "SIGHUP", "\nClose"},
                                  {SIGQUIT, "SIGQUIT", "\nControl Break"}};

std::vector<uint8_t> Data(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) {
    data[i] = static_cast<uint8_t>(i * 13 + seed);
  }
  return data;
}

// A tape of one file, rendered at 44100 Hz.
std::vector<int8_t> TapeOf(const std::string& name, size_t length) {
  return TapeBuilder_ns::RenderSamples(
      TapeBuilder_ns::StandardTape({{name, 0x1900, 0x1900, Data(length, 5)}}), {});
}

std::string SignedBytes(const std::vector<int8_t>& samples) {
  return std::string(samples.begin(), samples.end());
}

// Waits until the program has written text on standard output, or has clearly stopped trying
// (a minute); returns what it wrote by then.
std::string WaitForOutput(const RunningProcess& process, const std::string& text) {
  std::string output;
  for (int i = 0; i < 60000; ++i) {
    output = process.OutputSoFar();
    if (output.find(text) != std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return output;
}

RunOptions Options(const TempFolder& folder, const std::vector<std::string>& arguments) {
  RunOptions options;
  options.arguments = arguments;
  options.workingFolder = folder.Path();
  options.environment = {{"XDG_CONFIG_HOME", folder / "config"}, {"HOME", folder.Path()}};
  return options;
}

// What every interrupted run shows, whatever the moment.
void ExpectInterrupted(const RunResult& result, const std::string& log, const Stop& stop,
                       const std::string& image) {
  EXPECT_EQ(result.signal, 0) << stop.name;
  EXPECT_EQ(result.exitCode, 0) << stop.name;
  EXPECT_EQ(result.errors, "\nExecution interrupted.") << stop.name;
  ASSERT_FALSE(result.output.empty()) << stop.name;
  EXPECT_EQ(result.output.back(), '\a') << stop.name;
  const std::string reason = stop.reason;
  ASSERT_GE(log.size(), reason.size()) << stop.name;
  EXPECT_EQ(log.substr(log.size() - reason.size()), reason) << stop.name;
  EXPECT_FALSE(FileExists(image)) << stop.name;
}

// Opens the pipe at path for writing once the program has opened it for reading, without
// waiting forever for a program that never does. -1 when it did not.
int OpenPipeForWriting(const std::string& path) {
  for (int i = 0; i < 60000; ++i) {
    const int descriptor = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor >= 0) {
      fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
      return descriptor;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return -1;
}

// Writes bytes to the pipe; stops early, without a failure, once the program has closed it.
void WriteToPipe(int descriptor, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(descriptor, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;  // EPIPE: the program stopped reading
    }
    done += static_cast<size_t>(written);
  }
}

// Ignores SIGPIPE in the test for as long as it lives: writing to a pipe the program has
// closed must fail, not end the test.
class IgnoringBrokenPipes {
 public:
  IgnoringBrokenPipes() { previous_ = std::signal(SIGPIPE, SIG_IGN); }
  ~IgnoringBrokenPipes() { std::signal(SIGPIPE, previous_); }
  IgnoringBrokenPipes(const IgnoringBrokenPipes&) = delete;
  IgnoringBrokenPipes& operator=(const IgnoringBrokenPipes&) = delete;

 private:
  void (*previous_)(int);
};

// Makes the stored signature a pipe: the header then waits in its reading until the test
// writes the signature.
std::string SignaturePipe(const TempFolder& folder) {
  std::filesystem::create_directories(folder / "config/Varnstow");
  const std::string path = folder / "config/Varnstow/Signature";
  EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
  return path;
}

void ReleaseHeader(const std::string& signaturePipe) {
  const int pipe = OpenPipeForWriting(signaturePipe);
  ASSERT_GE(pipe, 0) << "the program never read its signature";
  WriteToPipe(pipe, "Signed");
  close(pipe);
}

TEST(Signals, DuringTheHeaderStopTheRunAtTheFirstCheck) {
  IgnoringBrokenPipes ignoring;
  for (const Stop& stop : kStops) {
    TempFolder folder;
    TapeBuilder_ns::WriteRaw(folder / "tape.raw", TapeOf("SHORT", 600), true);
    const std::string signature = SignaturePipe(folder);
    RunningProcess process(Options(folder, {"-i", "tape.raw"}));
    // The command line is written, then the header waits for the signature.
    WaitForOutput(process, "Command line:");
    process.Signal(stop.signal);
    ReleaseHeader(signature);
    const RunResult result = process.Wait();
    const std::string log = ReadFile(folder / "tape.log");
    ExpectInterrupted(result, log, stop, folder / "tape.uef");
    // The header went on after the signal, and the run stopped at the first check.
    EXPECT_NE(log.find("Creator's signature:\nSigned\n"), std::string::npos) << stop.name;
    EXPECT_EQ(log.find("Found :"), std::string::npos) << stop.name;
  }
}

TEST(Signals, WhileDecodingStopTheRunWithoutAnImage) {
  IgnoringBrokenPipes ignoring;
  const std::string first = SignedBytes(TapeOf("FIRST", 600));
  const std::string second = SignedBytes(TapeOf("SECOND", 600));
  for (const Stop& stop : kStops) {
    TempFolder folder;
    // The recording comes through a pipe: the program waits for more after the first tape.
    ASSERT_EQ(mkfifo((folder / "tape.raw").c_str(), 0600), 0);
    RunningProcess process(Options(folder, {"-i", "tape.raw"}));
    const int pipe = OpenPipeForWriting(folder / "tape.raw");
    ASSERT_GE(pipe, 0) << "the program never opened its recording";
    WriteToPipe(pipe, first);
    const std::string before = WaitForOutput(process, "FIRST 02\tChecksum ok, last block flag");
    EXPECT_NE(before.find("FIRST 02"), std::string::npos) << stop.name;
    process.Signal(stop.signal);
    WriteToPipe(pipe, second);
    close(pipe);
    const RunResult result = process.Wait();
    const std::string log = ReadFile(folder / "tape.log");
    ExpectInterrupted(result, log, stop, folder / "tape.uef");
    EXPECT_NE(log.find("FIRST 02"), std::string::npos) << stop.name;
  }
}

// A recording of megabytes of samples, as RAW (signed) or as WAV: a drifting tape at its
// start, then silence as a hole in a sparse file, which costs no disk and little time to read
// but as much to correct as any samples.
struct LongRecording {
  std::string name;
  std::string bytes;  // the first bytes; the rest are zeros
  uint64_t length = 0;
};

LongRecording MakeLongRecording(const std::string& name, size_t megabytes) {
  const bool wav = name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0;
  TapeBuilder_ns::RenderOptions options;
  options.driftAmplitude = 20;
  options.driftFrequencyHz = 3;
  const auto once = TapeBuilder_ns::RenderSamples(
      TapeBuilder_ns::StandardTape({{"LONG", 0, 0, Data(4000, 9)}}), options);
  LongRecording recording;
  recording.name = name;
  const uint64_t samples = uint64_t{megabytes} * 1000000;
  if (wav) {
    const auto header = TapeBuilder_ns::WavHeader(44100, static_cast<uint32_t>(samples), false);
    recording.bytes.assign(header.begin(), header.end());
  }
  recording.length = recording.bytes.size() + samples;
  for (const int8_t sample : once) {
    // WAV holds unsigned samples.
    recording.bytes +=
        static_cast<char>(wav ? static_cast<uint8_t>(sample + 128) : static_cast<uint8_t>(sample));
  }
  return recording;
}

void WriteRecording(const TempFolder& folder, const LongRecording& recording) {
  TestSupport::WriteFile(folder / recording.name, recording.bytes);
  std::filesystem::resize_file(folder / recording.name, recording.length);
}

// What an interruption of -d left: the recording as it was, and nothing but it and the log.
void ExpectUntouchedAfterInterruptedCorrection(const TempFolder& folder,
                                               const LongRecording& recording, const Stop& stop,
                                               const RunResult& result) {
  const std::string stem = recording.name.substr(0, recording.name.size() - 4);
  const std::string log = ReadFile(folder / (stem + ".log"));
  ExpectInterrupted(result, log, stop, folder / (stem + ".uef"));
  EXPECT_EQ(log.find("DC offsets successfully fixed."), std::string::npos) << stop.name;
  EXPECT_EQ(std::filesystem::file_size(folder / recording.name), recording.length) << stop.name;
  // The correction would change the drifting start; the silence after it stays silence.
  std::ifstream file(folder / recording.name, std::ios::binary);
  std::string start(recording.bytes.size(), '\0');
  file.read(&start[0], static_cast<std::streamsize>(start.size()));
  EXPECT_TRUE(start == recording.bytes) << stop.name << ": the recording was changed";
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected = {stem + ".log", recording.name};
  std::sort(expected.begin(), expected.end());
  if (std::filesystem::exists(folder / "config")) {
    expected.insert(expected.begin(), "config");
  }
  EXPECT_EQ(names, expected) << stop.name;
}

TEST(Signals, DuringTheDcCorrectionStopItAndLeaveTheRecordingAsItWas) {
  const LongRecording raw = MakeLongRecording("long.raw", 400);
  const LongRecording wav = MakeLongRecording("long.wav", 400);
  for (const int delay : {0, 40, 150}) {
    for (const Stop& stop : kStops) {
      // RAW for two of the signals, WAV for the others.
      const LongRecording& recording = stop.signal == SIGINT || stop.signal == SIGHUP ? raw : wav;
      TempFolder folder;
      WriteRecording(folder, recording);
      RunningProcess process(Options(folder, {"-i", recording.name, "-d"}));
      WaitForOutput(process, "Fixing DC offsets in file, may take a minute.");
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      process.Signal(stop.signal);
      SCOPED_TRACE("signalled " + std::to_string(delay) + " ms into the correction");
      ExpectUntouchedAfterInterruptedCorrection(folder, recording, stop, process.Wait());
    }
  }
}

TEST(Signals, PendingWhenTheDcCorrectionStartsStopItBeforeItWrites) {
  // Signalled in the header, before the correction: the correction does not start.
  IgnoringBrokenPipes ignoring;
  const LongRecording raw = MakeLongRecording("long.raw", 4);
  const Stop& stop = kStops[1];
  TempFolder folder;
  WriteRecording(folder, raw);
  const std::string signature = SignaturePipe(folder);
  RunningProcess process(Options(folder, {"-i", raw.name, "-d"}));
  WaitForOutput(process, "Command line:");
  process.Signal(stop.signal);
  ReleaseHeader(signature);
  const RunResult result = process.Wait();
  ExpectUntouchedAfterInterruptedCorrection(folder, raw, stop, result);
}

}  // namespace
