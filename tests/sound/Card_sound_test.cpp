// The sound card source over a wave input and a keyboard of the test's own: the device chosen,
// the samples in order across the two buffers, the stop keys, closing, and every failure.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "blocks/Block_driver.h"
#include "driver/Stream_splitter.h"
#include "platform/Keyboard.h"
#include "platform/Wave_input.h"
#include "sound/Card_sound.h"
#include "support/Decoding.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"
#include "uef/Wave_analysis.h"

namespace {

using Platform_ns::kWaveFormatMono8Bit22050;
using Platform_ns::kWaveFormatMono8Bit44100;
using Platform_ns::WaveBuffer;
using Platform_ns::WaveWait;
using SoundInput_ns::CardSound;

constexpr uint32_t kBoth = kWaveFormatMono8Bit44100 | kWaveFormatMono8Bit22050;
constexpr size_t kLength = CardSound::kBufferLength;

// A wave input that records given bytes (silence, 128, after them). A fast device fills each
// buffer the moment it is queued, as a driver working in the background may; a slow one fills
// buffers only while they are waited for. It names the buffers A and B in the order they are
// first queued and keeps a log of what it was asked to do.
class FakeWaveInput final : public Platform_ns::WaveInput {
 public:
  std::vector<uint32_t> devices;   // the format bits of each device
  std::vector<bool> unreadable;    // devices whose capabilities cannot be read
  std::vector<uint8_t> recording;  // what the device records
  bool fast = true;                // fill at queueing rather than while waited for
  int notYetReplies = 0;           // every wait first answers "not yet" this often
  bool failOpen = false, failStart = false, failStop = false, failClose = false;
  int failQueueNumber = -1;  // the Queue call (counted from 0) that fails
  int failWaitNumber = -1;   // the wait (counted from 0) that fails
  bool overrun = false;      // reported, once, by TakeOverrun

  std::vector<std::string> log;
  int openedDevice = -1;
  uint32_t openedRate = 0;
  bool open = false;
  size_t delivered = 0;     // bytes of the recording filled into buffers so far
  int unfilledAtStop = -1;  // queued buffers not yet full when Stop was called
  std::vector<std::string> misuse;

  uint32_t DeviceCount() override {
    log.push_back("count");
    return static_cast<uint32_t>(devices.size());
  }
  bool DeviceFormats(uint32_t device, uint32_t& formats) override {
    if (device < unreadable.size() && unreadable[device]) {
      return false;
    }
    formats = devices.at(device);
    return true;
  }
  bool Open(uint32_t device, uint32_t sampleRate) override {
    log.push_back("open " + std::to_string(device) + " " + std::to_string(sampleRate));
    if (failOpen) {
      return false;
    }
    if (open) {
      misuse.push_back("opened twice");
    }
    open = true;
    openedDevice = static_cast<int>(device);
    openedRate = sampleRate;
    return true;
  }
  bool Start() override {
    log.push_back("start");
    return !failStart;
  }
  bool Queue(const WaveBuffer& buffer) override {
    log.push_back("queue " + Name(buffer));
    if (queueCalls_++ == failQueueNumber) {
      return false;
    }
    if (!open) {
      misuse.push_back("queued while closed");
    }
    for (const Pending& pending : pending_) {
      if (pending.buffer.data == buffer.data) {
        misuse.push_back("queued twice");
      }
    }
    pending_.push_back({buffer, false});
    if (fast) {
      Fill(pending_.back());
    }
    return true;
  }
  WaveWait WaitUntilFull(const WaveBuffer& buffer, uint32_t) override {
    size_t at = 0;
    while (at < pending_.size() && pending_[at].buffer.data != buffer.data) {
      ++at;
    }
    if (at == pending_.size()) {
      return WaveWait::kFull;
    }
    if (notYetLeft_ > 0) {
      --notYetLeft_;
      return WaveWait::kNotYet;
    }
    if (waitCalls_++ == failWaitNumber) {
      return WaveWait::kFailed;
    }
    notYetLeft_ = notYetReplies;
    // In the order queued: everything before it fills first.
    for (size_t i = 0; i <= at; ++i) {
      if (!pending_[i].filled) {
        Fill(pending_[i]);
      }
    }
    log.push_back("full " + Name(buffer));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(at) + 1);
    return WaveWait::kFull;
  }
  bool TakeOverrun() override {
    const bool overran = overrun;
    overrun = false;
    return overran;
  }
  bool Stop() override {
    log.push_back("stop");
    unfilledAtStop = 0;
    for (const Pending& pending : pending_) {
      unfilledAtStop += pending.filled ? 0 : 1;
    }
    pending_.clear();
    return !failStop;
  }
  bool Close() override {
    log.push_back("close");
    open = false;
    return !failClose;
  }

  // Where in the recording each filled buffer started, as "A@0", "B@16384", ...
  std::vector<std::string> fills;

 private:
  struct Pending {
    WaveBuffer buffer;
    bool filled;
  };

  std::string Name(const WaveBuffer& buffer) {
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == buffer.data) {
        return std::string(1, static_cast<char>('A' + i));
      }
    }
    names_.push_back(buffer.data);
    return std::string(1, static_cast<char>('A' + names_.size() - 1));
  }
  void Fill(Pending& pending) {
    fills.push_back(Name(pending.buffer) + "@" + std::to_string(delivered));
    for (uint32_t i = 0; i < pending.buffer.length; ++i, ++delivered) {
      pending.buffer.data[i] = delivered < recording.size() ? recording[delivered] : 128;
    }
    pending.filled = true;
  }

  std::deque<Pending> pending_;
  std::vector<const uint8_t*> names_;
  int queueCalls_ = 0;
  int waitCalls_ = 0;
  int notYetLeft_ = 0;
};

// Keys typed, handed out one per call once key mode has begun.
class FakeKeys final : public Platform_ns::KeyInput {
 public:
  std::deque<int> typed;
  int begun = 0;
  int ended = 0;
  int readsOutsideKeyMode = 0;
  // When set, "q" is typed once the device has recorded this many bytes.
  const FakeWaveInput* device = nullptr;
  size_t quitAfter = 0;

  void Begin() override {
    ++begun;
    active_ = true;
  }
  int NextKey() override {
    if (!active_) {
      ++readsOutsideKeyMode;
    }
    if (device != nullptr && device->delivered >= quitAfter) {
      device = nullptr;
      typed.push_back('q');
    }
    if (typed.empty()) {
      return Platform_ns::kNoKey;
    }
    const int key = typed.front();
    typed.pop_front();
    return key;
  }
  void End() override {
    ++ended;
    active_ = false;
  }

 private:
  bool active_ = false;
};

std::vector<uint8_t> Noise(size_t length) {
  std::vector<uint8_t> bytes(length);
  uint32_t state = 2463534242u;
  for (auto& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

std::string FailureOf(CardSound& card) {
  try {
    card.Open("ignored");
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
  return "";
}

class CardSoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Platform_ns::UseWaveInput(&device_);
    Platform_ns::UseKeyInput(&keys_);
    device_.devices = {kBoth};
  }
  void TearDown() override {
    Platform_ns::UseWaveInput(nullptr);
    Platform_ns::UseKeyInput(nullptr);
    EXPECT_EQ(device_.misuse, std::vector<std::string>{});
    EXPECT_EQ(keys_.readsOutsideKeyMode, 0);
  }

  // Opens a card over the fake devices and returns the device and rate it chose.
  std::pair<int, uint32_t> Choice(const std::vector<uint32_t>& devices) {
    device_.devices = devices;
    CardSound card;
    card.Open("");
    EXPECT_EQ(card.SampleRate, device_.openedRate);
    return {device_.openedDevice, device_.openedRate};
  }

  // Run output written through the tee while report is called, as the log received it.
  template <class Action>
  std::string Report(Action action) {
    const std::string path = folder_ / "report.log";
    StreamSplitter_ns::LogStream.close();
    StreamSplitter_ns::LogStream.clear();
    StreamSplitter_ns::LogStream.open(path, std::ios::out | std::ios::trunc);
    StreamSplitter_ns::Tee.clear();
    action();
    return TestSupport::FinishReport(path);
  }

  FakeWaveInput device_;
  FakeKeys keys_;
  TestSupport::TempFolder folder_;
};

TEST_F(CardSoundTest, ChoosesTheBestScoringDeviceAndTheHighestNumberedAmongEquals) {
  // 44100 Hz mono 8-bit scores 2, 22050 Hz scores 1.
  EXPECT_EQ(Choice({kBoth, kBoth}), std::make_pair(1, 44100u));
  EXPECT_EQ(Choice({kWaveFormatMono8Bit44100, kWaveFormatMono8Bit44100, 0}),
            std::make_pair(1, 44100u));
  EXPECT_EQ(Choice({kWaveFormatMono8Bit44100, kWaveFormatMono8Bit22050}),
            std::make_pair(0, 44100u));
  EXPECT_EQ(Choice({kWaveFormatMono8Bit22050, kBoth, kWaveFormatMono8Bit22050}),
            std::make_pair(1, 44100u));
  // Formats of no use to the program do not count.
  EXPECT_EQ(Choice({kBoth, 0xFFFFu & ~kBoth}), std::make_pair(0, 44100u));
}

TEST_F(CardSoundTest, RecordsAt22050WhenNoDeviceOffers44100) {
  EXPECT_EQ(Choice({kWaveFormatMono8Bit22050, 0}), std::make_pair(0, 22050u));
  EXPECT_EQ(Choice({0, kWaveFormatMono8Bit22050, kWaveFormatMono8Bit22050, 0}),
            std::make_pair(2, 22050u));
}

TEST_F(CardSoundTest, OpenStartsRecordingAndReturnsWithTheFirstBufferFull) {
  device_.fast = false;
  CardSound card;
  card.Open("");
  EXPECT_EQ(device_.log, (std::vector<std::string>{"count", "open 0 44100", "start", "queue A",
                                                   "queue B", "full A"}));
  EXPECT_EQ(keys_.begun, 1);
  EXPECT_EQ(card.TotalLength, 0);
  EXPECT_EQ(card.Position, 0u);
}

// Both paces of the device: the samples come in recording order, none lost or repeated.
class CardSoundPace : public CardSoundTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CardSoundPace, SamplesArriveInOrderThroughBothBuffersInTurn) {
  device_.fast = GetParam();
  device_.notYetReplies = 2;
  device_.recording = Noise(5 * kLength + 123);
  CardSound card;
  card.Open("");
  for (size_t i = 0; i < device_.recording.size(); ++i) {
    const int8_t sample = card.NextSample();
    ASSERT_EQ(sample, static_cast<int8_t>(device_.recording[i] ^ 0x80)) << "sample " << i + 1;
    ASSERT_FALSE(card.AtEnd());
  }
  // Sample 16385 was the first byte of the second buffer; the buffers took turns.
  ASSERT_GE(device_.fills.size(), 6u);
  EXPECT_EQ(device_.fills[0], "A@0");
  EXPECT_EQ(device_.fills[1], "B@" + std::to_string(kLength));
  EXPECT_EQ(device_.fills[2], "A@" + std::to_string(2 * kLength));
  EXPECT_EQ(device_.fills[5], "B@" + std::to_string(5 * kLength));
  EXPECT_FALSE(card.Close());
}

INSTANTIATE_TEST_SUITE_P(FastAndSlowDevice, CardSoundPace, ::testing::Bool());

TEST_F(CardSoundTest, UnsignedBytesBecomeSamplesCentredOnSilence) {
  device_.recording.assign(kLength + 10, 128);
  device_.recording[kLength - 1] = 255;
  device_.recording[kLength] = 0;
  device_.recording[kLength + 1] = 129;
  CardSound card;
  card.Open("");
  for (size_t i = 0; i + 1 < kLength; ++i) {
    ASSERT_EQ(card.NextSample(), 0) << "sample " << i + 1;
  }
  EXPECT_EQ(card.NextSample(), 127);
  EXPECT_EQ(card.NextSample(), -128);
  EXPECT_EQ(card.NextSample(), 1);
  EXPECT_EQ(card.NextSample(), 0);
}

TEST_F(CardSoundTest, OnlyEscapeQAndLowerCaseQStop) {
  for (const int stopKey : {Platform_ns::kEscapeKey, int{'Q'}, int{'q'}}) {
    CardSound card;
    EXPECT_FALSE(card.AtEnd());  // not recording: no key is read
    card.Open("");
    keys_.typed = {'x', 'w', ' ', 13, 'z'};
    for (int i = 0; i < 8; ++i) {
      EXPECT_FALSE(card.AtEnd()) << "call " << i;
    }
    EXPECT_TRUE(keys_.typed.empty());  // the other keys were read and ignored
    keys_.typed = {stopKey, 'x'};
    EXPECT_TRUE(card.AtEnd()) << stopKey;
    EXPECT_TRUE(card.AtEnd());
    EXPECT_EQ(keys_.typed.size(), 1u);  // once stopped, keys are left alone
  }
}

TEST_F(CardSoundTest, CloseWaitsForEveryBufferBeforeStoppingAndClosing) {
  device_.fast = false;
  device_.notYetReplies = 3;
  device_.recording = Noise(3 * kLength);
  CardSound card;
  card.Open("");
  for (size_t i = 0; i < kLength + 100; ++i) {
    card.NextSample();  // into buffer B, with A queued again and still empty
  }
  device_.log.clear();
  EXPECT_FALSE(card.Close());
  EXPECT_EQ(device_.log, (std::vector<std::string>{"full A", "stop", "close"}));
  EXPECT_EQ(device_.unfilledAtStop, 0);
  EXPECT_EQ(keys_.ended, 1);
  EXPECT_FALSE(device_.open);
  EXPECT_EQ(card.NextSample(), 0);  // nothing more once closed
  EXPECT_FALSE(card.Close());       // a second close has nothing to do
  EXPECT_EQ(device_.log.size(), 3u);
}

TEST_F(CardSoundTest, CloseRightAfterOpenWaitsForTheOtherBuffer) {
  device_.fast = false;
  CardSound card;
  card.Open("");
  device_.log.clear();
  EXPECT_FALSE(card.Close());
  EXPECT_EQ(device_.log, (std::vector<std::string>{"full B", "stop", "close"}));
  EXPECT_EQ(device_.unfilledAtStop, 0);
}

TEST_F(CardSoundTest, AFailedReleaseIsPrintedAndStopsTheStepsAfterIt) {
  struct Case {
    int failWait;
    bool failStop;
    bool failClose;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {{1, false, false, {}},
                                   {-1, true, false, {"full B", "stop"}},
                                   {-1, false, true, {"full B", "stop", "close"}}};
  for (const Case& failure : cases) {
    FakeWaveInput device;
    device.devices = {kBoth};
    device.fast = false;
    device.failWaitNumber = failure.failWait;
    device.failStop = failure.failStop;
    device.failClose = failure.failClose;
    Platform_ns::UseWaveInput(&device);
    CardSound card;
    card.Open("");
    device.log.clear();
    bool failed = false;
    const std::string report = Report([&] { failed = card.Close(); });
    EXPECT_TRUE(failed);
    EXPECT_EQ(report, "\nPossibly missing device driver.");
    EXPECT_EQ(device.log, failure.log);
    EXPECT_EQ(keys_.ended, keys_.begun);  // the console is given back all the same
  }
}

TEST_F(CardSoundTest, TheDestructorClosesOnlyAnOpenedCard) {
  {
    CardSound card;
    card.Open("");
  }
  EXPECT_EQ(device_.log.back(), "close");
  EXPECT_FALSE(device_.open);

  device_.log.clear();
  device_.failOpen = true;
  {
    CardSound card;
    EXPECT_EQ(FailureOf(card), "No suitable wave devices found (2)");
  }
  EXPECT_EQ(device_.log, (std::vector<std::string>{"count", "open 0 44100"}));
}

TEST_F(CardSoundTest, EveryFailureToOpenHasItsMessageAndLeavesTheDeviceClosed) {
  struct Case {
    const char* what;
    void (*arrange)(FakeWaveInput&);
    const char* message;
  };
  const Case cases[] = {
      {"no devices", [](FakeWaveInput& d) { d.devices.clear(); },
       "No wave input devices installed"},
      {"capabilities unreadable",
       [](FakeWaveInput& d) {
         d.devices = {kBoth, kBoth};
         d.unreadable = {true, false};
       },
       "Possibly missing device driver"},
      {"no format of use",
       [](FakeWaveInput& d) {
         d.devices = {0, 0xFFFFu & ~kBoth};
       },
       "No suitable devices found (sampling formats)"},
      {"open fails", [](FakeWaveInput& d) { d.failOpen = true; },
       "No suitable wave devices found (2)"},
      {"start fails", [](FakeWaveInput& d) { d.failStart = true; },
       "Possibly missing device driver"},
      {"first queue fails", [](FakeWaveInput& d) { d.failQueueNumber = 0; },
       "Possibly missing device driver"},
      {"second queue fails", [](FakeWaveInput& d) { d.failQueueNumber = 1; },
       "Possibly missing device driver"},
      {"first buffer never fills", [](FakeWaveInput& d) { d.failWaitNumber = 0; },
       "Possibly missing device driver"},
  };
  for (const Case& failure : cases) {
    FakeWaveInput device;
    device.devices = {kBoth};
    failure.arrange(device);
    Platform_ns::UseWaveInput(&device);
    CardSound card;
    EXPECT_EQ(FailureOf(card), failure.message) << failure.what;
    EXPECT_FALSE(device.open) << failure.what;
    EXPECT_EQ(keys_.begun, 0) << failure.what;
    EXPECT_FALSE(card.AtEnd());
    EXPECT_EQ(card.NextSample(), 0);
  }
  // With the fault gone, the same object opens.
  device_.recording = {200};
  Platform_ns::UseWaveInput(&device_);
  CardSound card;
  device_.failStart = true;
  EXPECT_EQ(FailureOf(card), "Possibly missing device driver");
  device_.failStart = false;
  EXPECT_EQ(FailureOf(card), "");
  EXPECT_EQ(card.NextSample(), 72);
}

TEST_F(CardSoundTest, ADeviceFailingWhileRecordingEndsTheRunWithAMessage) {
  for (const bool queueFails : {true, false}) {
    FakeWaveInput device;
    device.devices = {kBoth};
    // Queue calls 0 and 1 are in Open, 2 is buffer A going back; wait 0 is in Open.
    (queueFails ? device.failQueueNumber : device.failWaitNumber) = queueFails ? 2 : 1;
    Platform_ns::UseWaveInput(&device);
    CardSound card;
    card.Open("");
    std::string message;
    try {
      for (size_t i = 0; i <= kLength; ++i) {
        card.NextSample();
      }
    } catch (const std::runtime_error& failure) {
      message = failure.what();
    }
    EXPECT_EQ(message, "Possibly missing device driver") << queueFails;
  }
}

TEST_F(CardSoundTest, AnOverrunIsReportedOnce) {
  device_.recording = Noise(3 * kLength);
  CardSound card;
  const std::string report = Report([&] {
    card.Open("");
    device_.overrun = true;
    for (size_t i = 0; i < 2 * kLength; ++i) {
      card.NextSample();
      if (i == kLength) {
        device_.overrun = true;
      }
    }
  });
  EXPECT_EQ(report, "Sound card overrun: part of the recording was lost.\n");
}

TEST_F(CardSoundTest, ATapeRecordedLiveDecodesUntilTheStopKey) {
  const std::vector<TapeBuilder_ns::FileSpec> files = {
      {"LIVE", 0x1900, 0x8023, std::vector<uint8_t>(700, 0x5A)}};
  const auto samples = TapeBuilder_ns::RenderSamples(TapeBuilder_ns::StandardTape(files),
                                                     TapeBuilder_ns::RenderOptions{});
  device_.fast = false;
  for (const int8_t sample : samples) {
    device_.recording.push_back(static_cast<uint8_t>(sample ^ 0x80));
  }
  // q is typed once every sample of the tape has been taken.
  keys_.device = &device_;
  keys_.quitAfter = device_.recording.size() + 2 * kLength;

  CardSound card;
  card.Open("");
  const std::string path = folder_ / "report.log";
  auto& context =
      TestSupport::PrepareDecoding(card, MainProgram_ns::MeasureMethod::kSign, true, path);
  TestSupport::CurrentDecoding().settings.BeepOnErrors = false;
  BlockProcessing_ns::DecodeBlocks(context);
  const std::string report = TestSupport::FinishReport(path);
  EXPECT_TRUE(card.AtEnd());

  EXPECT_EQ(report,
            "Found :       LIVE 00\tChecksum ok\n"
            "Found :       LIVE 01\tChecksum ok\n"
            "Found :       LIVE 02\tChecksum ok, last block flag\n");
  const auto data = TestSupport::ChunksWithId(
      TestSupport::ParseChunks(TestSupport::CurrentDecoding().image.ImageBytes()), 0x0100);
  const auto blocks = TapeBuilder_ns::FileBlocks("LIVE", 0x1900, 0x8023, files[0].data);
  ASSERT_EQ(data.size(), blocks.size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto bytes = TapeBuilder_ns::BlockBytes(blocks[i]);
    EXPECT_EQ(data[i].data, std::string(bytes.begin(), bytes.end())) << "block " << i;
  }
  EXPECT_FALSE(card.Close());
}

}  // namespace
