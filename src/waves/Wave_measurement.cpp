#include "waves/Wave_measurement.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "driver/Stream_splitter.h"
#include "sound/Card_sound.h"
#include "sound/Csw_file_handler.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"

namespace WavesInput_ns {
namespace {

// Strength thresholds: a half of a cycle is signal, not noise, when one of its samples
// reaches them. The sign method looks at the level on either side of zero, the peak method at
// the swing between turning points.
constexpr int kSignPositiveStrength = 8;
constexpr int kSignNegativeStrength = -9;
constexpr int kPeakRisingStrength = 14;
constexpr int kPeakFallingStrength = -15;

// Takes samples through the source's virtual interface: NextSample, then AtEnd.
class VirtualSampleCursor {
 public:
  explicit VirtualSampleCursor(SoundInput_ns::SoundBase& source) : source_(source) {}
  bool Next(int& sample) {
    sample = source_.NextSample();
    return !source_.AtEnd();
  }

 private:
  SoundInput_ns::SoundBase& source_;
};

VirtualSampleCursor Cursor(SoundInput_ns::SoundBase& source) {
  return VirtualSampleCursor(source);
}
SoundInput_ns::FileSampleCursor Cursor(SoundInput_ns::RAWSound& source) {
  return source.Samples();
}
SoundInput_ns::FileSampleCursor Cursor(SoundInput_ns::WAVSound& source) {
  return source.Samples();
}

// Reads one sample into a half's count. Returns false, without counting it, once the sound
// has ended. With live input the interruption check runs for every sample, since the sound
// card never ends by itself.
template <class SampleCursor>
inline bool ReadSample(SampleCursor& cursor, uint32_t& half, bool cardInput, int& sample) {
  if (!cursor.Next(sample)) {
    return false;
  }
  ++half;
  if (cardInput) {
    StreamSplitter_ns::CheckInterrupted();
  }
  return true;
}

// With the normal phase a wave runs from a rising zero crossing to the next, positive half
// first; with -p from a falling crossing, negative half first. Each half ends with, and
// includes, the first sample on the far side of zero. A weak cycle is not a wave of its own:
// its counts are added to the next cycle's.
template <bool kNormalPhase, class SampleCursor>
void SignCycles(SampleCursor& cursor, uint32_t& first, uint32_t& second, bool cardInput) {
  auto inFirstHalf = [](int s) { return kNormalPhase ? s >= 0 : s < 0; };
  auto firstStrong = [](int s) {
    return kNormalPhase ? s >= kSignPositiveStrength : s <= kSignNegativeStrength;
  };
  auto secondStrong = [](int s) {
    return kNormalPhase ? s <= kSignNegativeStrength : s >= kSignPositiveStrength;
  };
  int s = 0;
  bool weak = true;
  do {
    do {
      if (!ReadSample(cursor, first, cardInput, s)) {
        return;
      }
      weak = weak && !firstStrong(s);
    } while (inFirstHalf(s));
    do {
      if (!ReadSample(cursor, second, cardInput, s)) {
        return;
      }
      weak = weak && !secondStrong(s);
    } while (!inFirstHalf(s));
  } while (weak);
}

// With the normal phase a wave runs from a peak through a trough to the next peak; with -p
// from a trough through a peak. Level stretches stay in the half they started in. prev starts
// afresh for every wave, so the first sample always stays in the first half.
template <bool kNormalPhase, class SampleCursor>
void PeakCycles(SampleCursor& cursor, uint32_t& first, uint32_t& second, bool cardInput) {
  int previous = kNormalPhase ? 127 : -128;
  int s = 0;
  bool weak = true;
  do {
    bool goesOn = true;
    do {
      if (!ReadSample(cursor, first, cardInput, s)) {
        return;
      }
      if (kNormalPhase) {
        weak = weak && s > kPeakFallingStrength;
        goesOn = s <= previous;
      } else {
        weak = weak && s < kPeakRisingStrength;
        goesOn = s >= previous;
      }
      previous = s;
    } while (goesOn);
    do {
      if (!ReadSample(cursor, second, cardInput, s)) {
        return;
      }
      if (kNormalPhase) {
        weak = weak && s < kPeakRisingStrength;
        goesOn = s >= previous;
      } else {
        weak = weak && s > kPeakFallingStrength;
        goesOn = s <= previous;
      }
      previous = s;
    } while (goesOn);
  } while (weak);
}

// One half of a cycle read straight from a file buffer: counts the samples into half up to
// and including the first one on the far side of zero, and notes whether any reached the
// strength threshold. A half that ends at a negative sample is a positive half (strong from
// 8); one that ends at a sample of 0 or more is a negative half (strong from -9). Returns
// false when the sound ended first. The read pointer p stays in a register; where SSE2 is
// available sixteen samples are tested at once, since a half is typically 9 to 18 samples.
template <bool kEndsWhenNegative>
inline bool ScanHalf(SoundInput_ns::FileSampleCursor& cursor, const uint8_t*& p,
                     const uint8_t*& end, uint32_t& half, bool& strong) {
  const uint8_t flip = cursor.flip;
  auto ends = [](int s) { return kEndsWhenNegative ? s < 0 : s >= 0; };
  auto isStrong = [](int s) {
    return kEndsWhenNegative ? s >= kSignPositiveStrength : s <= kSignNegativeStrength;
  };
  for (;;) {
    const uint8_t* start = p;
#if defined(__SSE2__)
    const __m128i flips = _mm_set1_epi8(static_cast<char>(flip));
    while (end - p >= 16) {
      const __m128i samples =
          _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), flips);
      const auto negative = static_cast<unsigned>(_mm_movemask_epi8(samples));
      const unsigned endMask = kEndsWhenNegative ? negative : (~negative & 0xFFFFu);
      const auto strongMask = static_cast<unsigned>(_mm_movemask_epi8(
          kEndsWhenNegative ? _mm_cmpgt_epi8(samples, _mm_set1_epi8(kSignPositiveStrength - 1))
                            : _mm_cmplt_epi8(samples, _mm_set1_epi8(kSignNegativeStrength + 1))));
      if (endMask != 0) {
        const auto last = static_cast<unsigned>(__builtin_ctz(endMask));
        strong = strong || (strongMask & ((2u << last) - 1)) != 0;
        p += last + 1;
        half += static_cast<uint32_t>(p - start);
        return true;
      }
      strong = strong || strongMask != 0;
      p += 16;
    }
#endif
    while (p != end) {
      const int s = static_cast<int8_t>(*p++ ^ flip);
      strong = strong || isStrong(s);
      if (ends(s)) {
        half += static_cast<uint32_t>(p - start);
        return true;
      }
    }
    half += static_cast<uint32_t>(p - start);
    cursor.next = p;
    if (!cursor.Refill()) {
      return false;
    }
    p = cursor.next;
    end = cursor.end;
  }
}

// The same cycles as above, read straight from a file buffer. File sources are never live, so
// there is no interruption check.
template <bool kNormalPhase>
void SignCycles(SoundInput_ns::FileSampleCursor& cursor, uint32_t& first, uint32_t& second, bool) {
  const uint8_t* p = cursor.next;
  const uint8_t* end = cursor.end;
  bool strong = false;
  while (!strong) {
    if (!ScanHalf<kNormalPhase>(cursor, p, end, first, strong) ||
        !ScanHalf<!kNormalPhase>(cursor, p, end, second, strong)) {
      return;
    }
  }
  cursor.next = p;
}

// One half of a peak-to-peak cycle read straight from a file buffer: a falling half goes on
// while each sample is at or below the one before and ends with, and includes, the first that
// rises above it (strong when a sample reaches -15); a rising half is the mirror image (ends
// at the first sample below the one before, strong from 14). previous holds the sample before
// p, or the value a wave starts from. Returns false when the sound ended first. Where SSE2 is
// available sixteen samples are compared with the sixteen before them at once; the first
// sample of a half, and of a new buffer, is taken alone, since the sample before it is then
// the wave's starting value or lies in the buffer before.
template <bool kFalling>
inline bool ScanPeakHalf(SoundInput_ns::FileSampleCursor& cursor, const uint8_t*& p,
                         const uint8_t*& end, uint32_t& half, bool& strong, int& previous) {
  const uint8_t flip = cursor.flip;
  auto ends = [](int s, int before) { return kFalling ? s > before : s < before; };
  auto isStrong = [](int s) {
    return kFalling ? s <= kPeakFallingStrength : s >= kPeakRisingStrength;
  };
  bool alone = true;
  for (;;) {
    const uint8_t* start = p;
    while (p != end) {
#if defined(__SSE2__)
      if (!alone) {
        const __m128i flips = _mm_set1_epi8(static_cast<char>(flip));
        while (end - p >= 16) {
          const __m128i samples =
              _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), flips);
          const __m128i before =
              _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1)), flips);
          const auto endMask = static_cast<unsigned>(_mm_movemask_epi8(
              kFalling ? _mm_cmpgt_epi8(samples, before) : _mm_cmpgt_epi8(before, samples)));
          const auto strongMask = static_cast<unsigned>(_mm_movemask_epi8(
              kFalling ? _mm_cmplt_epi8(samples, _mm_set1_epi8(kPeakFallingStrength + 1))
                       : _mm_cmpgt_epi8(samples, _mm_set1_epi8(kPeakRisingStrength - 1))));
          if (endMask != 0) {
            const auto last = static_cast<unsigned>(__builtin_ctz(endMask));
            strong = strong || (strongMask & ((2u << last) - 1)) != 0;
            p += last + 1;
            previous = static_cast<int8_t>(p[-1] ^ flip);
            half += static_cast<uint32_t>(p - start);
            return true;
          }
          strong = strong || strongMask != 0;
          p += 16;
        }
        if (p == end)
          break;
      }
#endif
      const int s = static_cast<int8_t>(*p++ ^ flip);
      strong = strong || isStrong(s);
      const bool ended = ends(s, previous);
      previous = s;
      if (ended) {
        half += static_cast<uint32_t>(p - start);
        return true;
      }
      alone = false;
    }
    half += static_cast<uint32_t>(p - start);
    cursor.next = p;
    if (!cursor.Refill()) {
      return false;
    }
    p = cursor.next;
    end = cursor.end;
    alone = true;
  }
}

// The same cycles as PeakCycles above, read straight from a file buffer (never live).
template <bool kNormalPhase>
void PeakCycles(SoundInput_ns::FileSampleCursor& cursor, uint32_t& first, uint32_t& second, bool) {
  const uint8_t* p = cursor.next;
  const uint8_t* end = cursor.end;
  int previous = kNormalPhase ? 127 : -128;
  bool strong = false;
  while (!strong) {
    if (!ScanPeakHalf<kNormalPhase>(cursor, p, end, first, strong, previous) ||
        !ScanPeakHalf<!kNormalPhase>(cursor, p, end, second, strong, previous)) {
      return;
    }
  }
  cursor.next = p;
}

// The halves are counted in locals, which stay in registers, and added to the wave at the end.
template <class Source>
void MeasureSignFrom(WavesInputState& input, DelaysElementType& wave) {
  auto cursor = Cursor(static_cast<Source&>(*input.Source));
  uint32_t first = 0;
  uint32_t second = 0;
  const bool cardInput = input.Settings->CardInput;
  if (input.Settings->NormalPhase) {
    SignCycles<true>(cursor, first, second, cardInput);
  } else {
    SignCycles<false>(cursor, first, second, cardInput);
  }
  wave.FirstHalf += first;
  wave.SecondHalf += second;
}

template <class Source>
void MeasurePeakFrom(WavesInputState& input, DelaysElementType& wave) {
  auto cursor = Cursor(static_cast<Source&>(*input.Source));
  uint32_t first = 0;
  uint32_t second = 0;
  const bool cardInput = input.Settings->CardInput;
  if (input.Settings->NormalPhase) {
    PeakCycles<true>(cursor, first, second, cardInput);
  } else {
    PeakCycles<false>(cursor, first, second, cardInput);
  }
  wave.FirstHalf += first;
  wave.SecondHalf += second;
}

template <class Source>
void MeasureCswPulsesFrom(WavesInputState& input, DelaysElementType& wave) {
  Source& source = static_cast<Source&>(*input.Source);
  wave.FirstHalf = source.NextPulse();
  wave.SecondHalf = source.NextPulse();
}

// Pushes a wave at the back of waves and measures it with measure(first, second), which adds
// the halves' lengths to the two counts; takes the wave off again when it comes back empty.
template <class Measure>
inline void AppendOne(WavesBufferType& waves, Measure&& measure) {
  waves.PushBack();
  uint32_t first = 0;
  uint32_t second = 0;
  measure(first, second);
  if (first == 0 && second == 0) {
    waves.PopBack();
    return;
  }
  DelaysElementType& wave = waves.Back();
  wave.FirstHalf = first;
  wave.SecondHalf = second;
}

template <class Source, bool kNormalPhase>
void AppendSignWavesIn(WavesInputState& input, uint8_t n) {
  auto cursor = Cursor(static_cast<Source&>(*input.Source));
  const bool cardInput = input.Settings->CardInput;
  WavesBufferType& waves = input.Window;
  for (uint8_t i = 0; i < n; ++i) {
    AppendOne(waves, [&](uint32_t& first, uint32_t& second) {
      SignCycles<kNormalPhase>(cursor, first, second, cardInput);
    });
  }
}

template <class Source>
void AppendSignWaves(WavesInputState& input, uint8_t n) {
  if (input.Settings->NormalPhase) {
    AppendSignWavesIn<Source, true>(input, n);
  } else {
    AppendSignWavesIn<Source, false>(input, n);
  }
}

template <class Source, bool kNormalPhase>
void AppendPeakWavesIn(WavesInputState& input, uint8_t n) {
  auto cursor = Cursor(static_cast<Source&>(*input.Source));
  const bool cardInput = input.Settings->CardInput;
  WavesBufferType& waves = input.Window;
  for (uint8_t i = 0; i < n; ++i) {
    AppendOne(waves, [&](uint32_t& first, uint32_t& second) {
      PeakCycles<kNormalPhase>(cursor, first, second, cardInput);
    });
  }
}

template <class Source>
void AppendPeakWaves(WavesInputState& input, uint8_t n) {
  if (input.Settings->NormalPhase) {
    AppendPeakWavesIn<Source, true>(input, n);
  } else {
    AppendPeakWavesIn<Source, false>(input, n);
  }
}

// Pulses straight from the source's buffers where the source is a CSW file; otherwise
// through NextPulse.
template <class Source>
class PulseReader {
 public:
  explicit PulseReader(Source& source) : source_(source) {}
  uint32_t Next() { return source_.NextPulse(); }

 private:
  Source& source_;
};

template <>
class PulseReader<SoundInput_ns::CSWSound> {
 public:
  explicit PulseReader(SoundInput_ns::CSWSound& source) : cursor_(source) {}
  uint32_t Next() { return cursor_.Next(); }

 private:
  SoundInput_ns::CSWSound::PulseCursor cursor_;
};

template <class Source>
void AppendCswWaves(WavesInputState& input, uint8_t n) {
  PulseReader<Source> pulses(static_cast<Source&>(*input.Source));
  WavesBufferType& waves = input.Window;
  for (uint8_t i = 0; i < n; ++i) {
    AppendOne(waves, [&](uint32_t& first, uint32_t& second) {
      first = pulses.Next();
      second = pulses.Next();
    });
  }
}

template <class Source>
AppendFunction AppendingFor(MainProgram_ns::MeasureMethod method) {
  switch (method) {
    case MainProgram_ns::MeasureMethod::kPeak:
      return AppendPeakWaves<Source>;
    case MainProgram_ns::MeasureMethod::kCswPulses:
      return AppendCswWaves<Source>;
    case MainProgram_ns::MeasureMethod::kSign:
      break;
  }
  return AppendSignWaves<Source>;
}

template <class Source>
MeasureFunction SelectFor(MainProgram_ns::MeasureMethod method) {
  switch (method) {
    case MainProgram_ns::MeasureMethod::kPeak:
      return MeasurePeakFrom<Source>;
    case MainProgram_ns::MeasureMethod::kCswPulses:
      return MeasureCswPulsesFrom<Source>;
    case MainProgram_ns::MeasureMethod::kSign:
      break;
  }
  return MeasureSignFrom<Source>;
}

}  // namespace

void MeasureSign(WavesInputState& input, DelaysElementType& wave) {
  MeasureSignFrom<SoundInput_ns::SoundBase>(input, wave);
}

void MeasurePeak(WavesInputState& input, DelaysElementType& wave) {
  MeasurePeakFrom<SoundInput_ns::SoundBase>(input, wave);
}

void MeasureCswPulses(WavesInputState& input, DelaysElementType& wave) {
  MeasureCswPulsesFrom<SoundInput_ns::SoundBase>(input, wave);
}

// The source classes are final, so the calls inside the chosen function are direct.
MeasureFunction SelectMeasurement(MainProgram_ns::MeasureMethod method,
                                  const SoundInput_ns::SoundBase& source) {
  using namespace SoundInput_ns;
  switch (source.Kind()) {
    case SourceKind::kRaw:
      return SelectFor<RAWSound>(method);
    case SourceKind::kWav:
      return SelectFor<WAVSound>(method);
    case SourceKind::kCsw:
      return SelectFor<CSWSound>(method);
    case SourceKind::kCard:
      return SelectFor<CardSound>(method);
    case SourceKind::kOther:
      break;
  }
  return SelectFor<SoundBase>(method);
}

AppendFunction SelectAppending(MainProgram_ns::MeasureMethod method,
                               const SoundInput_ns::SoundBase& source) {
  using namespace SoundInput_ns;
  switch (source.Kind()) {
    case SourceKind::kRaw:
      return AppendingFor<RAWSound>(method);
    case SourceKind::kWav:
      return AppendingFor<WAVSound>(method);
    case SourceKind::kCsw:
      return AppendingFor<CSWSound>(method);
    case SourceKind::kCard:
      return AppendingFor<CardSound>(method);
    case SourceKind::kOther:
      break;
  }
  return AppendingFor<SoundBase>(method);
}

}  // namespace WavesInput_ns
