#pragma once

#include <cstdint>

#include "blocks/Block_header.h"

namespace BlockProcessing_ns {

// What the block decoding shares with the waves input: the number of the file being read,
// from 1, raised after each reported block that has the last-block flag.
struct BlockFormStateType {
  int16_t FileNumber = 1;
};

extern BlockFormStateType BlockFormState;

// The number of the block reported last; -1 before the first.
extern int32_t LastBlockNumber;

// Back to the state before the first block, for a new decoding pass.
void ResetBlockFormState();

// Prints the report line of a block that passed its checks, "Missed a block." first when its
// number does not follow the last one (number 0 never does), with a bell on standard output
// unless -b was given. The header offset must be that of the latest ChecksumFailed on buffer.
void ReportBlock(const ByteBufferType& buffer);

}  // namespace BlockProcessing_ns
