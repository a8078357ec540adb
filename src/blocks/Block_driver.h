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

// Every part of the decoding back to its state before the first wave: the waves window, the
// carrier search, the block driver and the report's numbering. For a new pass over a sound;
// the run settings, the sound source and the image are the caller's.
void ResetDecoding();

// Called with each block that DecodeBlocks writes to the image, after its report line. The
// sound source's Position then lies just past the block's end (by the waves read ahead).
using BlockObserver = void (*)(const ByteBufferType& block, void* context);
// Sets the observer (null for none, the default) and the context handed to it.
void SetBlockObserver(BlockObserver observer, void* context);

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
