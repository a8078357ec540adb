#include "blocks/Processing.h"

#include "blocks/Block_driver.h"
#include "blocks/Blockformstate.h"
#include "driver/StreamSplitter.h"
#include "sound/Sound_device_base.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace BlockProcessing_ns {

PilotToneState PilotTone;

namespace {

using StreamSplitter_ns::CheckInterrupted;
using WavesInput_ns::AdvanceWaves;
using WavesInput_ns::WaveAt;
using WavesInput_ns::WavesLeft;

// Short waves in a row that make a carrier tone.
constexpr int32_t kCarrierWaves = 7;
// A carrier tone longer than this separates blocks: bytes held for rejoining are dropped.
constexpr int32_t kJoinBreakingCarrier = 4;
constexpr uint8_t kDummyByte = 0xAA;

enum class SearchState { kSearching, kCounting, kFirstByte, kBlockBytes, kLookForCarrier };

bool SourceExhausted() {
  return SoundInput_ns::CurrentSound->AtEnd();
}

// Walks the last buffered waves without decoding them, once the sound has run out.
void DropRemainingWaves() {
  while (WavesLeft() > 0) {
    WavesInput_ns::DropCurrentWave();
  }
}

void Step() {
  WavesInput_ns::CalibrationStep(BlockFormState.FileNumber, PilotTone.RunningSampleCount);
}

void EndOfCarrier() {
  if (PilotTone.PilotWaveCount != 0) {
    if (PilotTone.PilotWaveCount > kJoinBreakingCarrier) {
      JoinBuffer.Rewind();
    }
    PilotTone.PilotWaveCount = 0;
  }
}

// The carrier tone that held a dummy byte is over: the block after it is still the same
// recording's, so bytes held for rejoining are kept.
void EndOfDummyCarrier() {
  PilotTone.DummyByteSeen = false;
  PilotTone.WavesBeforeDummy = 0;
  PilotTone.PilotWaveCount = 0;
}

// After a block: a 1 bit at once means the next carrier tone has begun.
void CarrierResumesTest() {
  if (WavesLeft() >= 2) {
    uint8_t offset = 0;
    bool unreadable = false;
    if (ReadBit(offset, unreadable) == 1) {
      PilotTone.PilotRunning = true;
      PilotTone.PilotWaveCount = 2;
      PilotTone.RunningSampleCount += WaveAt(0).Length() + WaveAt(1).Length();
      AdvanceWaves(2);
      return;
    }
  }
  PilotTone.CurrentClass = WavesLeft() > 0 ? CurrentWaveClass() : WaveClass::kOther;
}

// The sound ran out while short waves were being counted: count the buffered ones and close
// the carrier tone if something else follows them.
void EndOfInputWhileCounting() {
  while (WavesLeft() > 0 && CurrentWaveClass() == WaveClass::kShort) {
    ++PilotTone.PilotWaveCount;
    WavesInput_ns::DropCurrentWave();
  }
  if (WavesLeft() > 0) {
    if (PilotTone.DummyByteSeen) {
      EndOfDummyCarrier();
      UEFFormat_ns::TheUEFImage.WriteBaseFrequencyPlaceholder();
    } else {
      EndOfCarrier();
    }
  }
  DropRemainingWaves();
  CheckInterrupted();
}

// Skips waves until one is long or short and its first half is a recognisable pulse, after
// an other wave has broken the signal. Returns false when the sound ran out first.
bool SkipStrayWaves() {
  const double t = WavesInput_ns::ReferenceWaveLength();
  for (;;) {
    if (SourceExhausted() || WavesLeft() == 0) {
      DropRemainingWaves();
      return false;
    }
    const WavesInput_ns::DelaysElementType& wave = WaveAt(0);
    const bool firstHalfOther = ClassifyPulse(wave.FirstHalf, t) == PulseClass::kOtherPulse;
    if (!firstHalfOther && ClassifyWave(wave, t) != WaveClass::kOther) {
      break;
    }
    if (firstHalfOther) {
      PilotTone.RunningSampleCount = wave.SecondHalf;
    } else {
      PilotTone.RunningSampleCount += wave.Length();
    }
    CheckInterrupted();
    Step();
  }
  // The stretch of stray waves is settled.
  CheckInterrupted();
  PilotTone.RunningSampleCount = 0;
  return true;
}

}  // namespace

void ResetPilotTone() {
  PilotTone = PilotToneState{};
}

void ReadNextBlock() {
  SearchState state = SearchState::kSearching;
  if (PilotTone.PilotRunning) {
    PilotTone.PilotRunning = false;
    state = SearchState::kCounting;
  }
  ByteReadResult byte;

  for (;;) {
    switch (state) {
      case SearchState::kSearching: {
        if (SourceExhausted() || WavesLeft() == 0) {
          DropRemainingWaves();
          return;
        }
        if (PilotTone.CurrentClass == WaveClass::kOther && !SkipStrayWaves()) {
          return;
        }
        const WaveClass waveClass = CurrentWaveClass();
        PilotTone.CurrentClass = waveClass;
        if (waveClass == WaveClass::kShort) {
          ++PilotTone.PilotWaveCount;
          PilotTone.RunningSampleCount += WaveAt(0).Length();
        } else {
          // Fewer than 7 short waves collected: they were no carrier tone.
          PilotTone.PilotWaveCount = 0;
          PilotTone.RunningSampleCount = 0;
          if (waveClass == WaveClass::kOther) {
            CheckInterrupted();
          }
        }
        Step();
        if (PilotTone.PilotWaveCount == kCarrierWaves) {
          state = SearchState::kCounting;
        }
        break;
      }

      case SearchState::kCounting: {
        WaveClass waveClass = WaveClass::kOther;
        for (;;) {
          if (SourceExhausted()) {
            EndOfInputWhileCounting();
            return;
          }
          if (WavesLeft() == 0) {
            return;
          }
          waveClass = CurrentWaveClass();
          PilotTone.CurrentClass = waveClass;
          if (waveClass != WaveClass::kShort) {
            break;
          }
          ++PilotTone.PilotWaveCount;
          PilotTone.RunningSampleCount += WaveAt(0).Length();
          AdvanceWaves(1);
        }
        if (PilotTone.DummyByteSeen) {
          EndOfDummyCarrier();
        }
        if (waveClass == WaveClass::kOther) {
          EndOfCarrier();
          CheckInterrupted();
          PilotTone.RunningSampleCount = 0;
          Step();
          state = SearchState::kSearching;
        } else {
          // A long wave may be the start bit of the block's first byte.
          state = SearchState::kFirstByte;
        }
        break;
      }

      case SearchState::kFirstByte:
        byte = ReadStandardByte();
        if (!byte.Failed) {
          state = SearchState::kBlockBytes;
        } else {
          EndOfCarrier();
          PilotTone.RunningSampleCount += WaveAt(0).Length();
          AdvanceWaves(1);
          state = SearchState::kLookForCarrier;
        }
        break;

      case SearchState::kLookForCarrier: {
        if (SourceExhausted() || WavesLeft() == 0) {
          DropRemainingWaves();
          return;
        }
        const WaveClass waveClass = CurrentWaveClass();
        PilotTone.CurrentClass = waveClass;
        if (waveClass == WaveClass::kOther) {
          CheckInterrupted();
          PilotTone.RunningSampleCount = 0;
          Step();
          state = SearchState::kSearching;
          break;
        }
        PilotTone.PilotWaveCount =
            waveClass == WaveClass::kShort ? PilotTone.PilotWaveCount + 1 : 0;
        PilotTone.RunningSampleCount += WaveAt(0).Length();
        AdvanceWaves(1);
        if (PilotTone.PilotWaveCount == kCarrierWaves) {
          state = SearchState::kCounting;
        }
        break;
      }

      case SearchState::kBlockBytes: {
        uint32_t stored = 0;
        // A block longer than the buffer is ended at its capacity; the rest of the bytes are
        // read as what follows it.
        while (!BlockBuffer.Full()) {
          BlockBuffer.Bytes[BlockBuffer.Fill++] = byte.Byte;
          ++stored;
          for (uint8_t k = 0; k < byte.WavesUsed; ++k) {
            PilotTone.RunningSampleCount += WaveAt(k).Length();
          }
          AdvanceWaves(byte.WavesUsed);
          byte = ReadStandardByte();
          if (byte.Failed) {
            break;
          }
        }
        if (stored == 1) {
          // One byte is no block. A lone 0xAA is the dummy byte inside a leading carrier.
          if (BlockBuffer.Bytes[0] == kDummyByte) {
            PilotTone.WavesBeforeDummy = PilotTone.PilotWaveCount;
            PilotTone.PilotWaveCount = 0;
            PilotTone.DummyByteSeen = true;
          } else {
            EndOfCarrier();
          }
          BlockBuffer.Empty();
          CarrierResumesTest();
          state = SearchState::kSearching;
          if (PilotTone.PilotRunning) {
            PilotTone.PilotRunning = false;
            state = SearchState::kCounting;
          }
          break;
        }
        if (PilotTone.PilotWaveCount != 0) {
          EndOfCarrier();
        }
        CarrierResumesTest();
        return;
      }
    }
  }
}

}  // namespace BlockProcessing_ns
