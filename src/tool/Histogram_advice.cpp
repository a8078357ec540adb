#include "tool/Histogram_advice.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ostream>

#include "blocks/Block_driver.h"
#include "blocks/Blockformstate.h"
#include "driver/Run_program.h"
#include "tool/Tool_support.h"
#include "waves/Wavesinputstate.h"

namespace Tool_ns {
namespace Histogram_ns {

namespace {

constexpr int32_t kLargestBaudRate = 32767;  // as varnstow's -s takes it
// A long window this close to centred needs no -s: the window is nearly 30% wide either way.
constexpr double kCentredEnough = 0.01;

// Stray waves, neither long nor short, beyond this share of all waves mean noise: a clean
// recording has them only where the tone starts and stops.
constexpr double kNoisyShare = 0.1;

// Counts the blocks a pass reads.
class BlockCounter final : public BlockProcessing_ns::BlockSink {
 public:
  void Block(const BlockProcessing_ns::ByteBufferType&,
             const BlockProcessing_ns::BlockHeaderRecord&) override {
    ++blocks;
  }
  size_t blocks = 0;
};

// The blocks varnstow reads with the pass's settings and, when baud is not 0, -s 1 baud.
size_t BlocksRead(const RecordingSettings& recording, const PassSettings& pass, int16_t baud = 0) {
  BlockCounter counter;
  DecodingPass decoding(recording, pass, counter);
  if (baud != 0) {
    // As varnstow applies -s 1 BAUD, before the first block.
    decoding.Settings().Calibrations[1] = MainProgram_ns::BaudRateAndFlag{false, baud};
    WavesInput_ns::ApplyWavelengthCalibration(decoding.Context().Waves,
                                              decoding.Context().Form.FileNumber);
  }
  decoding.DecodeAll();
  return counter.blocks;
}

const char* PhaseName(const PassSettings& pass) {
  return pass.normalPhase ? "normal phase" : "shifted phase";
}

void WaveCounts(std::ostream& out, const Histogram& histogram) {
  out << histogram.waves << " (long " << histogram.longWaves << ", short " << histogram.shortWaves
      << ", other " << histogram.otherWaves;
}

void LongWavesLine(std::ostream& out, const Histogram& histogram, const LongWaves& found) {
  const double baud = double(histogram.sampleRate) / found.centringT;
  out << "long waves: " << found.count << ", mean " << Fixed(found.mean, 2)
      << " samples; T to centre the long window on them: " << Fixed(found.centringT, 2)
      << " samples, " << Fixed(baud, 1) << " baud\n";
}

}  // namespace

// What the measured pass found, in words.
void Summarise(std::ostream& out, const std::string& name, const PassSettings& pass,
               const Histogram& histogram, const LongWaves& found) {
  out << Describe(name, false) << ": " << Describe(pass) << ", " << histogram.sampleRate << " Hz\n"
      << "waves measured: ";
  WaveCounts(out, histogram);
  out << "; " << histogram.overflow << " longer than " << histogram.LongestDrawn()
      << " samples, not drawn)\n"
      << "T now: " << Fixed(histogram.t, 2) << " samples (the sample rate / 1200)\n";
  if (found.count != 0)
    LongWavesLine(out, histogram, found);
}

void Advise(std::ostream& out, const RecordingSettings& recording, const PassSettings& pass,
            const Histogram& histogram, const LongWaves& found, double centreFactor) {
  const PassSettings other = PassInPhase(recording.kind, !pass.normalPhase);
  const Histogram otherHistogram = MeasurePass(recording, other);
  out << "the " << PhaseName(other) << ": waves ";
  WaveCounts(out, otherHistogram);
  out << ")\n";
  const size_t blocks = BlocksRead(recording, pass);
  const size_t otherBlocks = BlocksRead(recording, other);
  out << "blocks varnstow reads: " << blocks << " in the " << PhaseName(pass) << ", " << otherBlocks
      << " in the " << PhaseName(other) << '\n';

  const bool switchPhase = otherBlocks > blocks;
  const PassSettings& best = switchPhase ? other : pass;
  const Histogram& bestHistogram = switchPhase ? otherHistogram : histogram;
  const LongWaves bestFound = switchPhase ? FindLongWaves(otherHistogram, centreFactor) : found;
  const size_t bestBlocks = std::max(blocks, otherBlocks);
  if (switchPhase && bestFound.count != 0) {
    out << "in the " << PhaseName(best) << ", ";
    LongWavesLine(out, bestHistogram, bestFound);
  }

  std::string calibration;
  if (bestFound.count == 0) {
    out << "no long waves found: no -s to suggest\n";
  } else {
    const long rounded = std::lround(double(bestHistogram.sampleRate) / bestFound.centringT);
    if (rounded < 1 || rounded > kLargestBaudRate) {
      out << "varnstow's -s cannot give " << rounded << " baud\n";
    } else if (std::fabs(bestFound.centringT - bestHistogram.t) <=
               bestHistogram.t * kCentredEnough) {
      out << "The long window is centred already (within 1%): varnstow needs no -s\n";
    } else {
      const size_t calibratedBlocks = BlocksRead(recording, best, static_cast<int16_t>(rounded));
      const std::string option = "-s 1 " + std::to_string(rounded);
      if (calibratedBlocks > bestBlocks)
        calibration = option;
      else
        out << option << " would centre the long window but reads "
            << (calibratedBlocks == bestBlocks
                    ? "no more blocks (" + std::to_string(bestBlocks)
                    : "fewer blocks (" + std::to_string(calibratedBlocks) + ", against " +
                          std::to_string(bestBlocks))
            << "): varnstow needs no -s\n";
    }
  }

  const std::string phaseOption = best.normalPhase ? "" : "-p ";
  if (switchPhase && best.normalPhase)
    out << "The normal phase reads more blocks: run varnstow without -p"
        << (calibration.empty() ? "" : ", with " + calibration) << '\n';
  else if (switchPhase)
    out << "The shifted phase reads more blocks: run varnstow with -p"
        << (calibration.empty() ? "" : " " + calibration) << '\n';
  else if (!calibration.empty())
    out << "To centre the long window, run varnstow with " << phaseOption << calibration << '\n';

  if (bestHistogram.waves != 0 &&
      double(bestHistogram.otherWaves) > kNoisyShare * double(bestHistogram.waves))
    out << "warning: " << bestHistogram.otherWaves << " of the " << bestHistogram.waves
        << " waves ("
        << Fixed(100.0 * double(bestHistogram.otherWaves) / double(bestHistogram.waves), 0)
        << "%) are neither long nor short: the recording is noisy; record it again with the "
           "tape's signal well above the noise, or try varnstow-tool recover\n";
  else if (bestBlocks == 0 && calibration.empty() && bestHistogram.waves != 0)
    out << "varnstow reads no block in either phase"
        << (recording.kind == RecordingKind::kCsw
                ? ""
                : "; varnstow-tool recover also tries measuring from peak to peak (-l p)")
        << '\n';
}

}  // namespace Histogram_ns
}  // namespace Tool_ns
