#include "blocks/Block_header.h"

#include <algorithm>

namespace BlockProcessing_ns {

uint32_t HeaderOffset = 0;

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

bool ChecksumFailed(const ByteBufferType& buffer) {
  // The name runs from position 1 to its 0 terminator; unread bytes count as 0.
  uint64_t terminator = 1;
  while (terminator < buffer.Fill && buffer.Bytes[terminator] != 0) {
    ++terminator;
  }
  const uint64_t h = terminator + 1;
  HeaderOffset = static_cast<uint32_t>(h);

  const uint64_t headerCrcAt = h + kHeaderCrcAt;
  if (headerCrcAt + 1 >= buffer.Fill) {
    return true;
  }
  const uint16_t headerCrc = BlockChecksum(&buffer.Bytes[1], static_cast<size_t>(h + 16));
  if (buffer.Bytes[headerCrcAt] != (headerCrc >> 8) ||
      buffer.Bytes[headerCrcAt + 1] != (headerCrc & 0xFF)) {
    return true;
  }
  if ((buffer.Bytes[h + kFlagAt] & kNoDataFlag) != 0) {
    return false;
  }
  const uint64_t length = DataLength(buffer);
  const uint64_t dataCrcAt = h + kDataAt + length;
  if (length == 0) {
    // Tapes hold empty blocks whose data CRC was never recorded: such a block passes when
    // nothing, or zeros (the CRC of no bytes), follow its header.
    return buffer.At(dataCrcAt) != 0 || buffer.At(dataCrcAt + 1) != 0;
  }
  if (dataCrcAt + 1 >= buffer.Fill) {
    return true;
  }
  const uint16_t dataCrc = BlockChecksum(&buffer.Bytes[h + kDataAt], static_cast<size_t>(length));
  return buffer.Bytes[dataCrcAt] != (dataCrc >> 8) ||
         buffer.Bytes[dataCrcAt + 1] != (dataCrc & 0xFF);
}

uint16_t BlockNumber(const ByteBufferType& buffer) {
  const uint64_t at = HeaderOffset + kBlockNumberAt;
  return static_cast<uint16_t>(buffer.At(at) | (buffer.At(at + 1) << 8));
}

uint16_t DataLength(const ByteBufferType& buffer) {
  const uint64_t at = HeaderOffset + kDataLengthAt;
  return static_cast<uint16_t>(buffer.At(at) | (buffer.At(at + 1) << 8));
}

bool LastBlockFlag(const ByteBufferType& buffer) {
  return (buffer.At(HeaderOffset + kFlagAt) & kLastBlockFlag) != 0;
}

}  // namespace BlockProcessing_ns
