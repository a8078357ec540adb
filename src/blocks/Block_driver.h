#pragma once

#include "blocks/Block_header.h"

namespace UEFFormat_ns {
class UEFFormatWriting;
}

namespace BlockProcessing_ns {

struct DecodingContext;

// What the block driver keeps for one pass.
struct BlockDriverState {
  // The bytes of the block being read, filled by ReadNextBlock and emptied after each pass.
  ByteBufferType BlockBuffer;
  // Bytes of blocks that failed their checks, held so that a block cut in two by a drop-out
  // can be rejoined. Dropped when a carrier tone of more than 4 short waves ends.
  ByteBufferType JoinBuffer;
  // The first block written gets the carrier tone with a dummy byte.
  bool FirstBlockPending = true;
};

// Back to the state before the first block, for a new decoding pass.
void ResetBlockDriver(BlockDriverState& driver);

// Decodes the context's waves into its image until they are used up: each block that passes
// its checks (alone or rejoined with the failed bytes before it) is written as a data chunk
// with a normalised carrier tone before it, the long tone and the 10-second gap after a file's
// last block, and goes to the context's sink; a block with the last-block flag ends its file
// (the file number goes up by one). Failures leave as exceptions.
void DecodeBlocks(DecodingContext& context);

// Carrier tone before a block: 2400 cycles, a dummy byte and 9600 cycles before the first
// (while firstBlockPending, which it then clears).
void WriteLeadTone(UEFFormat_ns::UEFFormatWriting& image, bool& firstBlockPending);
// After a file's last block: a 12000-cycle carrier tone and a 10-second gap.
void WriteFileTrailer(UEFFormat_ns::UEFFormatWriting& image);

}  // namespace BlockProcessing_ns
