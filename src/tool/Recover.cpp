#include "tool/Recover.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "blocks/Block_header.h"
#include "blocks/Decoding_context.h"
#include "demod/Crc_repair.h"
#include "driver/Run_program.h"
#include "sound/Sound_device_base.h"
#include "tool/Transcription.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace Tool_ns {

namespace {

// A block's bytes take 10 bits each at 1200 baud.
constexpr double kBytesPerSecond = 120.0;
// The chunk that sets the rate of the data chunks after it: 16 bits, in baud.
constexpr uint16_t kBaudRateChunk = 0x0117;

using BlockProcessing_ns::kDataAt;
using BlockProcessing_ns::kFlagAt;
using BlockProcessing_ns::kHeaderCrcAt;
using BlockProcessing_ns::kNoDataFlag;
constexpr size_t kLoadAt = BlockProcessing_ns::kLoadAddressAt;
constexpr size_t kNumberAt = BlockProcessing_ns::kBlockNumberAt;
constexpr size_t kLengthAt = BlockProcessing_ns::kDataLengthAt;

uint8_t ByteAt(const std::vector<uint8_t>& bytes, size_t at) {
  return at < bytes.size() ? bytes[at] : 0;
}

// Collects the blocks of one pass as the decoding writes them.
class Collector final : public BlockProcessing_ns::BlockSink {
 public:
  explicit Collector(PassResult& result) : result_(result) {}
  void Attach(const BlockProcessing_ns::DecodingContext& context) { context_ = &context; }
  void Block(const BlockProcessing_ns::ByteBufferType& block,
             const BlockProcessing_ns::BlockHeaderRecord& header) override;

 private:
  PassResult& result_;
  const BlockProcessing_ns::DecodingContext* context_ = nullptr;
};

void Collector::Block(const BlockProcessing_ns::ByteBufferType& block,
                      const BlockProcessing_ns::BlockHeaderRecord&) {
  PassResult& result = result_;
  const SoundInput_ns::SoundBase& sound = context_->Source;
  // The source has delivered the waves still in the window: the block ended before them.
  uint64_t ahead = 0;
  const WavesInput_ns::WavesInputState& waves = context_->Waves;
  for (uint32_t k = 0; k < WavesInput_ns::WavesLeft(waves); ++k)
    ahead += WavesInput_ns::WaveAt(waves, static_cast<uint8_t>(k)).Length();
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
  Collector collector(result);
  DecodingPass decoding(recording, pass, collector);
  collector.Attach(decoding.Context());
  SoundInput_ns::SoundBase& sound = decoding.Sound();
  result.sampleRate = sound.SampleRate;
  decoding.DecodeAll();
  if (sound.SampleRate != 0)
    result.lengthSeconds = static_cast<double>(sound.Position) / sound.SampleRate;
  return result;
}

namespace {

// One take's blocks merged: candidates by identity and overlapping span, versions by their
// bytes proper.
std::vector<MergedBlock> MergeTake(const std::vector<PassResult>& passes, size_t take) {
  struct Version {
    std::vector<uint8_t> proper;
    const FoundBlock* found;  // as the first pass to read this version read it
    std::vector<size_t> passes;
    bool plain = false;  // some pass read it without repair
    int repairedBits = 0;
  };
  struct Candidate {
    BlockIdentity identity;
    double start = 0.0;
    double end = 0.0;
    std::vector<Version> versions;
  };
  std::vector<Candidate> candidates;

  for (size_t p = 0; p < passes.size(); ++p) {
    if (passes[p].take != take)
      continue;
    for (const FoundBlock& found : passes[p].blocks) {
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
        same->versions.push_back(Version{std::move(proper), &found, {}, false, found.repairedBits});
        version = same->versions.end() - 1;
      }
      if (!found.repaired)
        version->plain = true;
      version->repairedBits = std::min(version->repairedBits, found.repairedBits);
      // A pass may read one stretch twice (a block rejoined from its failed halves as well
      // as read whole): it counts once.
      if (std::find(version->passes.begin(), version->passes.end(), p) == version->passes.end())
        version->passes.push_back(p);
    }
  }

  std::vector<MergedBlock> blocks;
  for (Candidate& candidate : candidates) {
    // A version read without repair comes first; then the version most passes read; on a tie
    // the one the earliest pass read (versions are stored in the order first met, and passes
    // in order).
    const Version* kept = &candidate.versions.front();
    for (const Version& version : candidate.versions) {
      if (version.plain != kept->plain) {
        if (version.plain)
          kept = &version;
        continue;
      }
      if (version.passes.size() > kept->passes.size() ||
          (version.passes.size() == kept->passes.size() &&
           version.passes.front() < kept->passes.front()))
        kept = &version;
    }
    MergedBlock block;
    block.identity = IdentifyBlock(kept->found->bytes);
    block.bytes = kept->found->bytes;
    block.startSeconds = candidate.start;
    block.endSeconds = candidate.end;
    block.keptPasses = kept->passes;
    block.baud = kept->found->baud;
    block.take = take;
    block.repaired = !kept->plain;
    block.repairedBits = kept->plain ? 0 : kept->repairedBits;
    for (const Version& version : candidate.versions)
      block.passes.insert(block.passes.end(), version.passes.begin(), version.passes.end());
    std::sort(block.passes.begin(), block.passes.end());
    block.passes.erase(std::unique(block.passes.begin(), block.passes.end()), block.passes.end());
    block.disagreement = candidate.versions.size() > 1;
    blocks.push_back(std::move(block));
  }
  std::stable_sort(blocks.begin(), blocks.end(), [](const MergedBlock& a, const MergedBlock& b) {
    return a.startSeconds < b.startSeconds;
  });
  return blocks;
}

bool SameIdentity(const BlockIdentity& a, const BlockIdentity& b) {
  return a.SameBlock(b) && a.length == b.length;
}

// Puts a later take's blocks into the row of the takes before: a block met again joins it (the
// better version kept, as within a take), and a block not met yet goes in where the take has it,
// after the block it follows there.
void AlignTake(std::vector<MergedBlock>& row, std::vector<MergedBlock> take) {
  size_t cursor = 0;
  for (MergedBlock& block : take) {
    size_t same = row.size();
    for (size_t k = cursor; k < row.size(); ++k) {
      if (SameIdentity(row[k].identity, block.identity)) {
        same = k;
        break;
      }
    }
    if (same == row.size()) {
      row.insert(row.begin() + static_cast<std::ptrdiff_t>(cursor), std::move(block));
      ++cursor;
      continue;
    }
    MergedBlock& met = row[same];
    const bool sameBytes = BlockProper(met.bytes, met.identity.length) ==
                           BlockProper(block.bytes, block.identity.length);
    const bool better =
        !sameBytes &&
        ((met.repaired && !block.repaired) ||
         (met.repaired == block.repaired && block.keptPasses.size() > met.keptPasses.size()));
    std::vector<size_t> passes = met.passes;
    passes.insert(passes.end(), block.passes.begin(), block.passes.end());
    std::sort(passes.begin(), passes.end());
    if (better) {
      block.disagreement = true;
      met = std::move(block);
    } else if (sameBytes) {
      met.keptPasses.insert(met.keptPasses.end(), block.keptPasses.begin(), block.keptPasses.end());
      std::sort(met.keptPasses.begin(), met.keptPasses.end());
      met.repaired = met.repaired && block.repaired;
    } else {
      met.disagreement = true;
    }
    met.passes = std::move(passes);
    cursor = same + 1;
  }
}

// Combines the failed readings of blocks that no pass read well (see MergePasses).
void VoteFailedBlocks(const std::vector<PassResult>& passes, std::vector<MergedBlock>& row) {
  struct Group {
    BlockIdentity identity;
    std::vector<const FoundBlock*> readings;
    std::vector<size_t> passes;
  };
  std::vector<Group> groups;
  for (size_t p = 0; p < passes.size(); ++p) {
    for (const FoundBlock& failed : passes[p].failed) {
      if (failed.soft.size() != 8 * failed.bytes.size())
        continue;
      const BlockIdentity identity = IdentifyBlock(failed.bytes);
      const bool found = std::any_of(row.begin(), row.end(), [&](const MergedBlock& block) {
        return SameIdentity(block.identity, identity);
      });
      if (found)
        continue;
      auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
        return SameIdentity(g.identity, identity) &&
               g.readings.front()->bytes.size() == failed.bytes.size();
      });
      if (group == groups.end()) {
        groups.push_back(Group{identity, {}, {}});
        group = groups.end() - 1;
      }
      group->readings.push_back(&failed);
      group->passes.push_back(p);
    }
  }
  for (const Group& group : groups) {
    if (group.readings.size() < 2)
      continue;
    const FoundBlock& first = *group.readings.front();
    std::vector<float> soft(first.soft.size(), 0.0f);
    for (const FoundBlock* reading : group.readings) {
      for (size_t i = 0; i < soft.size(); ++i)
        soft[i] += reading->soft[i];
    }
    std::vector<uint8_t> bytes(first.bytes.size(), 0);
    for (size_t i = 0; i < bytes.size(); ++i) {
      for (int b = 0; b < 8; ++b) {
        float& value = soft[8 * i + static_cast<size_t>(b)];
        value /= static_cast<float>(group.readings.size());
        if (value > 0.0f)
          bytes[i] = static_cast<uint8_t>(bytes[i] | 1u << b);
      }
    }
    bytes[0] = first.bytes[0];
    const BlockIdentity identity = IdentifyBlock(bytes);
    const size_t h = identity.name.size() + 2;
    const size_t dataAt = h + kDataAt;
    if (identity.length != bytes.size() || dataAt > bytes.size())
      continue;
    const int headerFlips = Demod_ns::CheckOrRepair(bytes, soft, 1, h + kHeaderCrcAt);
    if (headerFlips != 0)
      continue;  // the header read alike in every pass; a change there would be a guess
    int dataFlips = 0;
    if (bytes.size() > dataAt) {
      dataFlips = Demod_ns::CheckOrRepair(bytes, soft, dataAt, bytes.size() - 2);
      if (dataFlips < 0)
        continue;
    }
    MergedBlock block;
    block.identity = IdentifyBlock(bytes);
    block.bytes = std::move(bytes);
    block.startSeconds = first.startSeconds;
    block.endSeconds = first.endSeconds;
    block.passes = group.passes;
    block.keptPasses = group.passes;
    block.baud = first.baud;
    block.take = passes[group.passes.front()].take;
    block.voted = true;
    block.repaired = dataFlips > 0;
    block.repairedBits = dataFlips;
    // In the row after the block before it in its file, or before the block after it; else
    // after the last block of its take that starts before it.
    size_t at = row.size();
    for (size_t k = 0; k < row.size(); ++k) {
      const BlockIdentity& other = row[k].identity;
      if (other.name == block.identity.name && other.load == block.identity.load) {
        if (other.number + 1 == block.identity.number) {
          at = k + 1;
          break;
        }
        if (other.number == block.identity.number + 1) {
          at = k;
          break;
        }
      }
      if (row[k].take == block.take && row[k].startSeconds < block.startSeconds)
        at = k + 1;
    }
    row.insert(row.begin() + static_cast<std::ptrdiff_t>(at), std::move(block));
  }
}

}  // namespace

Recovery MergePasses(std::vector<PassResult> passes) {
  Recovery recovery;
  recovery.passes = std::move(passes);
  size_t takes = 0;
  for (const PassResult& pass : recovery.passes) {
    takes = std::max(takes, pass.take + 1);
    if (pass.take == 0)
      recovery.lengthSeconds = std::max(recovery.lengthSeconds, pass.lengthSeconds);
  }
  for (size_t take = 0; take < takes; ++take) {
    std::vector<MergedBlock> blocks = MergeTake(recovery.passes, take);
    if (take == 0)
      recovery.blocks = std::move(blocks);
    else
      AlignTake(recovery.blocks, std::move(blocks));
  }
  VoteFailedBlocks(recovery.passes, recovery.blocks);

  // Files: a block continues the file of the block before it when that one was not the last,
  // its number is higher, and either it has the same name and load address or its number
  // follows at once (tapes whose every block bears a name of its own); and when the blocks
  // its number says are missing would fit in the stretch between the two. A file's first
  // block with a number above 0 means the blocks before it are missing, if they would fit in
  // the stretch since the block before; otherwise the file is taken to be numbered from there.
  // Blocks of different takes have no stretch between them to measure: their numbers tell.
  auto fits = [&](uint32_t missing, const MergedBlock& block, double from, size_t fromTake) {
    if (fromTake != block.take)
      return true;
    const double blockSeconds =
        static_cast<double>(block.identity.length) * 10.0 / static_cast<double>(block.baud);
    return static_cast<double>(missing) * blockSeconds * 0.5 <= block.startSeconds - from + 0.5;
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
      continues =
          !file.lastFound && identity.number > last.number &&
          (sameFile || identity.number == last.number + 1) &&
          fits(identity.number - last.number - 1u, block, previous.endSeconds, previous.take);
    }
    if (!continues) {
      RecoveredFile file;
      file.name = identity.name;
      file.load = identity.load;
      const double from = i > 0 ? recovery.blocks[i - 1].endSeconds : 0.0;
      const size_t fromTake = i > 0 ? recovery.blocks[i - 1].take : block.take;
      file.firstNumber = fits(identity.number, block, from, fromTake) ? 0 : identity.number;
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
    TheUEFImage.WriteOriginText(origin);
  if (wholeTape != nullptr) {
    WriteWholeTape(recovery, *wholeTape);
    return;
  }
  bool firstBlockPending = true;
  // Blocks read at another rate than 1200 baud go in after a chunk that sets their rate, and
  // a chunk that sets 1200 again follows them.
  uint16_t baud = 1200;
  auto setBaud = [&](uint16_t wanted) {
    if (wanted == baud)
      return;
    const uint8_t rate[2] = {static_cast<uint8_t>(wanted & 0xFF),
                             static_cast<uint8_t>(wanted >> 8)};
    TheUEFImage.WriteChunk(kBaudRateChunk, 2, rate);
    baud = wanted;
  };
  for (const MergedBlock& block : recovery.blocks) {
    setBaud(block.baud);
    BlockProcessing_ns::WriteLeadTone(TheUEFImage, firstBlockPending);
    TheUEFImage.WriteChunk(UEFFormat_ns::kImplicitDataChunk,
                           static_cast<uint32_t>(block.bytes.size()), block.bytes.data());
    if (block.identity.Last())
      BlockProcessing_ns::WriteFileTrailer(TheUEFImage);
  }
  setBaud(1200);
}

std::string TapeTime(double seconds) {
  const long tenths = std::lround(std::max(0.0, seconds) * 10.0);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
  return text;
}

}  // namespace Tool_ns
