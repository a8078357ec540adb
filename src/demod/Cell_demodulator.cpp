#include "demod/Cell_demodulator.h"

#include <algorithm>
#include <cmath>

namespace Demod_ns {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kPoints = CellDemodulator::kPointsPerCell;
constexpr int kHalf = kPoints / 2;

// The tones' phasors at the cell's points: 1200 Hz turns once over a cell, 2400 Hz twice.
struct Phasors {
  float lowRe[kPoints], lowIm[kPoints], highRe[kPoints], highIm[kPoints];
  Phasors() {
    for (int n = 0; n < kPoints; ++n) {
      const double a = 2.0 * kPi * n / kPoints;
      lowRe[n] = static_cast<float>(std::cos(a));
      lowIm[n] = static_cast<float>(-std::sin(a));
      highRe[n] = static_cast<float>(std::cos(2.0 * a));
      highIm[n] = static_cast<float>(-std::sin(2.0 * a));
    }
  }
};
const Phasors kPhasors;

// The clock's loop. A boundary's timing error e runs from -1 (the boundary lies half a cell
// earlier than the clock has it) to +1 (half a cell later); each boundary moves the clock by
// kPhaseGain of it and its rate by kRateGain of it. The tone's phase turn between cells of one
// tone corrects the rate by kFrequencyGain of the speed error it shows. With a boundary about
// every other cell the phase settles in some 20 boundaries and the rate in some 10 cells
// (under 20 ms): quick enough for flutter of 2% at 12 Hz, slow enough that the noise in one
// cell moves the clock little (at four times the gain, blocks are lost at 8 dB of noise).
//
// Those gains suit a noisy signal. The less noise there is in the cells, the less it moves
// the clock, and the quicker the loop may follow the tape: as for a tracking loop whose speed
// wanders at random, the best bandwidth grows as the fourth root of the ratio of signal to
// noise. From kQuietCells on (the stronger tone 16 dB above the noise in its correlation) the
// phase and frequency gains grow so, up to kQuickest times: flutter of 3% at 20 Hz is then followed
// where it lost most blocks (quality_benchmark), and a noisy signal is read as before.
constexpr double kPhaseGain = 0.1;
constexpr double kRateGain = 0.004;
constexpr double kFrequencyGain = 0.1;
constexpr double kQuietCells = 40.0;
constexpr double kQuickest = 1.5;
// The share of one cell in the average of the coarse measure of the speed error.
constexpr double kCoarseShare = 1.0 / 32.0;
// Where the average coarse measure shows the clock off by more than this, it corrects the
// clock alone.
constexpr double kFarOff = 0.15;
// One cell corrects the rate by at most kFrequencyGain of this speed error.
constexpr double kLargestStep = 0.1;
// The clock's rate stays within 25% of the normal speed.
constexpr double kSlowest = 0.75;
constexpr double kFastest = 1.25;

// A cell's stronger tone must hold this many times the noise's energy to count as signal.
constexpr float kSignalOverNoise = 6.0f;
// Or the cell's energy this many times the noise floor.
constexpr float kSignalOverFloor = 10.0f;
constexpr float kSmoothing = 1.0f / 16.0f;
constexpr float kFloorRise = 1.0f + 1.0f / 2048.0f;  // doubles in some 1400 cells, 1.2 s
// And at least this share of the signal's usual energy (digital silence has no noise).
constexpr float kSignalOverLevel = 1e-4f;
// Cells whose decision is this sure set the tones' levels; the share of one such cell in its
// tone's level; the most a cell of 2400 Hz is weighed up by (the tone 18 dB weaker).
constexpr float kSureForLevel = 0.5f;
constexpr float kLevelShare = 1.0f / 256.0f;
constexpr float kHeaviest = 8.0f;
// A cell's energy beyond what its tones explain counts as a click's from this many times its
// usual amount on, and weighs this many times against the cell's sureness. Clicks of three
// times the waves' peak: at 2 and 5 a second, 33 of 33 blocks where 31 and 30 (quality_benchmark,
// 32 and 33 where 29 and 29 on held-out seeds), at 20 a second 10 where 18 (more bits in
// doubt than the repair takes on).
constexpr float kImpulsive = 10.0f;
constexpr float kImpulseWeight = 8.0f;
// The share of one run of 0s in the offset of the turn from a run's first cell to its second,
// and the least offset taken off (a 6 dB echo 1 ms late gives some 0.05 of a cycle).
constexpr double kTurnOffsetShare = 1.0 / 32.0;
constexpr double kSmallestTurnOffset = 0.03;
// A cell has lost the signal (CellReading::faded) where it holds no signal and its stronger
// tone less than kFaded of the signal's usual energy, or where the tone it is decided for
// holds less than what is left of that tone's level when kFadedMargin times the noise's
// amplitude is taken off it (white noise takes that much from a tone in under one cell in
// 50,000).
constexpr float kFaded = 0.1f;
constexpr float kFadedMargin = 3.0f;
// Cells without signal in a row that end a tone.
constexpr int kCellsWithoutSignal = 2;
// For this many cells (200 ms) after signal, a cell whose stronger tone holds this many times
// the noise's energy sets the clock (see ReadCell).
constexpr int kFadeCells = 240;
constexpr float kFadeOverNoise = 2.0f;
// Cells of signal in a row before the clock is set by them.
constexpr int kSignalRunForClock = 4;
// A cell after carrier tone with at least this share of the high tone's energy in the low
// tone may straddle a start bit (one that lies half in it holds as much of each).
constexpr float kStraddling = 1.0f / 3.0f;
// Cells whose decision is this sure take part in the clock's recovery.
constexpr float kSureForTiming = 0.3f;
constexpr float kSureForFrequency = 0.5f;

float Energy(std::complex<float> c) {
  return c.real() * c.real() + c.imag() * c.imag();
}

}  // namespace

namespace {

// How many samples are averaged into one before filtering: the most, by halving, that keeps
// the rate at 19.2 kHz or more. Averaging two samples of 44.1 kHz loses 0.1 dB of the 2400 Hz
// tone, and what it folds onto the tones (from 19 kHz and above) it weakens by 12 dB or more;
// the filters then run at half the rate.
unsigned GroupFor(double sampleRate) {
  unsigned group = 1;
  while (sampleRate / (2.0 * group) >= CellDemodulator::kBaud * CellDemodulator::kPointsPerCell)
    group *= 2;
  return group;
}

}  // namespace

CellDemodulator::CellDemodulator(double sampleRate, CellSink& sink)
    : sink_(sink),
      group_(GroupFor(sampleRate)),
      filter_(sampleRate / group_),
      nominalStep_(sampleRate / group_ / (kBaud * kPoints)),
      step_(nominalStep_) {
  filtered_.reserve(kFeedLimit + 64);
}

void CellDemodulator::Feed(const float* samples, size_t count) {
  while (count > 0) {
    const size_t piece = std::min(count, kFeedLimit);
    FeedPiece(samples, piece);
    samples += piece;
    count -= piece;
  }
}

void CellDemodulator::FeedPiece(const float* samples, size_t count) {
  // Keep the samples the next resampled point still needs (one before its position).
  const auto needed = static_cast<uint64_t>(std::max(0.0, position_ - 2.0));
  if (needed > base_) {
    const size_t drop = static_cast<size_t>(std::min<uint64_t>(needed - base_, filtered_.size()));
    filtered_.erase(filtered_.begin(), filtered_.begin() + static_cast<std::ptrdiff_t>(drop));
    base_ += drop;
  }
  const size_t old = filtered_.size();
  filtered_.resize(old + count / group_ + 1);
  float* out = filtered_.data() + old;
  size_t made = 0;
  if (group_ == 1) {
    std::copy(samples, samples + count, out);
    made = count;
  } else {
    const float share = 1.0f / static_cast<float>(group_);
    size_t i = 0;
    // Finish the group the last piece left open, then whole groups, then open the next.
    for (; i < count && grouped_ > 0; ++i) {
      sum_ += samples[i];
      if (++grouped_ == group_) {
        out[made++] = sum_ * share;
        grouped_ = 0;
        sum_ = 0.0f;
      }
    }
    if (group_ == 2) {
      // The usual case (44.1 and 48 kHz), in a loop the compiler turns into vector code.
      const size_t pairs = (count - i) / 2;
      const float* from = samples + i;
      float* to = out + made;
      for (size_t k = 0; k < pairs; ++k)
        to[k] = (from[2 * k] + from[2 * k + 1]) * share;
      made += pairs;
      i += 2 * pairs;
    }
    for (; i + group_ <= count; i += group_) {
      float sum = 0.0f;
      for (unsigned k = 0; k < group_; ++k)
        sum += samples[i + k];
      out[made++] = sum * share;
    }
    for (; i < count; ++i, ++grouped_)
      sum_ += samples[i];
  }
  filtered_.resize(old + made);
  filter_.Process(out, out, made);
  Resample();
}

void CellDemodulator::Finish() {
  // The last cells are read on samples of silence after the recording.
  static constexpr float kSilence[kFeedLimit] = {};
  const size_t tail = static_cast<size_t>(std::ceil(nominalStep_ * group_ * kPoints * 3)) + 8;
  for (size_t left = tail; left > 0;) {
    const size_t piece = std::min(left, kFeedLimit);
    FeedPiece(kSilence, piece);
    left -= piece;
  }
}

void CellDemodulator::Resample() {
  const double end = static_cast<double>(base_ + filtered_.size()) - 2.0;
  const float* x = filtered_.data();
  while (position_ < end) {
    // Catmull-Rom interpolation between the two samples around the position (which is never
    // below 1, so the cast rounds down).
    const auto whole = static_cast<uint64_t>(position_);
    const auto i = static_cast<size_t>(whole - base_);
    const float f = static_cast<float>(position_ - static_cast<double>(whole));
    const float p0 = x[i - 1], p1 = x[i], p2 = x[i + 1], p3 = x[i + 2];
    const float value =
        p1 + 0.5f * f *
                 (p2 - p0 +
                  f * (2.0f * p0 - 5.0f * p1 + 4.0f * p2 - p3 + f * (3.0f * (p1 - p2) + p3 - p0)));
    const int slot = static_cast<int>(points_ & (kRing - 1));
    ring_[slot] = value;
    ringPosition_[slot] = position_;
    ++points_;
    position_ += step_;
    // A cell is read once the window centred on its end has its points too.
    if (points_ >= cellStart_ + kPoints + kHalf)
      ReadCell();
  }
}

void CellDemodulator::Correlate(int64_t start, std::complex<float>& low,
                                std::complex<float>& high) const {
  std::complex<float> firstHalf;
  Correlate(start, low, firstHalf, high);
  high += firstHalf;
}

void CellDemodulator::Correlate(int64_t start, std::complex<float>& low,
                                std::complex<float>& highFirst,
                                std::complex<float>& highSecond) const {
  float lr = 0, li = 0, hr = 0, hi = 0;
  for (int n = 0; n < kHalf; ++n) {
    const float v = ring_[(start + n) & (kRing - 1)];
    lr += v * kPhasors.lowRe[n];
    li += v * kPhasors.lowIm[n];
    hr += v * kPhasors.highRe[n];
    hi += v * kPhasors.highIm[n];
  }
  highFirst = {hr, hi};
  hr = 0;
  hi = 0;
  for (int n = kHalf; n < kPoints; ++n) {
    const float v = ring_[(start + n) & (kRing - 1)];
    lr += v * kPhasors.lowRe[n];
    li += v * kPhasors.lowIm[n];
    hr += v * kPhasors.highRe[n];
    hi += v * kPhasors.highIm[n];
  }
  low = {lr, li};
  highSecond = {hr, hi};
}

float CellDemodulator::Balance(int64_t start) const {
  std::complex<float> low, high;
  Correlate(start, low, high);
  const float e1 = Energy(low), e2 = Energy(high);
  return (e1 - e2) / (e1 + e2 + 1e-30f);
}

float CellDemodulator::Decide(float e1, float e2, bool signal, float excess, float& plain) {
  const float apart = (e2 - e1) / (e1 + e2 + noise_ + 1e-30f);
  // Each tone's level as its sure cells show it, followed over a few hundred of them: a fade or
  // a click changes both tones alike, while the tape's loss of treble does not change.
  if (signal && std::fabs(apart) > kSureForLevel) {
    float& level = apart > 0.0f ? highLevel_ : lowLevel_;
    level += ((apart > 0.0f ? e2 : e1) - level) * kLevelShare;
  }
  if (lowLevel_ <= 0.0f || highLevel_ <= 0.0f) {
    plain = apart;
    return (e2 - e1) / (e1 + e2 + noise_ + excess + 1e-30f);
  }
  // Where the 2400 Hz tone arrives weaker than the 1200 Hz one (worn heads lose treble), the
  // plain comparison of energies reads a 1 as a 0 wherever the noise, or what a 0 before it
  // leaves behind, outweighs its weak tone; comparing each tone's energy as a share of its
  // own level instead reads 0s as 1s on the noise in them, weighed up as much. The 2400 Hz
  // energy is weighed up by the square root of the ratio of the levels, half-way between the
  // two on a scale of decibels.
  const float weight = std::clamp(std::sqrt(lowLevel_ / highLevel_), 1.0f, kHeaviest);
  weight_ = weight;
  const float high = weight * e2;
  plain = (high - e1) / (high + e1 + noise_ + 1e-30f);
  return (high - e1) / (high + e1 + noise_ + excess + 1e-30f);
}

bool CellDemodulator::LocateStartBit() {
  // The balance of a window sliding from the tone's last cell into the start bit rises from
  // -1 to +1 and is 0 where the window holds half of each: there the boundary lies half a
  // window on. Take the last rise through 0 up to the cell that showed the start bit, or,
  // where that cell straddles the boundary (a tone of an odd number of half cells leaves the
  // clock half a cell off, and a start bit followed by a 1 then never fills a cell), the first
  // rise in the half cell after it.
  float before = Balance(cellStart_ - kPoints);
  bool found = false;
  double crossing = 0.0;
  for (int o = -kPoints + 1; o <= kHalf && !(found && o > 0); ++o) {
    const float now = Balance(cellStart_ + o);
    if (before < 0.0f && now >= 0.0f) {
      crossing = o - 1 + static_cast<double>(before / (before - now));
      found = true;
    }
    before = now;
  }
  if (!found)
    return false;
  const auto shift = static_cast<int64_t>(std::lround(crossing + kHalf));
  if (shift == 0)
    return false;
  cellStart_ += shift;
  return true;
}

void CellDemodulator::ReadCell() {
  std::complex<float> low, highFirst, highSecond;
  Correlate(cellStart_, low, highFirst, highSecond);
  std::complex<float> high = highFirst + highSecond;
  float e1 = Energy(low), e2 = Energy(high);
  float stronger = std::max(e1, e2);
  if (noise_ < 0.0f)
    noise_ = std::min(e1, e2);

  // The noise floor: the least, lately, of the cells' energy smoothed over a few cells. It
  // rises slowly and falls at once, so the gaps of a tape set it.
  smoothed_ += (e1 + e2 - smoothed_) * kSmoothing;
  floor_ = std::min(floor_ < 0.0f ? smoothed_ : floor_ * kFloorRise, smoothed_);
  // A cell holds signal where its stronger tone stands well above the noise in the weaker
  // one, or, with the clock far off (both tones then take a share), where the cell's energy
  // stands well above the floor. A 2400 Hz tone that arrives weaker than the 1200 Hz one is
  // weighed up as in the cell's decision (see Decide).
  bool signal = (std::max(e1, weight_ * e2) > kSignalOverNoise * noise_ ||
                 e1 + e2 > kSignalOverFloor * floor_) &&
                stronger > kSignalOverLevel * level_;
  bool one = e2 > e1;
  // After carrier tone, a cell that holds much of the low tone holds a start bit, or straddles
  // one: the clock's phase is not known in a tone (every cell of it looks alike). Put the
  // clock on the start bit's leading edge. A cell that straddles it is no start bit where no
  // boundary is found, and the tone goes on.
  if (signal && toneRun_ >= kToneCells && (!one || e1 > kStraddling * e2)) {
    const bool located = LocateStartBit();
    if (!one || located)
      toneRun_ = 0;
    if (located) {
      if (points_ < cellStart_ + kPoints + kHalf)
        return;  // read when its points are there
      Correlate(cellStart_, low, highFirst, highSecond);
      high = highFirst + highSecond;
      e1 = Energy(low);
      e2 = Energy(high);
      stronger = std::max(e1, e2);
      one = e2 > e1;
    }
  }

  // The noise in one tone's correlation is what the weaker tone holds; it follows slowly.
  noise_ += (std::min(e1, e2) - noise_) * (1.0f / 128.0f);
  if (signal)
    level_ += (stronger - level_) * (1.0f / 64.0f);

  CellReading cell;
  // A sample after averaging stands for the middle of its group.
  cell.startSample = ringPosition_[cellStart_ & (kRing - 1)] * group_ + 0.5 * (group_ - 1);
  cell.low = low;
  cell.high = high;
  // What the two tones do not explain of the cell's energy: the noise, and a click's broadband
  // energy, in the correlations' units (a tone holds kHalf times its energy over the cell in
  // its own correlation). Beyond kImpulsive times its usual amount it makes the cell's bit
  // less sure, so that the checksums' repair takes a bit spoilt by a click among those in
  // doubt; the clock goes by the sureness the tones alone give.
  float total = 0.0f;
  for (int n = 0; n < kPoints; ++n) {
    const float v = ring_[(cellStart_ + n) & (kRing - 1)];
    total += v * v;
  }
  const float rest = std::max(0.0f, kHalf * total - (e1 + e2));
  float excess = 0.0f;
  if (rest_ < 0.0f) {
    rest_ = rest;
  } else {
    excess = std::max(0.0f, rest - kImpulsive * rest_);
    if (signal)
      rest_ += (std::min(rest, kImpulsive * rest_) - rest_) * (1.0f / 128.0f);
  }
  float plain = 0.0f;
  cell.soft = Decide(e1, e2, signal, kImpulseWeight * excess, plain);
  one = cell.soft > 0.0f;
  cell.signal = signal;
  cell.faded = !signal && std::max(e1, e2) < kFaded * level_;
  if (!cell.faded && excess <= 0.0f && lowLevel_ > 0.0f && highLevel_ > 0.0f) {
    // Or the tone read holds far less than its own level, as in a cell that the signal leaves
    // part of the way through. (A click also takes from the tone, but it adds energy of its
    // own, which already weighs against the bit.)
    const float own = one ? e2 : e1;
    const float margin = std::sqrt(one ? highLevel_ : lowLevel_) - kFadedMargin * std::sqrt(noise_);
    cell.faded = margin > 0.0f && own < margin * margin;
  }
  sink_.Cell(cell);

  // The clock's recovery.
  const double quick =
      std::clamp(std::sqrt(std::sqrt(level_ / (noise_ + 1e-30) / kQuietCells)), 1.0, kQuickest);
  const float sure = std::fabs(plain);
  signalRun_ = signal ? signalRun_ + 1 : 0;
  sinceSignal_ = signalRun_ >= kSignalRunForClock ? 0 : sinceSignal_ + 1;
  // Stray waves in a gap are no signal to set the clock by: it takes a few cells in a row. But
  // where the tone has sunk towards the noise for a while (a fade), the tape goes on moving
  // under the clock, wow and flutter with it: there a cell whose stronger tone stands above
  // the noise at all still sets the clock, for as long as a fade lasts.
  if (signalRun_ >= kSignalRunForClock ||
      (sinceSignal_ < kFadeCells && std::max(e1, weight_ * e2) > kFadeOverNoise * noise_)) {
    if (one != lastOne_) {
      if (sure > kSureForTiming && std::fabs(lastSoft_) > kSureForTiming) {
        // The window centred on the boundary leans towards the cell before by as much as the
        // boundary lies later than the clock has it.
        const float balance = Balance(cellStart_ - kHalf);
        const double error = lastOne_ ? -balance : balance;
        position_ += quick * kPhaseGain * error * kHalf * step_;
        step_ *= 1.0 + kRateGain * error;
      }
    } else if (one) {
      // A tone at 1 + d times its frequency turns by d of a cycle from one of its cycles to the
      // next. 2400 Hz turns by 2d from the cell before, which is precise but ambiguous from
      // 25% on; its turn from the first half of this cell to the second gives d unambiguously
      // but from half the points, and so with more noise. The average of the latter, over
      // the last few dozen cells of tone, settles the ambiguity of the former; where it says
      // the clock is far off it corrects the clock itself (a clock far off reads no cell
      // surely, so the precise measure would never be taken).
      const double coarse = std::arg(highSecond * std::conj(highFirst)) / (2.0 * kPi);
      coarse_ += (coarse - coarse_) * kCoarseShare;
      double error = coarse_;
      if (std::fabs(coarse_) < kFarOff) {
        if (sure <= kSureForFrequency || std::fabs(lastSoft_) <= kSureForFrequency)
          error = 0.0;
        else
          error = std::arg(high * std::conj(lastHigh_)) / (4.0 * kPi);
        for (const double other : {error - 0.5, error + 0.5}) {
          if (std::fabs(other - coarse_) < std::fabs(error - coarse_))
            error = other;
        }
      }
      step_ /= 1.0 + quick * kFrequencyGain * std::clamp(error, -kLargestStep, kLargestStep);
    } else if (sure > kSureForFrequency && std::fabs(lastSoft_) > kSureForFrequency) {
      // 1200 Hz turns by d from the cell before to this one, unambiguous up to half a cycle
      // either way.
      double error = std::arg(low * std::conj(lastLow_)) / (2.0 * kPi);
      // Where the cell before was the first of its run, what came before that (a 1) leaves
      // something of itself in it but not in this one, wherever the recording smears a cell
      // into the next (an echo, a filter's ringing), and the turn between the two is off by
      // as much each time: a run of 0s then slows the clock until it slips. That offset is
      // learnt from the runs' next turn, as far as it differs from the first (the speed
      // changes little over a cell), and taken off where it is larger than the noise leaves
      // in it.
      if (sameRun_ == 1) {
        firstTurn_ = error;
        if (std::fabs(firstTurnOffset_) > kSmallestTurnOffset)
          error -= firstTurnOffset_;
      } else {
        if (sameRun_ == 2 && firstTurn_ != 0.0)
          firstTurnOffset_ += (firstTurn_ - error - firstTurnOffset_) * kTurnOffsetShare;
        firstTurn_ = 0.0;
      }
      step_ /= 1.0 + quick * kFrequencyGain * std::clamp(error, -kLargestStep, kLargestStep);
    }
    step_ = std::clamp(step_, nominalStep_ / kFastest, nominalStep_ / kSlowest);
  }
  // A lone cell that the noise took below the signal's threshold does not end a tone: in noise
  // as strong as the tone, one carrier cell in thirty does, and the start bit after the tone
  // would then not be located.
  quiet_ = signal ? 0 : quiet_ + 1;
  if (signal)
    toneRun_ = one ? toneRun_ + 1 : 0;
  else if (quiet_ >= kCellsWithoutSignal)
    toneRun_ = 0;
  lastLow_ = low;
  lastHigh_ = high;
  sameRun_ = one == lastOne_ ? sameRun_ + 1 : 1;
  lastOne_ = one;
  lastSoft_ = plain;
  cellStart_ += kPoints;
}

}  // namespace Demod_ns
