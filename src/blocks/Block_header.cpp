#include "blocks/Block_header.h"

#include <algorithm>

namespace BlockProcessing_ns {

void ByteBufferType::Empty() {
  std::fill(Bytes.begin(), Bytes.begin() + Fill, uint8_t{0});
  Fill = 0;
}

uint16_t BlockChecksum(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

namespace {

uint16_t Le16(const ByteBufferType& buffer, uint64_t at) {
  return static_cast<uint16_t>(buffer.At(at) | (buffer.At(at + 1) << 8));
}

uint32_t Le32(const ByteBufferType& buffer, uint64_t at) {
  return static_cast<uint32_t>(Le16(buffer, at)) | static_cast<uint32_t>(Le16(buffer, at + 2))
                                                       << 16;
}

// Whether the two bytes at at, within the bytes read, hold crc high byte first.
bool CrcMatches(const ByteBufferType& buffer, uint64_t at, uint16_t crc) {
  return at + 1 < buffer.Fill && buffer.Bytes[at] == (crc >> 8) &&
         buffer.Bytes[at + 1] == (crc & 0xFF);
}

}  // namespace

BlockHeaderRecord ParseBlockHeader(const ByteBufferType& buffer) {
  BlockHeaderRecord header;
  // The name runs from position 1 to its 0 terminator; unread bytes count as 0.
  uint64_t terminator = 1;
  while (terminator < buffer.Fill && buffer.Bytes[terminator] != 0) {
    ++terminator;
  }
  const uint64_t h = terminator + 1;
  header.HeaderOffset = static_cast<uint32_t>(h);
  header.NameLength = static_cast<uint32_t>(terminator - 1);
  header.LoadAddress = Le32(buffer, h + kLoadAddressAt);
  header.ExecAddress = Le32(buffer, h + kExecAddressAt);
  header.Number = Le16(buffer, h + kBlockNumberAt);
  header.Length = Le16(buffer, h + kDataLengthAt);
  header.Flag = buffer.At(h + kFlagAt);
  header.NextFileAddress = Le32(buffer, h + kFlagAt + 1);

  const uint64_t headerCrcAt = h + kHeaderCrcAt;
  if (headerCrcAt + 1 >= buffer.Fill) {
    return header;
  }
  header.HeaderCrcMatches =
      CrcMatches(buffer, headerCrcAt, BlockChecksum(&buffer.Bytes[1], static_cast<size_t>(h + 16)));
  if (!header.HeaderCrcMatches) {
    return header;
  }
  if ((header.Flag & kNoDataFlag) != 0) {
    header.DataCrcMatches = true;
    return header;
  }
  const uint64_t length = header.Length;
  const uint64_t dataCrcAt = h + kDataAt + length;
  if (length == 0) {
    // Tapes hold empty blocks whose data CRC was never recorded: such a block passes when
    // nothing, or zeros (the CRC of no bytes), follow its header.
    header.DataCrcMatches = buffer.At(dataCrcAt) == 0 && buffer.At(dataCrcAt + 1) == 0;
    return header;
  }
  header.DataCrcMatches =
      dataCrcAt + 1 < buffer.Fill &&
      CrcMatches(buffer, dataCrcAt,
                 BlockChecksum(&buffer.Bytes[h + kDataAt], static_cast<size_t>(length)));
  return header;
}

std::string BlockName(const ByteBufferType& buffer, const BlockHeaderRecord& header) {
  return std::string(buffer.Bytes.begin() + 1, buffer.Bytes.begin() + 1 + header.NameLength);
}

bool ChecksumFailed(const ByteBufferType& buffer) {
  return ParseBlockHeader(buffer).Failed();
}

}  // namespace BlockProcessing_ns
