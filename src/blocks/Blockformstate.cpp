#include "blocks/Blockformstate.h"

#include <iomanip>
#include <iostream>
#include <string>

namespace BlockProcessing_ns {

namespace {

// The file name is shown right-aligned in a field this wide.
constexpr size_t kNameField = 10;

}  // namespace

void ReportBlock(std::ostream& out, const ByteBufferType& buffer, const BlockHeaderRecord& header,
                 BlockReportState& report, bool beep) {
  const uint16_t number = header.Number;
  if (number != report.LastBlockNumber + 1 && number != 0) {
    out << "Missed a block." << std::endl;
    if (beep) {
      std::cout << '\a' << std::flush;
    }
  }
  report.LastBlockNumber = number;

  // Bytes outside printable ASCII are shown as '?'. The tee's fill character is '0' for the
  // zero-filled block number, so the name is padded by hand.
  std::string name;
  for (uint32_t i = 1; i < buffer.Fill && buffer.Bytes[i] != 0; ++i) {
    const uint8_t c = buffer.Bytes[i];
    name += (c < 0x20 || c > 0x7E) ? '?' : static_cast<char>(c);
  }
  if (name.size() < kNameField) {
    name.insert(0, kNameField - name.size(), ' ');
  }
  out << "Found : " << name << ' ' << std::hex << std::setw(2) << number << std::dec
      << "\tChecksum ok";
  if (header.LastBlock()) {
    out << ", last block flag";
  }
  out << std::endl;
}

}  // namespace BlockProcessing_ns
