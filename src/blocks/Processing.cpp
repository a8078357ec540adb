#include "blocks/Processing.h"

#include "blocks/Decoding_context.h"
#include "driver/Stream_splitter.h"
#include "sound/Sound_device_base.h"
#include "uef/Wave_analysis.h"
#include "waves/Wavesinputstate.h"

namespace BlockProcessing_ns {

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

bool SourceExhausted(DecodingContext& context) {
  return context.Source.AtEnd();
}

// Walks the last buffered waves without decoding them, once the sound has run out.
void DropRemainingWaves(DecodingContext& context) {
  while (WavesLeft(context.Waves) > 0) {
    WavesInput_ns::DropCurrentWave(context.Waves);
  }
}

void Step(DecodingContext& context) {
  WavesInput_ns::CalibrationStep(context.Waves, context.Form.FileNumber,
                                 context.PilotTone.RunningSampleCount);
}

void EndOfCarrier(DecodingContext& context) {
  if (context.PilotTone.PilotWaveCount != 0) {
    if (context.PilotTone.PilotWaveCount > kJoinBreakingCarrier) {
      context.Driver.JoinBuffer.Rewind();
    }
    context.PilotTone.PilotWaveCount = 0;
  }
}

// The carrier tone that held a dummy byte is over: the block after it is still the same
// recording's, so bytes held for rejoining are kept.
void EndOfDummyCarrier(DecodingContext& context) {
  context.PilotTone.DummyByteSeen = false;
  context.PilotTone.WavesBeforeDummy = 0;
  context.PilotTone.PilotWaveCount = 0;
}

// After a block: a 1 bit at once means the next carrier tone has begun.
void CarrierResumesTest(DecodingContext& context) {
  if (WavesLeft(context.Waves) >= 2) {
    uint8_t offset = 0;
    bool unreadable = false;
    if (ReadBit(context, offset, unreadable) == 1) {
      context.PilotTone.PilotRunning = true;
      context.PilotTone.PilotWaveCount = 2;
      context.PilotTone.RunningSampleCount +=
          WaveAt(context.Waves, 0).Length() + WaveAt(context.Waves, 1).Length();
      AdvanceWaves(context.Waves, 2);
      return;
    }
  }
  context.PilotTone.CurrentClass =
      WavesLeft(context.Waves) > 0 ? CurrentWaveClass(context) : WaveClass::kOther;
}

// The sound ran out while short waves were being counted: count the buffered ones and close
// the carrier tone if something else follows them.
void EndOfInputWhileCounting(DecodingContext& context) {
  while (WavesLeft(context.Waves) > 0 && CurrentWaveClass(context) == WaveClass::kShort) {
    ++context.PilotTone.PilotWaveCount;
    WavesInput_ns::DropCurrentWave(context.Waves);
  }
  if (WavesLeft(context.Waves) > 0) {
    if (context.PilotTone.DummyByteSeen) {
      EndOfDummyCarrier(context);
      context.Image.WriteBaseFrequencyPlaceholder();
    } else {
      EndOfCarrier(context);
    }
  }
  DropRemainingWaves(context);
  CheckInterrupted();
}

// Skips waves until one is long or short and its first half is a recognisable pulse, after
// an other wave has broken the signal. Returns false when the sound ran out first.
bool SkipStrayWaves(DecodingContext& context) {
  const WaveClassifier& classes = CurrentClasses(context);
  for (;;) {
    if (SourceExhausted(context) || WavesLeft(context.Waves) == 0) {
      DropRemainingWaves(context);
      return false;
    }
    const WavesInput_ns::DelaysElementType& wave = WaveAt(context.Waves, 0);
    const bool firstHalfOther = classes.Pulse(wave.FirstHalf) == PulseClass::kOtherPulse;
    if (!firstHalfOther && classes.Wave(wave.Length()) != WaveClass::kOther) {
      break;
    }
    if (firstHalfOther) {
      context.PilotTone.RunningSampleCount = wave.SecondHalf;
    } else {
      context.PilotTone.RunningSampleCount += wave.Length();
    }
    CheckInterrupted();
    Step(context);
  }
  // The stretch of stray waves is settled.
  CheckInterrupted();
  context.PilotTone.RunningSampleCount = 0;
  return true;
}

}  // namespace

void ReadNextBlock(DecodingContext& context) {
  PilotToneState& tone = context.PilotTone;
  ByteBufferType& block = context.Driver.BlockBuffer;
  SearchState state = SearchState::kSearching;
  if (tone.PilotRunning) {
    tone.PilotRunning = false;
    state = SearchState::kCounting;
  }
  ByteReadResult byte;

  for (;;) {
    switch (state) {
      case SearchState::kSearching: {
        if (SourceExhausted(context) || WavesLeft(context.Waves) == 0) {
          DropRemainingWaves(context);
          return;
        }
        if (tone.CurrentClass == WaveClass::kOther && !SkipStrayWaves(context)) {
          return;
        }
        const WaveClass waveClass = CurrentWaveClass(context);
        tone.CurrentClass = waveClass;
        if (waveClass == WaveClass::kShort) {
          ++tone.PilotWaveCount;
          tone.RunningSampleCount += WaveAt(context.Waves, 0).Length();
        } else {
          // Fewer than 7 short waves collected: they were no carrier tone.
          tone.PilotWaveCount = 0;
          tone.RunningSampleCount = 0;
          if (waveClass == WaveClass::kOther) {
            CheckInterrupted();
          }
        }
        Step(context);
        if (tone.PilotWaveCount == kCarrierWaves) {
          state = SearchState::kCounting;
        }
        break;
      }

      case SearchState::kCounting: {
        WaveClass waveClass = WaveClass::kOther;
        for (;;) {
          if (SourceExhausted(context)) {
            EndOfInputWhileCounting(context);
            return;
          }
          if (WavesLeft(context.Waves) == 0) {
            return;
          }
          waveClass = CurrentWaveClass(context);
          tone.CurrentClass = waveClass;
          if (waveClass != WaveClass::kShort) {
            break;
          }
          ++tone.PilotWaveCount;
          tone.RunningSampleCount += WaveAt(context.Waves, 0).Length();
          AdvanceWaves(context.Waves, 1);
        }
        if (tone.DummyByteSeen) {
          EndOfDummyCarrier(context);
        }
        if (waveClass == WaveClass::kOther) {
          EndOfCarrier(context);
          CheckInterrupted();
          tone.RunningSampleCount = 0;
          Step(context);
          state = SearchState::kSearching;
        } else {
          // A long wave may be the start bit of the block's first byte.
          state = SearchState::kFirstByte;
        }
        break;
      }

      case SearchState::kFirstByte:
        byte = ReadStandardByte(context);
        if (!byte.Failed) {
          state = SearchState::kBlockBytes;
        } else {
          EndOfCarrier(context);
          tone.RunningSampleCount += WaveAt(context.Waves, 0).Length();
          AdvanceWaves(context.Waves, 1);
          state = SearchState::kLookForCarrier;
        }
        break;

      case SearchState::kLookForCarrier: {
        if (SourceExhausted(context) || WavesLeft(context.Waves) == 0) {
          DropRemainingWaves(context);
          return;
        }
        const WaveClass waveClass = CurrentWaveClass(context);
        tone.CurrentClass = waveClass;
        if (waveClass == WaveClass::kOther) {
          CheckInterrupted();
          tone.RunningSampleCount = 0;
          Step(context);
          state = SearchState::kSearching;
          break;
        }
        tone.PilotWaveCount = waveClass == WaveClass::kShort ? tone.PilotWaveCount + 1 : 0;
        tone.RunningSampleCount += WaveAt(context.Waves, 0).Length();
        AdvanceWaves(context.Waves, 1);
        if (tone.PilotWaveCount == kCarrierWaves) {
          state = SearchState::kCounting;
        }
        break;
      }

      case SearchState::kBlockBytes: {
        uint32_t stored = 0;
        // A block longer than the buffer is ended at its capacity; the rest of the bytes are
        // read as what follows it.
        while (!block.Full()) {
          block.Bytes[block.Fill++] = byte.Byte;
          ++stored;
          for (uint8_t k = 0; k < byte.WavesUsed; ++k) {
            tone.RunningSampleCount += WaveAt(context.Waves, k).Length();
          }
          AdvanceWaves(context.Waves, byte.WavesUsed);
          byte = ReadStandardByte(context);
          if (byte.Failed) {
            break;
          }
        }
        if (stored == 1) {
          // One byte is no block. A lone 0xAA is the dummy byte inside a leading carrier.
          if (block.Bytes[0] == kDummyByte) {
            tone.WavesBeforeDummy = tone.PilotWaveCount;
            tone.PilotWaveCount = 0;
            tone.DummyByteSeen = true;
          } else {
            EndOfCarrier(context);
          }
          block.Empty();
          CarrierResumesTest(context);
          state = SearchState::kSearching;
          if (tone.PilotRunning) {
            tone.PilotRunning = false;
            state = SearchState::kCounting;
          }
          break;
        }
        if (tone.PilotWaveCount != 0) {
          EndOfCarrier(context);
        }
        CarrierResumesTest(context);
        return;
      }
    }
  }
}

}  // namespace BlockProcessing_ns
