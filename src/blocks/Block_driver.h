#pragma once

#include "blocks/Block_header.h"

namespace BlockProcessing_ns {

// The bytes of the block being read, filled by ReadNextBlock and emptied after each pass.
extern ByteBufferType BlockBuffer;
// Bytes of blocks that failed their checks, held so that a block cut in two by a drop-out can
// be rejoined. Dropped when a carrier tone of more than 4 short waves ends.
extern ByteBufferType JoinBuffer;
// The first block written gets the carrier tone with a dummy byte.
extern bool FirstBlockPending;

// Back to the state before the first block, for a new decoding pass.
void ResetBlockDriver();

// Decodes the waves into the tape image until they are used up: each block that passes its
// checks (alone or rejoined with the failed bytes before it) is written as a data chunk with a
// normalised carrier tone before it, the long tone and the 10-second gap after a file's last
// block, and gets its report line. Failures leave as exceptions.
void DecodeBlocks();

// Carrier tone before a block: 2400 cycles, a dummy byte and 9600 cycles before the first.
void WriteLeadTone();
// After a file's last block: a 12000-cycle carrier tone and a 10-second gap.
void WriteFileTrailer();

}  // namespace BlockProcessing_ns
