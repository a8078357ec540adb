// Measures how often the checksum-guided repair accepts a wrong block.
//
// Blocks of random bytes with their CRC are sent through a model of the demodulator's bit
// decisions and damaged; each block whose CRC then fails is handed to the repair, and every
// repair that passes the CRC but differs from the block sent counts as a false acceptance.
// The models:
//   noise     white noise at a ratio of bit energy to noise density (dB): each bit decided on
//             which of its two tones' correlations holds more energy, with its sureness as
//             the demodulator computes it;
//   burst     as noise at 12 dB, with a stretch of 5 to 60 bits where the signal is lost;
//   bytes     as noise at 12 dB, with 1 to 4 bytes replaced by others read with full
//             sureness (damage that the signal does not show).
// For each it prints the blocks sent, those that failed, the repairs accepted, the wrong ones,
// and the rate of wrong repairs per failing block.
//
// Usage: repair_benchmark [--failing N]   (default 200000 failing blocks per model)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "demod/Crc_repair.h"

namespace {

constexpr size_t kDataBytes = 64;

struct Channel {
  std::mt19937_64 random{20261209};
  std::normal_distribution<float> gauss{0.0f, 1.0f};

  // The sureness of one bit read at the given signal-to-noise ratio (linear), +: a 1.
  float Read(bool one, float snr, bool signal = true) {
    const float sigma = std::sqrt(0.5f / snr);  // per component, for a signal of amplitude 1
    const float a = signal ? 1.0f : 0.0f;
    const float cr = a + sigma * gauss(random), ci = sigma * gauss(random);
    const float or_ = sigma * gauss(random), oi = sigma * gauss(random);
    const float right = cr * cr + ci * ci, other = or_ * or_ + oi * oi;
    const float noise = 2.0f * sigma * sigma;
    const float soft = (right - other) / (right + other + noise);
    return one ? soft : -soft;
  }
};

struct Tally {
  size_t sent = 0, failing = 0, accepted = 0, wrong = 0;
};

void Print(const char* model, const Tally& t) {
  std::printf("%-10s sent %9zu  failing %8zu  repaired %8zu  wrong %4zu  wrong per failing %.2e\n",
              model, t.sent, t.failing, t.accepted, t.wrong,
              t.failing > 0 ? static_cast<double>(t.wrong) / static_cast<double>(t.failing) : 0.0);
}

enum class Model { kNoise, kBurst, kBytes };

Tally Run(Model model, float ebN0Db, size_t failingWanted, Channel& channel) {
  Tally tally;
  const float snr = std::pow(10.0f, ebN0Db / 10.0f);
  std::vector<uint8_t> sent(kDataBytes + 2), read;
  std::vector<float> soft((kDataBytes + 2) * 8);
  while (tally.failing < failingWanted && tally.sent < 100 * failingWanted + 1000000) {
    ++tally.sent;
    for (size_t i = 0; i < kDataBytes; ++i)
      sent[i] = static_cast<uint8_t>(channel.random());
    const uint16_t crc = Demod_ns::Crc16(sent.data(), kDataBytes);
    sent[kDataBytes] = static_cast<uint8_t>(crc >> 8);
    sent[kDataBytes + 1] = static_cast<uint8_t>(crc);
    read.assign(sent.size(), 0);
    size_t burstFrom = soft.size(), burstTo = soft.size();
    if (model == Model::kBurst) {
      burstFrom = channel.random() % soft.size();
      burstTo = burstFrom + 5 + channel.random() % 56;
    }
    for (size_t i = 0; i < soft.size(); ++i) {
      const bool one = (sent[i / 8] >> (i % 8) & 1u) != 0;
      soft[i] = channel.Read(one, snr, i < burstFrom || i >= burstTo);
      if (soft[i] > 0.0f)
        read[i / 8] = static_cast<uint8_t>(read[i / 8] | 1u << (i % 8));
    }
    if (model == Model::kBytes) {
      const size_t count = 1 + channel.random() % 4;
      for (size_t k = 0; k < count; ++k) {
        const size_t at = channel.random() % read.size();
        read[at] = static_cast<uint8_t>(channel.random());
        for (size_t b = 0; b < 8; ++b)
          soft[8 * at + b] = (read[at] >> b & 1u) != 0 ? 1.0f : -1.0f;
      }
    }
    const uint16_t readCrc = Demod_ns::Crc16(read.data(), kDataBytes);
    if (readCrc == static_cast<uint16_t>(read[kDataBytes] << 8 | read[kDataBytes + 1]))
      continue;  // passes as read (or damaged into another block that passes): not failing
    ++tally.failing;
    if (Demod_ns::CheckOrRepair(read, soft, 0, kDataBytes) > 0) {
      ++tally.accepted;
      if (read != sent)
        ++tally.wrong;
    }
  }
  return tally;
}

}  // namespace

int main(int argc, char* argv[]) {
  size_t failing = 200000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--failing") == 0)
      failing = std::strtoul(argv[i + 1], nullptr, 10);
  }
  std::printf("Blocks of %zu data bytes and their CRC; %zu failing blocks per model.\n", kDataBytes,
              failing);
  Channel channel;
  Tally all;
  for (const float db : {10.0f, 11.0f, 12.0f, 13.0f}) {
    const Tally t = Run(Model::kNoise, db, failing, channel);
    Print(("noise " + std::to_string(static_cast<int>(db))).c_str(), t);
    all.sent += t.sent;
    all.failing += t.failing;
    all.accepted += t.accepted;
    all.wrong += t.wrong;
  }
  for (const auto& [name, model] : {std::pair{"burst", Model::kBurst}, {"bytes", Model::kBytes}}) {
    const Tally t = Run(model, 12.0f, failing, channel);
    Print(name, t);
    all.sent += t.sent;
    all.failing += t.failing;
    all.accepted += t.accepted;
    all.wrong += t.wrong;
  }
  Print("all", all);
  return 0;
}
