#pragma once

// Recovering a tape from several decoding passes over one recording: every pass decodes the
// recording as varnstow does with one choice of measurement and phase, and the blocks that
// pass their checks in any pass are merged into one image, each block once, in the order in
// which it lies on the tape.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "tool/Recording.h"

namespace Tool_ns {

// A block that passed its checks in a pass: its bytes as read (the synchronisation byte to
// the data CRC, and whatever the decoding read after it) and where it lies in the recording.
struct FoundBlock {
  FoundBlock() = default;
  FoundBlock(std::vector<uint8_t> read, double start, double end)
      : bytes(std::move(read)), startSeconds(start), endSeconds(end) {}

  std::vector<uint8_t> bytes;
  double startSeconds = 0.0;  // estimated from the end and the block's length at 1200 baud
  double endSeconds = 0.0;
  uint16_t baud = 1200;
  int repairedBits = 0;   // the demodulator's repair flipped these to make the checksums pass
  bool repaired = false;  // a repair made the block pass (bits flipped, or its first byte)
  // A block whose header passed but whose data did not (the demodulator's passes only): each
  // data bit's sureness, 8 a byte, from -1 (surely a 0) to +1, for combining readings.
  std::vector<float> soft;
};

// The fields of a block header that identify a block, as read from its bytes.
struct BlockIdentity {
  std::string name;  // the file name's bytes up to the terminator
  uint32_t load = 0;
  uint16_t number = 0;
  uint16_t dataLength = 0;
  uint8_t flags = 0;
  // The length of the block proper, up to the end of its data CRC (or of its header CRC for a
  // block without data); bytes read after it are not the block's.
  size_t length = 0;

  bool Last() const { return (flags & 0x80) != 0; }
  bool SameBlock(const BlockIdentity& other) const {
    return name == other.name && load == other.load && number == other.number;
  }
};

// Reads the identifying fields of a block that passed its checks.
BlockIdentity IdentifyBlock(const std::vector<uint8_t>& bytes);

struct PassResult {
  PassSettings settings;
  size_t take = 0;  // which recording of the tape, from 0
  std::vector<FoundBlock> blocks;
  std::vector<FoundBlock> failed;  // blocks whose data failed, with their sureness
  uint32_t sampleRate = 0;
  double lengthSeconds = 0.0;  // how far the pass read
};

// Decodes the whole recording once with the given settings, through varnstow's own decoding,
// and collects the blocks written to the image. Failures of the recording leave as
// std::runtime_error with varnstow's messages.
PassResult RunPass(const RecordingSettings& recording, const PassSettings& pass);

struct TapeEvent;

// Reads the whole recording once through the demodulator (pass.demodulator), at its full
// resolution, and collects its good and repaired blocks and the blocks whose data failed.
// Given transcription, the whole tape is transcribed from the same cells into it. Warnings
// about the file go to warnings; failures leave as ToolError or std::runtime_error.
PassResult RunDemodulatorPass(const RecordingSettings& recording, const PassSettings& pass,
                              std::ostream& warnings,
                              std::vector<TapeEvent>* transcription = nullptr);

// One block of the merged tape.
struct MergedBlock {
  BlockIdentity identity;
  std::vector<uint8_t> bytes;  // the version kept
  double startSeconds = 0.0;
  double endSeconds = 0.0;
  std::vector<size_t> passes;      // the passes that found it, by index, in order
  std::vector<size_t> keptPasses;  // those whose version was kept
  bool disagreement = false;       // some pass read a different version
  uint16_t baud = 1200;
  size_t take = 0;        // the recording whose times startSeconds and endSeconds are
  bool repaired = false;  // every pass that read the kept version read it by repair
  int repairedBits = 0;   // the fewest bits a repair of the kept version flipped
  bool voted = false;     // combined from failed readings of several passes or takes
};

// A file of the merged tape: blocks in a row with rising numbers, up to the block with the
// last-block flag (see MergePasses).
struct RecoveredFile {
  std::string name;
  uint32_t load = 0;
  std::vector<size_t> blocks;  // indices into Recovery::blocks
  uint16_t firstNumber = 0;    // the number the file's blocks start from
  bool lastFound = false;
  std::vector<uint16_t> missing;  // numbers before the last found (or the last) block
};

struct Recovery {
  std::vector<PassResult> passes;
  std::vector<MergedBlock> blocks;  // in the order in which they lie on the tape
  std::vector<RecoveredFile> files;
  double lengthSeconds = 0.0;
};

// Merges the passes' blocks: blocks with the same name, load address and number whose spans
// in the recording overlap are one block; where the passes read it differently, the version
// read without repair is kept before one read only by repair, then the version most of them
// read (on a tie, that of the earliest pass). With passes over several takes of one tape
// (PassResult::take), each take's blocks are merged so, and the takes' blocks are then put in
// one row by their names, load addresses and numbers, in the order of the first take.
// Where every reading of a block failed, the failed readings of two or more passes are
// combined bit by bit (their sureness added up) and the block kept when both its checksums
// then pass, mended by the repair if need be.
Recovery MergePasses(std::vector<PassResult> passes);

// Writes the merged blocks into the UEF image in memory (UEFFormat_ns::TheUEFImage, opened
// under imageName) with varnstow's tones and gaps, after the given origin texts. Given a
// transcription of the whole tape, the blocks go in with it instead (WriteWholeTape).
void BuildImage(const Recovery& recovery, const std::string& imageName,
                const std::vector<std::string>& origins,
                const std::vector<TapeEvent>* wholeTape = nullptr);

// A time in the recording as minutes, seconds and tenths: "1:05.3".
std::string TapeTime(double seconds);

}  // namespace Tool_ns
