#pragma once

// A model of the demodulator's bit decisions, for measuring the checksum-guided repair on
// many blocks without rendering and demodulating each.
//
// Blocks of random bytes with their CRC (high byte first) are sent bit by bit: each bit is
// decided on which of its two tones' correlations holds more energy, with complex Gaussian
// noise at a ratio of bit energy to noise density, and its sureness is computed as the
// demodulator computes it. The damage models:
//   kNoise  that noise alone;
//   kBurst  with a stretch of 5 to 60 bits where the signal is lost (read in doubt, as the
//           framer reads bits whose cells lost the signal);
//   kBytes  with 1 to 4 bytes replaced by others read with full sureness (damage that the
//           signal does not show).
// Run counts the blocks whose CRC fails as read, the repairs accepted and the wrong ones.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "demod/Byte_framer.h"
#include "demod/Crc_repair.h"

namespace TestSupport {

class BitChannel {
 public:
  enum class Model { kNoise, kBurst, kBytes };
  static constexpr size_t kDataBytes = 64;

  struct Tally {
    size_t sent = 0, failing = 0, accepted = 0, wrong = 0;
  };

  explicit BitChannel(uint64_t seed) : random_(seed) {}

  // Sends blocks until failingWanted of them fail (or a hundred times as many are sent).
  Tally Run(Model model, float ebN0Db, size_t failingWanted) {
    Tally tally;
    const float snr = std::pow(10.0f, ebN0Db / 10.0f);
    std::vector<uint8_t> sent(kDataBytes + 2), read;
    std::vector<float> soft((kDataBytes + 2) * 8);
    while (tally.failing < failingWanted && tally.sent < 100 * failingWanted + 1000) {
      ++tally.sent;
      for (size_t i = 0; i < kDataBytes; ++i)
        sent[i] = static_cast<uint8_t>(random_());
      const uint16_t crc = Demod_ns::Crc16(sent.data(), kDataBytes);
      sent[kDataBytes] = static_cast<uint8_t>(crc >> 8);
      sent[kDataBytes + 1] = static_cast<uint8_t>(crc);
      read.assign(sent.size(), 0);
      size_t burstFrom = soft.size(), burstTo = soft.size();
      if (model == Model::kBurst) {
        burstFrom = random_() % soft.size();
        burstTo = burstFrom + 5 + random_() % 56;
      }
      for (size_t i = 0; i < soft.size(); ++i) {
        const bool one = (unsigned{sent[i / 8]} >> (i % 8) & 1u) != 0;
        soft[i] = Read(one, snr, i < burstFrom || i >= burstTo);
        if (soft[i] > 0.0f)
          read[i / 8] = static_cast<uint8_t>(read[i / 8] | 1u << (i % 8));
      }
      if (model == Model::kBytes) {
        const size_t count = 1 + random_() % 4;
        for (size_t k = 0; k < count; ++k) {
          const size_t at = random_() % read.size();
          read[at] = static_cast<uint8_t>(random_());
          for (size_t b = 0; b < 8; ++b)
            soft[8 * at + b] = (unsigned{read[at]} >> b & 1u) != 0 ? 1.0f : -1.0f;
        }
      }
      const uint16_t readCrc = Demod_ns::Crc16(read.data(), kDataBytes);
      if (readCrc == static_cast<uint16_t>(read[kDataBytes] << 8 | read[kDataBytes + 1]))
        continue;  // passes as read: not a failing block
      ++tally.failing;
      if (Demod_ns::CheckOrRepair(read, soft, 0, kDataBytes) > 0) {
        ++tally.accepted;
        if (read != sent)
          ++tally.wrong;
      }
    }
    return tally;
  }

 private:
  // The sureness of one bit, +: a 1. With the signal, the bit's own tone correlates with
  // amplitude 1 and the other with noise alone; without it, both with noise alone.
  float Read(bool one, float snr, bool signal) {
    const float sigma = std::sqrt(0.5f / snr);  // per component
    const float a = signal ? 1.0f : 0.0f;
    const float rightRe = a + sigma * gauss_(random_), rightIm = sigma * gauss_(random_);
    const float otherRe = sigma * gauss_(random_), otherIm = sigma * gauss_(random_);
    const float right = rightRe * rightRe + rightIm * rightIm;
    const float other = otherRe * otherRe + otherIm * otherIm;
    const float noise = 2.0f * sigma * sigma;
    // Where the signal has gone, the framer gives the bit a share of its sureness.
    const float soft = (right - other) / (right + other + noise) *
                       (signal ? 1.0f : Demod_ns::ByteFramer::kFadedSureness);
    return one ? soft : -soft;
  }

  std::mt19937_64 random_;
  std::normal_distribution<float> gauss_{0.0f, 1.0f};
};

}  // namespace TestSupport
