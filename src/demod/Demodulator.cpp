#include "demod/Demodulator.h"

#include <algorithm>

namespace Demod_ns {

Demodulator::Demodulator(double sampleRate, CellSink* observer)
    : sampleRate_(sampleRate), fork_(fast_, slow_, observer), cells_(sampleRate, fork_) {}

std::vector<DemodBlock> Demodulator::Finish() {
  cells_.Finish();
  std::vector<DemodBlock> blocks = fastBlocks_.Take();
  std::vector<DemodBlock> slow = slowBlocks_.Take();
  blocks.insert(blocks.end(), std::make_move_iterator(slow.begin()),
                std::make_move_iterator(slow.end()));
  std::stable_sort(blocks.begin(), blocks.end(), [](const DemodBlock& a, const DemodBlock& b) {
    return a.startSample < b.startSample;
  });
  return blocks;
}

}  // namespace Demod_ns
