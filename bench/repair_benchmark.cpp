// Measures how often the checksum-guided repair accepts a wrong block, on the damage models
// of tests/support/Bit_channel.h: white noise at 10 to 12 dB of bit energy over noise density
// (where most blocks fail and many are mended), bursts of lost signal and bytes replaced
// with full sureness, both in noise at 12 dB. For each it prints the blocks sent, those that
// failed, the repairs accepted, the wrong ones, and the rate of wrong repairs per failing
// block.
//
// Usage: repair_benchmark [--failing N]   (default 200000 failing blocks per model)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/Bit_channel.h"

namespace {

using TestSupport::BitChannel;

void Print(const std::string& model, const BitChannel::Tally& t) {
  std::printf("%-10s sent %9zu  failing %8zu  repaired %8zu  wrong %4zu  wrong per failing %.2e\n",
              model.c_str(), t.sent, t.failing, t.accepted, t.wrong,
              t.failing > 0 ? static_cast<double>(t.wrong) / static_cast<double>(t.failing) : 0.0);
}

void Add(BitChannel::Tally& all, const BitChannel::Tally& t) {
  all.sent += t.sent;
  all.failing += t.failing;
  all.accepted += t.accepted;
  all.wrong += t.wrong;
}

}  // namespace

int main(int argc, char* argv[]) {
  size_t failing = 200000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--failing") == 0)
      failing = std::strtoul(argv[i + 1], nullptr, 10);
  }
  std::printf("Blocks of %zu data bytes and their CRC; %zu failing blocks per model.\n",
              BitChannel::kDataBytes, failing);
  BitChannel channel(20261209);
  BitChannel::Tally all;
  for (const float db : {10.0f, 11.0f, 12.0f}) {
    const auto t = channel.Run(BitChannel::Model::kNoise, db, failing);
    Print("noise " + std::to_string(static_cast<int>(db)), t);
    Add(all, t);
  }
  const auto burst = channel.Run(BitChannel::Model::kBurst, 12.0f, failing);
  Print("burst", burst);
  Add(all, burst);
  const auto bytes = channel.Run(BitChannel::Model::kBytes, 12.0f, failing);
  Print("bytes", bytes);
  Add(all, bytes);
  Print("all", all);
  return 0;
}
