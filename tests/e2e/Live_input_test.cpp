// Recording live through ALSA without sound hardware: a configuration of the test's own makes
// ALSA's default capture device play a file (the "file" plugin reading its infile over a
// "null" device). ALSA_CONFIG_PATH points at that configuration, so the user's own is never
// read. The tests look at the ALSA wave input directly, then run the whole program with the
// stop key typed through a pipe or a pseudo-terminal.
//
// The file plugin reads its infile as fast as it is asked to, and once the file has run out
// it leaves the caller's buffer as it was. The sound card source fills its two buffers in
// turn, so what it then gets again is what a buffer held two buffers earlier: every recording
// here ends with more silence than two buffers hold, so that all it can get again is silence.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Wave_input.h"
#include "sound/Card_sound.h"
#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using Platform_ns::WaveBuffer;
using Platform_ns::WaveWait;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

constexpr uint32_t kBoth =
    Platform_ns::kWaveFormatMono8Bit44100 | Platform_ns::kWaveFormatMono8Bit22050;
constexpr size_t kBuffer = SoundInput_ns::CardSound::kBufferLength;

// A capture device that plays infile, for an ALSA configuration.
std::string PlayingDevice(const std::string& name, const std::string& infile) {
  return "pcm." + name +
         " {\n"
         "  type file\n"
         "  slave.pcm { type null }\n"
         "  file \"/dev/null\"\n"
         "  infile \"" +
         infile +
         "\"\n"
         "  format \"raw\"\n"
         "  hint { show on description \"Tape player of the tests\" }\n"
         "}\n";
}

// The default device of the configuration plays infile.
std::string TapePlayerConfiguration(const std::string& infile) {
  return PlayingDevice("!default", infile);
}

std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> Noise(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  for (auto& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(seed >> 23);
  }
  return bytes;
}

// Waits, without a limit that matters, until done() holds; false if it never does.
bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 24000; ++i) {
    if (done()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// The ALSA wave input itself.

class AlsaWaveInput : public ::testing::Test {
 protected:
  void SetUp() override { UseConfiguration(""); }
  void TearDown() override { setenv("ALSA_CONFIG_PATH", (folder_ / "absent.conf").c_str(), 1); }
  void UseConfiguration(const std::string& text) {
    const std::string path = folder_ / ("asound" + std::to_string(++configurations_) + ".conf");
    WriteFile(path, text);
    setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
  }
  // Records length bytes from device through two buffers taken in turn.
  std::vector<uint8_t> Record(uint32_t device, size_t length) {
    Platform_ns::WaveInput& input = Platform_ns::SystemWaveInput();
    std::vector<uint8_t> recorded;
    if (!input.Open(device, 44100)) {
      ADD_FAILURE() << "device " << device << " does not open";
      return recorded;
    }
    EXPECT_TRUE(input.Start());
    std::vector<uint8_t> memory(2 * kBuffer);
    const WaveBuffer buffers[2] = {{memory.data(), static_cast<uint32_t>(kBuffer)},
                                   {memory.data() + kBuffer, static_cast<uint32_t>(kBuffer)}};
    EXPECT_TRUE(input.Queue(buffers[0]));
    EXPECT_TRUE(input.Queue(buffers[1]));
    for (int which = 0; recorded.size() < length; which = 1 - which) {
      WaveWait wait = WaveWait::kNotYet;
      while (wait == WaveWait::kNotYet) {
        wait = input.WaitUntilFull(buffers[which], 100);
      }
      EXPECT_EQ(wait, WaveWait::kFull);
      if (wait != WaveWait::kFull) {
        break;
      }
      recorded.insert(recorded.end(), buffers[which].data, buffers[which].data + kBuffer);
      EXPECT_TRUE(input.Queue(buffers[which]));
    }
    EXPECT_FALSE(input.TakeOverrun());
    EXPECT_TRUE(input.Stop());
    EXPECT_TRUE(input.Close());
    recorded.resize(std::min(recorded.size(), length));
    return recorded;
  }

  TempFolder folder_;
  int configurations_ = 0;
};

TEST_F(AlsaWaveInput, ListsTheDevicesThatCaptureWithTheDefaultLast) {
  const auto tape = Noise(4 * kBuffer, 7);
  WriteFile(folder_ / "tape.raw", Text(tape));
  WriteFile(folder_ / "other.raw", Text(Noise(4 * kBuffer, 99)));
  UseConfiguration(TapePlayerConfiguration(folder_ / "tape.raw") +
                   PlayingDevice("deck", folder_ / "other.raw") +
                   // Not devices to record from: playback only, no hint, ALSA's silence, one
                   // that does not open.
                   "pcm.speakers { type null hint { description \"Speakers|IOIDOutput\" } }\n"
                   "pcm.unlisted { type null }\n"
                   "pcm.null { type null hint { description \"Silence\" } }\n"
                   "pcm.broken { type file slave.pcm \"absent\" file \"/dev/null\" "
                   "hint { description \"Broken\" } }\n");
  Platform_ns::WaveInput& input = Platform_ns::SystemWaveInput();
  ASSERT_EQ(input.DeviceCount(), 2u);
  for (uint32_t device = 0; device < 2; ++device) {
    uint32_t formats = 0;
    EXPECT_TRUE(input.DeviceFormats(device, formats));
    EXPECT_EQ(formats, kBoth) << "device " << device;
  }
  uint32_t formats = 0;
  EXPECT_FALSE(input.DeviceFormats(2, formats));
  // The last device is the default: it plays tape.raw.
  EXPECT_EQ(Record(1, 3 * kBuffer), std::vector<uint8_t>(tape.begin(), tape.begin() + 3 * kBuffer));
  EXPECT_NE(Record(0, kBuffer), std::vector<uint8_t>(tape.begin(), tape.begin() + kBuffer));
}

TEST_F(AlsaWaveInput, DeliversEveryByteInOrderAcrossBuffersAndReads) {
  // Not a whole number of reads or of buffers, so the pieces meet at every offset.
  const auto tape = Noise(5 * kBuffer + 4321, 3);
  WriteFile(folder_ / "tape.raw", Text(tape));
  UseConfiguration(TapePlayerConfiguration(folder_ / "tape.raw"));
  Platform_ns::WaveInput& input = Platform_ns::SystemWaveInput();
  ASSERT_EQ(input.DeviceCount(), 1u);
  EXPECT_EQ(Record(0, 5 * kBuffer), std::vector<uint8_t>(tape.begin(), tape.begin() + 5 * kBuffer));

  // A buffer that is not queued counts as full; a device opens only once at a time.
  ASSERT_TRUE(input.Open(0, 22050));
  uint8_t byte = 0;
  EXPECT_EQ(input.WaitUntilFull(WaveBuffer{&byte, 1}, 10), WaveWait::kFull);
  EXPECT_FALSE(input.Open(0, 22050));
  EXPECT_TRUE(input.Close());
  EXPECT_FALSE(input.Close());
}

TEST_F(AlsaWaveInput, WithoutDevicesTheCardSaysNoneIsInstalled) {
  for (const std::string& configuration :
       {std::string("pcm.null { type null hint { description \"Silence\" } }\n"
                    "pcm.speakers { type null hint { description \"Out|IOIDOutput\" } }\n"),
        std::string("pcm.!default { type file slave.pcm \"absent\" file \"/dev/null\" }\n")}) {
    UseConfiguration(configuration);
    EXPECT_EQ(Platform_ns::SystemWaveInput().DeviceCount(), 0u) << configuration;
    SoundInput_ns::CardSound card;
    std::string message;
    try {
      card.Open("");
    } catch (const std::runtime_error& failure) {
      message = failure.what();
    }
    EXPECT_EQ(message, "No wave input devices installed");
  }
}

// ---------------------------------------------------------------------------------------------
// Whole runs of the program.

const std::vector<TapeBuilder_ns::FileSpec> kFiles = {{"LIVE", 0x1900, 0x8023, Noise(600, 5)},
                                                      {"DATA", 0x3000, 0x3000, Noise(200, 8)}};
constexpr size_t kBlocks = 4;

// The recording of kFiles, its samples as the card's unsigned bytes, ending with more silence
// than two buffers hold.
std::vector<int8_t> TapeSamples() {
  auto samples = TapeBuilder_ns::RenderSamples(TapeBuilder_ns::StandardTape(kFiles),
                                               TapeBuilder_ns::RenderOptions{});
  samples.insert(samples.end(), 3 * kBuffer, 0);
  return samples;
}

// A run of the program recording from the test's tape player, its keys typed through
// keyboard (the read end of a pipe, or a terminal).
class LiveRun {
 public:
  LiveRun(const TempFolder& folder, int keyboard, std::vector<std::string> arguments,
          long long fileSizeLimit = -1) {
    std::string bytes;
    for (const int8_t sample : TapeSamples()) {
      bytes += static_cast<char>(static_cast<uint8_t>(sample) ^ 0x80);
    }
    WriteFile(folder / "player.raw", bytes);
    WriteFile(folder / "asound.conf", TapePlayerConfiguration(folder / "player.raw"));
    TestSupport::RunOptions options;
    options.arguments = std::move(arguments);
    options.workingFolder = folder.Path();
    options.environment = {{"ALSA_CONFIG_PATH", folder / "asound.conf"},
                           {"XDG_CONFIG_HOME", folder / "config"},
                           {"HOME", folder.Path()}};
    options.standardInputDescriptor = keyboard;
    options.ownProcessGroup = true;
    options.fileSizeLimit = fileSizeLimit;
    process_ = std::make_unique<TestSupport::RunningProcess>(options);
  }

  TestSupport::RunningProcess& Process() { return *process_; }
  bool ShowsAllBlocks() {
    return WaitFor([&] { return Count(process_->OutputSoFar(), "Found : ") >= kBlocks; });
  }

 private:
  std::unique_ptr<TestSupport::RunningProcess> process_;
};

class KeyPipe {
 public:
  KeyPipe() {
    if (pipe2(ends_, O_CLOEXEC) != 0) {
      throw std::runtime_error("no pipe");
    }
  }
  ~KeyPipe() {
    CloseReadEnd();
    CloseWriteEnd();
  }
  int ReadEnd() const { return ends_[0]; }
  void CloseReadEnd() { CloseEnd(0); }  // once the child has it
  void CloseWriteEnd() { CloseEnd(1); }
  void Type(const std::string& keys) {
    ASSERT_EQ(write(ends_[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

 private:
  void CloseEnd(int end) {
    if (ends_[end] >= 0) {
      close(ends_[end]);
      ends_[end] = -1;
    }
  }
  int ends_[2] = {-1, -1};
};

TEST(LiveRecording, ATapePlayedIntoTheCardGivesTheImageOfTheSameRecordingFromAFile) {
  TempFolder folder;
  // The same recording as a RAW file, converted as usual.
  TapeBuilder_ns::WriteRaw(folder / "tape.raw", TapeSamples(), true);
  const auto fromFile = TestSupport::RunVarnstow(folder.Path(), {"-i", "tape.raw", "-c"});
  ASSERT_EQ(fromFile.exitCode, 0) << fromFile.errors;
  const auto fileChunks = TestSupport::ParseChunks(ReadFile(folder / "tape.uef"));

  KeyPipe keys;
  LiveRun run(folder, keys.ReadEnd(), {"-o", "live"});
  keys.CloseReadEnd();
  keys.Type("x ");  // not stop keys
  ASSERT_TRUE(run.ShowsAllBlocks()) << run.Process().OutputSoFar();
  keys.Type("q");
  const auto result = run.Process().Wait();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "");
  EXPECT_NE(result.output.find("Found :       LIVE 00\tChecksum ok\n"
                               "Found :       LIVE 01\tChecksum ok\n"
                               "Found :       LIVE 02\tChecksum ok, last block flag\n"
                               "Found :       DATA 00\tChecksum ok, last block flag\n"),
            std::string::npos)
      << result.output;
  EXPECT_EQ(ReadFile(folder / "live.log"), result.output);

  const auto liveChunks = TestSupport::ParseChunks(TestSupport::GunzipFile(folder / "live.uef"));
  const auto liveData = TestSupport::ChunksWithId(liveChunks, 0x0100);
  ASSERT_EQ(liveData.size(), kBlocks);
  const auto fileData = TestSupport::ChunksWithId(fileChunks, 0x0100);
  ASSERT_EQ(fileData.size(), kBlocks);
  for (size_t i = 0; i < kBlocks; ++i) {
    EXPECT_EQ(liveData[i].data, fileData[i].data) << "block " << i;
  }
  const auto origins = TestSupport::ChunksWithId(liveChunks, 0x0000);
  ASSERT_FALSE(origins.empty());
  EXPECT_EQ(origins.back().data, std::string("The input format was sound card.") + '\0');
}

TEST(LiveRecording, TheEndOfStandardInputLeavesTheRecordingRunningUntilInterrupted) {
  TempFolder folder;
  KeyPipe keys;
  LiveRun run(folder, keys.ReadEnd(), {"-o", "live"});
  keys.CloseReadEnd();
  keys.Type("z");
  keys.CloseWriteEnd();  // standard input ends: no key can come any more
  ASSERT_TRUE(run.ShowsAllBlocks()) << run.Process().OutputSoFar();
  run.Process().Signal(SIGTERM);
  const auto result = run.Process().Wait();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "\nExecution interrupted.");
  const std::string log = ReadFile(folder / "live.log");
  const std::string reason = "\nShutdown";
  ASSERT_GE(log.size(), reason.size());
  EXPECT_EQ(log.substr(log.size() - reason.size()), reason);
  EXPECT_FALSE(TestSupport::FileExists(folder / "live.uef"));
}

// A pseudo-terminal for the program's standard input.
class Terminal {
 public:
  Terminal() {
    controller_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (controller_ < 0 || grantpt(controller_) != 0 || unlockpt(controller_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    fcntl(controller_, F_SETFD, FD_CLOEXEC);
    const char* name = ptsname(controller_);
    terminal_ = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_ < 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    termios settings{};
    tcgetattr(terminal_, &settings);
    settings.c_lflag |= ICANON | ECHO | ISIG;
    tcsetattr(terminal_, TCSANOW, &settings);
    tcgetattr(terminal_, &found_);
  }
  ~Terminal() {
    close(terminal_);
    close(controller_);
  }
  int Descriptor() const { return terminal_; }
  termios Settings() const {
    termios settings{};
    tcgetattr(terminal_, &settings);
    return settings;
  }
  // Whether the terminal is as it was found.
  bool AsFound() const {
    const termios now = Settings();
    return now.c_lflag == found_.c_lflag && now.c_iflag == found_.c_iflag &&
           now.c_oflag == found_.c_oflag && now.c_cc[VMIN] == found_.c_cc[VMIN] &&
           now.c_cc[VTIME] == found_.c_cc[VTIME];
  }
  // Key mode: keys without Enter and without echo, control keys still working.
  bool InKeyMode() const {
    const termios now = Settings();
    return (now.c_lflag & (ICANON | ECHO)) == 0 && (now.c_lflag & ISIG) != 0 &&
           now.c_cc[VMIN] == 0 && now.c_cc[VTIME] == 0;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(write(controller_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

 private:
  int controller_ = -1;
  int terminal_ = -1;
  termios found_{};
};

TEST(LiveRecording, TheTerminalIsInKeyModeWhileRecordingAndGivenBackWhenStoppedOrEnded) {
  TempFolder folder;
  Terminal terminal;
  LiveRun run(folder, terminal.Descriptor(), {"-o", "live"});
  ASSERT_TRUE(WaitFor([&] { return terminal.InKeyMode(); }));

  // Control-Z: the terminal is given back while the program is stopped, and key mode is taken
  // up again when it continues. (Not when this test was started with Control-Z ignored: the
  // program then keeps it ignored.)
  struct sigaction stop {};
  if (sigaction(SIGTSTP, nullptr, &stop) == 0 && stop.sa_handler != SIG_IGN) {
    run.Process().Signal(SIGTSTP);
    int status = 0;
    ASSERT_EQ(waitpid(run.Process().Pid(), &status, WUNTRACED), run.Process().Pid());
    ASSERT_TRUE(WIFSTOPPED(status));
    EXPECT_TRUE(terminal.AsFound());
    run.Process().Signal(SIGCONT);
    EXPECT_TRUE(WaitFor([&] { return terminal.InKeyMode(); }));
  }

  ASSERT_TRUE(run.ShowsAllBlocks()) << run.Process().OutputSoFar();
  terminal.Type("kq");
  const auto result = run.Process().Wait();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.errors, "");
  EXPECT_TRUE(terminal.AsFound());
  EXPECT_EQ(TestSupport::ChunksWithId(
                TestSupport::ParseChunks(TestSupport::GunzipFile(folder / "live.uef")), 0x0100)
                .size(),
            kBlocks);
}

TEST(LiveRecording, TheTerminalIsGivenBackWhenTheRunIsInterruptedOrFails) {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    // A signal ignored here is ignored by the program too (it keeps what it was started with).
    struct sigaction current {};
    if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      continue;
    }
    TempFolder folder;
    Terminal terminal;
    LiveRun run(folder, terminal.Descriptor(), {"-o", "live"});
    ASSERT_TRUE(WaitFor([&] { return terminal.InKeyMode(); }));
    run.Process().Signal(signalNumber);
    const auto result = run.Process().Wait();
    EXPECT_EQ(result.exitCode, 0) << signalNumber;
    EXPECT_EQ(result.errors, "\nExecution interrupted.") << signalNumber;
    EXPECT_TRUE(terminal.AsFound()) << signalNumber;
  }

  // The image cannot be written: the run fails after the stop key.
  TempFolder folder;
  Terminal terminal;
  LiveRun run(folder, terminal.Descriptor(), {"-o", "live", "-c"}, 700);
  ASSERT_TRUE(run.ShowsAllBlocks()) << run.Process().OutputSoFar();
  terminal.Type("\x1b");  // Escape
  const auto result = run.Process().Wait();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(result.errors == "\nError writing UEF file on drive." ||
              result.errors == "\nCould not close UEF file on drive.")
      << result.errors;
  EXPECT_TRUE(terminal.AsFound());
}

}  // namespace
