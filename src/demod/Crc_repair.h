#pragma once

// Checksum-guided repair. A block's CRC-16 (polynomial 0x1021, initial value 0) is linear in
// its bits: flipping a set of bits changes the CRC by the sum of what each bit alone changes.
// Where a checksum fails, the repair tries flipping the bits the demodulator was least sure of,
// one or two at a time, and takes a change only when exactly one of the changes tried makes
// the checksum pass.
//
// A wrong repair needs the damage's own change of the CRC to equal that of one of the changes
// tried, which for damage elsewhere happens about once in 65536 for each change tried. So the
// search is small, and it is not tried at all where many bits are in doubt (the damage is then
// likely to lie beyond what the search can mend).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Demod_ns {

struct RepairLimits {
  // A bit whose sureness lies below this is in doubt: under white noise, most wrong bits lie
  // there, and few right ones.
  float doubtful = 0.15f;
  // No repair is tried when more bits than this are in doubt in the checked stretch: at most
  // 4 + 6 changes are tried, so a block whose damage lies elsewhere passes by chance about
  // once in 6500 tries of a repair, and such a block seldom has a few doubtful bits alone.
  // (Measured by repair_benchmark: 0.3 and 4 mended more blocks in noise but accepted twice
  // as many wrong ones where damage the signal does not show met noise.)
  size_t mostDoubtful = 4;
  // The most bits flipped at once (1 or 2).
  int mostFlips = 2;
};

// The CRC-16 of the block format over count bytes.
uint16_t Crc16(const uint8_t* bytes, size_t count);

// Checks the CRC over bytes [from, to) against the two bytes stored at to (high byte first),
// and where it fails tries to repair the stretch and its CRC as described above. soft holds 8
// values a byte (each data bit's sureness, least significant bit first; its magnitude is what
// counts). Returns the number of bits flipped (0 when the CRC passed as read), or -1 when the
// CRC fails and no repair was found; bytes is changed only by a repair.
int CheckOrRepair(std::vector<uint8_t>& bytes, const std::vector<float>& soft, size_t from,
                  size_t to, const RepairLimits& limits = RepairLimits{});

}  // namespace Demod_ns
