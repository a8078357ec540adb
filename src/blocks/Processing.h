#pragma once

#include <cstdint>

#include "blocks/Bits_and_bytes.h"

namespace BlockProcessing_ns {

// What the carrier search keeps from one block to the next.
struct PilotToneState {
  WaveClass CurrentClass = WaveClass::kOther;  // of the current wave, as last classified
  int32_t PilotWaveCount = 0;                  // short waves counted in the current carrier tone
  bool PilotRunning = false;     // the waves right after the last block began a carrier tone
  bool DummyByteSeen = false;    // the current carrier tone held a lone 0xAA byte
  int32_t WavesBeforeDummy = 0;  // the count reached when that byte was found
  // Samples in the waves taken since the search last settled (a carrier tone or a stretch of
  // stray waves ending); a pending -s calibration is applied only while it is 0.
  uint64_t RunningSampleCount = 0;
};

struct DecodingContext;

// Walks the waves from the current one: finds a carrier tone (7 short waves in a row), reads
// the bytes after it into the block buffer until a byte fails, and returns. A lone byte inside a
// carrier tone is not a block (0xAA is the dummy byte; any other is dropped) and the search
// goes on. Returns with the block buffer empty when the sound ran out first. Checks for an
// interruption whenever a carrier tone or a stretch of stray waves ends.
void ReadNextBlock(DecodingContext& context);

}  // namespace BlockProcessing_ns
