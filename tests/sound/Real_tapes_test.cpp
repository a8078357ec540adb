// Recordings of real BBC Micro tapes, kept as CSW files beside the project: every one must open,
// its pulses must add up to what the header and the first pass said, and the program must read
// it to the end without a failure.
#include <gtest/gtest.h>

#include <map>

#include <cstdint>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sound/Csw_file_handler.h"
#include "support/Process.h"
#include "support/Temp_folder.h"

namespace {

using SoundInput_ns::CSWSound;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

const std::string kCorpus = std::string(VARNSTOW_SOURCE_DIR) + "/../shared/corpus/real";

const std::vector<std::string> kTapes = {
    "Arcadians_Acornsoft.csw",
    "Fortress_Pace.csw",
    "JetSetWilly_Tynesoft_.csw",
    "Starquake_BubbleBusSoftware_B_TapeSideLabel_.csw",
    "Swarm_Computer_Concepts.csw",
    "TheWayOfTheExplodingFist_MelbourneHouse_B_Side1_.csw",
    "Uridium.csw",
};

// The whole recording; fails the test when the corpus is not where it belongs.
std::string Recording(const std::string& name) {
  const std::string path = kCorpus + "/" + name;
  if (!FileExists(path)) {
    ADD_FAILURE() << "The real tape recordings are missing: expected " << path
                  << " (the corpus folder ../shared/corpus/real beside the project's root)";
    return "";
  }
  return ReadFile(path);
}

uint32_t HeaderPulseCount(const std::string& file) {
  uint32_t count = 0;
  for (size_t i = 0; i < 4; ++i)
    count |= uint32_t(uint8_t(file.at(29 + i))) << (8 * i);
  return count;
}

bool InitialHigh(const std::string& file) {
  return (uint8_t(file.at(34)) & 1) != 0;
}

struct Pass {
  uint64_t count = 0;
  uint64_t sum = 0;
};

Pass ReadToTheEnd(CSWSound& sound) {
  Pass pass;
  for (uint32_t pulse = sound.NextPulse(); pulse != 0; pulse = sound.NextPulse()) {
    ++pass.count;
    pass.sum += pulse;
  }
  EXPECT_TRUE(sound.AtEnd());
  return pass;
}

TEST(RealTapes, EveryRecordingOpensAndItsPulsesAddUp) {
  for (const std::string& name : kTapes) {
    SCOPED_TRACE(name);
    const std::string file = Recording(name);
    if (file.empty())
      continue;
    const uint32_t declared = HeaderPulseCount(file);
    auto sound = std::make_unique<CSWSound>();
    try {
      sound->Open(kCorpus + "/" + name);
    } catch (const std::runtime_error& error) {
      ADD_FAILURE() << "refused: " << error.what();
      continue;
    }
    EXPECT_EQ(sound->SampleRate, 44100u);
    const Pass first = ReadToTheEnd(*sound);
    EXPECT_EQ(first.count, declared);
    EXPECT_EQ(first.sum, sound->TotalPulseLength());
    EXPECT_EQ(first.sum, uint64_t(sound->TotalLength));
    EXPECT_EQ(int64_t(sound->Position), int64_t(sound->TotalLength));
    // A second pass after Rewind gives the same.
    sound->Rewind();
    const Pass second = ReadToTheEnd(*sound);
    EXPECT_EQ(second.count, first.count);
    EXPECT_EQ(second.sum, first.sum);
    EXPECT_FALSE(sound->Close());
  }
}

TEST(RealTapes, AsTheDriversInputThePhaseDropsAtMostTheFirstPulse) {
  for (const std::string& name : kTapes) {
    const std::string file = Recording(name);
    if (file.empty())
      continue;
    for (bool noPhaseShift : {true, false}) {
      SCOPED_TRACE(name + (noPhaseShift ? "" : " -p"));
      auto sound = std::make_unique<CSWSound>();
      sound->PulseInput = true;
      sound->NoPhaseShift = noPhaseShift;
      try {
        sound->Open(kCorpus + "/" + name);
      } catch (const std::runtime_error& error) {
        ADD_FAILURE() << "refused: " << error.what();
        continue;
      }
      // The first pulse delivered is high without -p, low with it.
      const bool dropped = noPhaseShift != InitialHigh(file);
      const Pass pass = ReadToTheEnd(*sound);
      EXPECT_EQ(pass.count + (dropped ? 1u : 0u), HeaderPulseCount(file));
      EXPECT_EQ(pass.sum < sound->TotalPulseLength(), dropped);
    }
  }
}

TEST(RealTapes, StarquakeHoldsExactlyTheDeclaredPulses) {
  // Its data ends with a long pulse, whose four length bytes close the inflated data.
  const std::string name = "Starquake_BubbleBusSoftware_B_TapeSideLabel_.csw";
  const std::string file = Recording(name);
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(HeaderPulseCount(file), 1882693u);
  CSWSound sound;
  sound.Open(kCorpus + "/" + name);
  EXPECT_EQ(ReadToTheEnd(sound).count, 1882693u);
}

// Report lines; one that follows "Missed a block." starts after the bell character.
size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// Blocks found in each recording without and with -p. A change in the decoding that finds
// fewer (or, unexpectedly, more) blocks on a real tape shows up here.
const std::map<std::string, std::pair<size_t, size_t>> kBlocksFound = {
    {"Arcadians_Acornsoft.csw", {82, 0}},
    {"Fortress_Pace.csw", {90, 0}},
    {"JetSetWilly_Tynesoft_.csw", {96, 0}},
    {"Starquake_BubbleBusSoftware_B_TapeSideLabel_.csw", {55, 50}},
    {"Swarm_Computer_Concepts.csw", {0, 37}},
    {"TheWayOfTheExplodingFist_MelbourneHouse_B_Side1_.csw", {12, 0}},
    {"Uridium.csw", {0, 102}},
};

TEST(RealTapes, TheProgramFindsTheRecordedNumberOfBlocks) {
  for (const std::string& name : kTapes) {
    SCOPED_TRACE(name);
    const std::string file = Recording(name);
    if (file.empty())
      continue;
    TempFolder folder;
    WriteFile(folder / name, file);
    size_t found[2] = {0, 0};
    for (int withP = 0; withP < 2; ++withP) {
      std::vector<std::string> arguments = {"-i", name, "-c"};
      if (withP == 1)
        arguments.push_back("-p");
      const auto result = TestSupport::RunVarnstow(folder.Path(), arguments);
      EXPECT_EQ(result.exitCode, 0);
      found[withP] = Count(result.output, "Found : ");
      // A run without any block says what to try, on standard error; others say nothing there.
      if (found[withP] == 0)
        EXPECT_NE(result.errors.find(withP == 1 ? "without -p" : "with -p"), std::string::npos)
            << result.errors;
      else
        EXPECT_EQ(result.errors, "");
    }
    std::cout << name << ": " << found[0] << " blocks found without -p, " << found[1] << " with -p"
              << std::endl;
    RecordProperty(name + " without -p", std::to_string(found[0]));
    RecordProperty(name + " with -p", std::to_string(found[1]));
    ASSERT_EQ(kBlocksFound.count(name), 1u);
    EXPECT_EQ(found[0], kBlocksFound.at(name).first);
    EXPECT_EQ(found[1], kBlocksFound.at(name).second);
  }
}

}  // namespace
