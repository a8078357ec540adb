#include "tool/Recover.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "blocks/Block_driver.h"
#include "blocks/Block_header.h"
#include "driver/RunProgram.h"
#include "sound/Sound_device_base.h"
#include "tool/Transcription.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace Tool_ns {

namespace {

// A block's bytes take 10 bits each at 1200 baud.
constexpr double kBytesPerSecond = 120.0;

using BlockProcessing_ns::kDataAt;
using BlockProcessing_ns::kFlagAt;
using BlockProcessing_ns::kNoDataFlag;
constexpr size_t kLoadAt = BlockProcessing_ns::kLoadAddressAt;
constexpr size_t kNumberAt = BlockProcessing_ns::kBlockNumberAt;
constexpr size_t kLengthAt = BlockProcessing_ns::kDataLengthAt;

uint8_t ByteAt(const std::vector<uint8_t>& bytes, size_t at) {
  return at < bytes.size() ? bytes[at] : 0;
}

// Collects the blocks of one pass as the decoding writes them.
struct Collector {
  PassResult* result;
};

void CollectBlock(const BlockProcessing_ns::ByteBufferType& block, void* context) {
  PassResult& result = *static_cast<Collector*>(context)->result;
  const SoundInput_ns::SoundBase& sound = *SoundInput_ns::CurrentSound;
  // The source has delivered the waves still in the window: the block ended before them.
  uint64_t ahead = 0;
  for (uint32_t k = 0; k < WavesInput_ns::WavesLeft(); ++k)
    ahead += WavesInput_ns::WaveAt(static_cast<uint8_t>(k)).Length();
  const uint64_t end = sound.Position > ahead ? sound.Position - ahead : 0;
  FoundBlock found;
  found.bytes.assign(block.Bytes.begin(), block.Bytes.begin() + block.Fill);
  const double rate = sound.SampleRate != 0 ? sound.SampleRate : 1.0;
  found.endSeconds = static_cast<double>(end) / rate;
  const size_t length = IdentifyBlock(found.bytes).length;
  found.startSeconds =
      std::max(0.0, found.endSeconds - static_cast<double>(length) / kBytesPerSecond);
  result.blocks.push_back(std::move(found));
}

bool Overlap(double startA, double endA, double startB, double endB) {
  return startA <= endB && startB <= endA;
}

std::vector<uint8_t> BlockProper(const std::vector<uint8_t>& bytes, size_t length) {
  return std::vector<uint8_t>(bytes.begin(),
                              bytes.begin() + static_cast<long>(std::min(length, bytes.size())));
}

}  // namespace

BlockIdentity IdentifyBlock(const std::vector<uint8_t>& bytes) {
  BlockIdentity identity;
  size_t terminator = 1;
  while (terminator < bytes.size() && bytes[terminator] != 0)
    ++terminator;
  if (terminator > 1)
    identity.name.assign(bytes.begin() + 1, bytes.begin() + static_cast<long>(terminator));
  const size_t h = terminator + 1;
  identity.load = static_cast<uint32_t>(ByteAt(bytes, h + kLoadAt)) |
                  static_cast<uint32_t>(ByteAt(bytes, h + kLoadAt + 1)) << 8 |
                  static_cast<uint32_t>(ByteAt(bytes, h + kLoadAt + 2)) << 16 |
                  static_cast<uint32_t>(ByteAt(bytes, h + kLoadAt + 3)) << 24;
  identity.number =
      static_cast<uint16_t>(ByteAt(bytes, h + kNumberAt) | ByteAt(bytes, h + kNumberAt + 1) << 8);
  identity.dataLength =
      static_cast<uint16_t>(ByteAt(bytes, h + kLengthAt) | ByteAt(bytes, h + kLengthAt + 1) << 8);
  identity.flags = ByteAt(bytes, h + kFlagAt);
  const size_t length = (identity.flags & kNoDataFlag) != 0
                            ? h + kDataAt
                            : h + kDataAt + size_t{identity.dataLength} + 2;
  identity.length = std::min(length, bytes.size());
  return identity;
}

PassResult RunPass(const RecordingSettings& recording, const PassSettings& pass) {
  PassResult result;
  result.settings = pass;
  Collector collector{&result};
  PassCloser closer;
  SoundInput_ns::SoundBase& sound = BeginPass(recording, pass);
  result.sampleRate = sound.SampleRate;
  BlockProcessing_ns::SetBlockObserver(CollectBlock, &collector);
  BlockProcessing_ns::DecodeBlocks();
  if (sound.SampleRate != 0)
    result.lengthSeconds = static_cast<double>(sound.Position) / sound.SampleRate;
  return result;
}

Recovery MergePasses(std::vector<PassResult> passes) {
  Recovery recovery;
  recovery.passes = std::move(passes);

  // Every version of every block, with the passes that read it so.
  struct Version {
    std::vector<uint8_t> proper;
    std::vector<uint8_t> bytes;  // as the first pass to read this version read it
    std::vector<size_t> passes;
  };
  struct Candidate {
    BlockIdentity identity;
    double start = 0.0;
    double end = 0.0;
    std::vector<Version> versions;
  };
  std::vector<Candidate> candidates;

  for (size_t p = 0; p < recovery.passes.size(); ++p) {
    const PassResult& pass = recovery.passes[p];
    recovery.lengthSeconds = std::max(recovery.lengthSeconds, pass.lengthSeconds);
    for (const FoundBlock& found : pass.blocks) {
      const BlockIdentity identity = IdentifyBlock(found.bytes);
      std::vector<uint8_t> proper = BlockProper(found.bytes, identity.length);
      Candidate* same = nullptr;
      for (Candidate& candidate : candidates) {
        if (candidate.identity.SameBlock(identity) &&
            Overlap(candidate.start, candidate.end, found.startSeconds, found.endSeconds)) {
          same = &candidate;
          break;
        }
      }
      if (same == nullptr) {
        candidates.push_back(Candidate{identity, found.startSeconds, found.endSeconds, {}});
        same = &candidates.back();
      }
      auto version = std::find_if(same->versions.begin(), same->versions.end(),
                                  [&](const Version& v) { return v.proper == proper; });
      if (version == same->versions.end()) {
        same->versions.push_back(Version{std::move(proper), found.bytes, {}});
        version = same->versions.end() - 1;
      }
      // A pass may read one stretch twice (a block rejoined from its failed halves as well
      // as read whole): it counts once.
      if (std::find(version->passes.begin(), version->passes.end(), p) == version->passes.end())
        version->passes.push_back(p);
    }
  }

  for (Candidate& candidate : candidates) {
    // The version most passes read; on a tie the one the earliest pass read (versions are
    // stored in the order first met, and passes in order).
    const Version* kept = &candidate.versions.front();
    for (const Version& version : candidate.versions) {
      if (version.passes.size() > kept->passes.size() ||
          (version.passes.size() == kept->passes.size() &&
           version.passes.front() < kept->passes.front()))
        kept = &version;
    }
    MergedBlock block;
    block.identity = IdentifyBlock(kept->bytes);
    block.bytes = kept->bytes;
    block.startSeconds = candidate.start;
    block.endSeconds = candidate.end;
    block.keptPasses = kept->passes;
    for (const Version& version : candidate.versions)
      block.passes.insert(block.passes.end(), version.passes.begin(), version.passes.end());
    std::sort(block.passes.begin(), block.passes.end());
    block.passes.erase(std::unique(block.passes.begin(), block.passes.end()), block.passes.end());
    block.disagreement = candidate.versions.size() > 1;
    recovery.blocks.push_back(std::move(block));
  }
  std::stable_sort(
      recovery.blocks.begin(), recovery.blocks.end(),
      [](const MergedBlock& a, const MergedBlock& b) { return a.startSeconds < b.startSeconds; });

  // Files: a block continues the file of the block before it when that one was not the last,
  // its number is higher, and either it has the same name and load address or its number
  // follows at once (tapes whose every block bears a name of its own); and when the blocks
  // its number says are missing would fit in the stretch between the two. A file's first
  // block with a number above 0 means the blocks before it are missing, if they would fit in
  // the stretch since the block before; otherwise the file is taken to be numbered from there.
  auto fits = [&](uint32_t missing, const MergedBlock& before, double from) {
    const double blockSeconds = static_cast<double>(before.identity.length) / kBytesPerSecond;
    return static_cast<double>(missing) * blockSeconds * 0.5 <= before.startSeconds - from + 0.5;
  };
  for (size_t i = 0; i < recovery.blocks.size(); ++i) {
    const MergedBlock& block = recovery.blocks[i];
    const BlockIdentity& identity = block.identity;
    bool continues = false;
    if (!recovery.files.empty()) {
      const RecoveredFile& file = recovery.files.back();
      const MergedBlock& previous = recovery.blocks[file.blocks.back()];
      const BlockIdentity& last = previous.identity;
      const bool sameFile = last.name == identity.name && last.load == identity.load;
      continues = !file.lastFound && identity.number > last.number &&
                  (sameFile || identity.number == last.number + 1) &&
                  fits(identity.number - last.number - 1u, block, previous.endSeconds);
    }
    if (!continues) {
      RecoveredFile file;
      file.name = identity.name;
      file.load = identity.load;
      const double from = i > 0 ? recovery.blocks[i - 1].endSeconds : 0.0;
      file.firstNumber = fits(identity.number, block, from) ? 0 : identity.number;
      recovery.files.push_back(file);
    }
    RecoveredFile& file = recovery.files.back();
    file.blocks.push_back(i);
    file.lastFound = identity.Last();
  }
  for (RecoveredFile& file : recovery.files) {
    uint32_t expected = file.firstNumber;
    for (size_t index : file.blocks) {
      const uint16_t number = recovery.blocks[index].identity.number;
      for (uint32_t n = expected; n < number; ++n)
        file.missing.push_back(static_cast<uint16_t>(n));
      expected = uint32_t{number} + 1;
    }
  }
  return recovery;
}

void BuildImage(const Recovery& recovery, const std::string& imageName,
                const std::vector<std::string>& origins, const std::vector<TapeEvent>* wholeTape) {
  using UEFFormat_ns::TheUEFImage;
  TheUEFImage.Discard();
  TheUEFImage.OpenImage(imageName, 10, 0);
  for (const std::string& origin : origins)
    MainProgram_ns::WriteOriginText(origin);
  if (wholeTape != nullptr) {
    WriteWholeTape(recovery, *wholeTape);
    return;
  }
  BlockProcessing_ns::ResetBlockDriver();
  for (const MergedBlock& block : recovery.blocks) {
    BlockProcessing_ns::WriteLeadTone();
    TheUEFImage.WriteChunk(UEFFormat_ns::kImplicitDataChunk,
                           static_cast<uint32_t>(block.bytes.size()), block.bytes.data());
    if (block.identity.Last())
      BlockProcessing_ns::WriteFileTrailer();
  }
}

std::string TapeTime(double seconds) {
  const long tenths = std::lround(std::max(0.0, seconds) * 10.0);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
  return text;
}

}  // namespace Tool_ns
