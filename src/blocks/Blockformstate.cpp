#include "blocks/Blockformstate.h"

#include <iomanip>
#include <iostream>
#include <string>

#include "driver/CommandLine.h"
#include "driver/StreamSplitter.h"

namespace BlockProcessing_ns {

BlockFormStateType BlockFormState;
int32_t LastBlockNumber = -1;

namespace {

// The file name is shown right-aligned in a field this wide.
constexpr size_t kNameField = 10;

}  // namespace

void ResetBlockFormState() {
  BlockFormState = BlockFormStateType{};
  LastBlockNumber = -1;
}

void ReportBlock(const ByteBufferType& buffer) {
  using StreamSplitter_ns::Tee;
  const uint16_t number = BlockNumber(buffer);
  if (number != LastBlockNumber + 1 && number != 0) {
    Tee << "Missed a block." << std::endl;
    if (MainProgram_ns::RunSettings.BeepOnErrors) {
      std::cout << '\a' << std::flush;
    }
  }
  LastBlockNumber = number;

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
  Tee << "Found : " << name << ' ' << std::hex << std::setw(2) << number << std::dec
      << "\tChecksum ok";
  if (LastBlockFlag(buffer)) {
    Tee << ", last block flag";
    ++BlockFormState.FileNumber;
  }
  Tee << std::endl;
}

}  // namespace BlockProcessing_ns
