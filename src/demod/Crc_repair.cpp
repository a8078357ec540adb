#include "demod/Crc_repair.h"

#include <algorithm>
#include <cmath>

namespace Demod_ns {

namespace {

uint16_t Advance(uint16_t crc, uint8_t byte) {
  crc = static_cast<uint16_t>(crc ^ (byte << 8));
  for (int k = 0; k < 8; ++k)
    crc = static_cast<uint16_t>((crc & 0x8000u) != 0 ? (unsigned{crc} << 1) ^ 0x1021u
                                                     : unsigned{crc} << 1);
  return crc;
}

struct Doubt {
  size_t byte;
  int bit;
  float sureness;
  uint16_t change;  // how flipping this bit changes the CRC against the stored value
};

}  // namespace

uint16_t Crc16(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0;
  for (size_t i = 0; i < count; ++i)
    crc = Advance(crc, bytes[i]);
  return crc;
}

int CheckOrRepair(std::vector<uint8_t>& bytes, const std::vector<float>& soft, size_t from,
                  size_t to, const RepairLimits& limits) {
  if (to + 2 > bytes.size() || from > to)
    return -1;
  const auto stored = static_cast<uint16_t>(bytes[to] << 8 | bytes[to + 1]);
  const uint16_t syndrome = static_cast<uint16_t>(Crc16(bytes.data() + from, to - from) ^ stored);
  if (syndrome == 0)
    return 0;
  if (soft.size() < 8 * (to + 2))
    return -1;

  std::vector<Doubt> doubts;
  for (size_t i = from; i < to + 2; ++i) {
    for (int b = 0; b < 8; ++b) {
      const float sureness = std::fabs(soft[8 * i + static_cast<size_t>(b)]);
      if (sureness < limits.doubtful) {
        if (doubts.size() == limits.mostDoubtful)
          return -1;
        doubts.push_back(Doubt{i, b, sureness, 0});
      }
    }
  }
  // What flipping each bit changes: a bit of the stored CRC changes the stored value; a bit of
  // the bytes changes their CRC as a lone 1 bit there would, followed by zero bytes to the end.
  for (Doubt& doubt : doubts) {
    if (doubt.byte >= to) {
      const int shift = doubt.byte == to ? 8 + doubt.bit : doubt.bit;
      doubt.change = static_cast<uint16_t>(1u << shift);
    } else {
      uint16_t crc = Advance(0, static_cast<uint8_t>(1u << doubt.bit));
      for (size_t i = doubt.byte + 1; i < to; ++i)
        crc = Advance(crc, 0);
      doubt.change = crc;
    }
  }

  int found = 0;
  size_t first = 0, second = 0;
  int flips = 0;
  for (size_t a = 0; a < doubts.size(); ++a) {
    if (doubts[a].change == syndrome) {
      ++found;
      first = a;
      flips = 1;
    }
  }
  if (limits.mostFlips >= 2) {
    for (size_t a = 0; a < doubts.size(); ++a) {
      for (size_t b = a + 1; b < doubts.size(); ++b) {
        if ((doubts[a].change ^ doubts[b].change) == syndrome) {
          ++found;
          first = a;
          second = b;
          flips = 2;
        }
      }
    }
  }
  if (found != 1)
    return -1;
  bytes[doubts[first].byte] ^= static_cast<uint8_t>(1u << doubts[first].bit);
  if (flips == 2)
    bytes[doubts[second].byte] ^= static_cast<uint8_t>(1u << doubts[second].bit);
  return flips;
}

}  // namespace Demod_ns
