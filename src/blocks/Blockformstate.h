#pragma once

#include <cstdint>
#include <iosfwd>

#include "blocks/Block_header.h"

namespace BlockProcessing_ns {

// What the block decoding shares with the waves input: the number of the file being read,
// from 1, raised by the block driver after each block written that has the last-block flag.
struct BlockFormStateType {
  int16_t FileNumber = 1;
};

// The report of the blocks found, as far as it has got.
struct BlockReportState {
  int32_t LastBlockNumber = -1;  // the number of the block reported last; -1 before the first
};

// Prints the report line of a block that passed its checks on out, "Missed a block." first
// when its number does not follow the last one (number 0 never does), with a bell on standard
// output when beep is set. The stream's fill character must be '0' and its hexadecimal upper
// case, as the run's header leaves them.
void ReportBlock(std::ostream& out, const ByteBufferType& buffer, const BlockHeaderRecord& header,
                 BlockReportState& report, bool beep);

}  // namespace BlockProcessing_ns
