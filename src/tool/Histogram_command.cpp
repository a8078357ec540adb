// varnstow-tool histogram: the lengths of a recording's waves, measured as varnstow measures
// them, drawn as an SVG picture with the windows in which varnstow takes a wave for long or
// short, and the baud rate that would centre the long window on the long waves.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "blocks/Bits_and_bytes.h"
#include "blocks/Block_driver.h"
#include "blocks/Blockformstate.h"
#include "driver/RunProgram.h"
#include "sound/Sound_device_base.h"
#include "tool/Commands.h"
#include "tool/Output_file.h"
#include "tool/Prepared_wav.h"
#include "tool/Recording.h"
#include "waves/Wavesinputstate.h"

namespace Tool_ns {

namespace {

using BlockProcessing_ns::WaveClass;
using WavesInput_ns::DelaysElementType;

const char kHistogramHelp[] =
    "Usage: varnstow-tool histogram RECORDING -o PICTURE.svg [-p] [--channel C] [-f RATE]\n"
    "       [-t u|s] [--quiet]\n"
    "\n"
    "Measures every wave of a recording (.csw, .wav or .raw) exactly as varnstow does, by the\n"
    "sign method (a CSW file by its pulses), and draws how many waves there are of each length\n"
    "as an SVG picture. A WAV file in a form varnstow does not read (stereo, 16 or more bits,\n"
    "floating point) is measured as varnstow-tool prepare makes it. T is the length of one long\n"
    "wave, the sample rate / 1200. There is one bar for every whole length from 1 sample to\n"
    "3 T, rounded down (at least 12 bars; when that would be more than 600 bars, each bar\n"
    "covers the same number of lengths, as few as keep the bars to 600). Longer waves\n"
    "(silences, drop-outs) are counted but not drawn. The picture marks the lengths varnstow\n"
    "reads as long and as short waves, T, and the mean of the long waves.\n"
    "\n"
    "A summary goes to standard output (to standard error when the picture does): the waves\n"
    "read as long, short and other in this phase and in the other, the blocks varnstow reads\n"
    "in each phase, the mean long wave and the baud rate that centres varnstow's long window\n"
    "on the long waves (found on tapes up to about 40% fast or 25% slow). It suggests -p when\n"
    "the other phase reads more blocks, -s 1 BAUD only when that reads more blocks, and warns\n"
    "when many waves are neither long nor short (noise).\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE      the SVG picture to write (required); - writes standard output\n"
    "  -p, --shifted          measure in the shifted phase, as varnstow -p does\n"
    "      --channel C        of a WAV file prepared first: left, right, mix or a channel's\n"
    "                         number from 1 (default: the channel with the larger signal)\n"
    "  -f, --frequency RATE   a RAW recording's sample rate (default 44100), as varnstow -f\n"
    "  -t, --type u|s         a RAW recording's samples unsigned or signed (default), as -t\n"
    "      --quiet            no summary\n"
    "  -h, --help             show this text\n";

// " µs" in UTF-8, the picture's encoding, whatever the compiler's own.
constexpr char kMicroseconds[] = " \xC2\xB5s";

constexpr uint64_t kFewestBars = 12;
constexpr uint64_t kMostBars = 600;
// A reference length so long that the long window found for it by whole lengths gives the
// window's centre, relative to T, to a millionth.
constexpr double kProbeLength = 1e6;
// Rounds of recentring the long window on the waves it holds.
constexpr int kRecentringRounds = 8;
constexpr int32_t kLargestBaudRate = 32767;  // as varnstow's -s takes it
// A long window this close to centred needs no -s: the window is nearly 30% wide either way.
constexpr double kCentredEnough = 0.01;

// A range of whole lengths in samples; empty while highest < lowest.
struct Window {
  uint64_t lowest = 1;
  uint64_t highest = 0;
  bool Empty() const { return highest < lowest; }
  bool Holds(double length) const { return length >= double(lowest) && length <= double(highest); }
  double Centre() const { return (double(lowest) + double(highest)) / 2; }
  bool operator==(const Window& other) const {
    return lowest == other.lowest && highest == other.highest;
  }
};

// The class varnstow gives a wave of this whole length. The decoding classifies a wave by its
// whole length alone; the wave is split as evenly as it can be, as a clean wave is, so that
// the windows still describe clean waves should the halves ever count.
WaveClass ClassOfLength(uint64_t length, double t) {
  DelaysElementType wave;
  wave.FirstHalf = static_cast<uint32_t>(length - length / 2);
  wave.SecondHalf = static_cast<uint32_t>(length / 2);
  return BlockProcessing_ns::ClassifyWave(wave, t);
}

// The lengths that the decoding puts in one class for reference length t, found around the
// class's nominal length (T for a long wave, T/2 for a short one). A class is one range of
// lengths, so both ends are found by bisection.
Window WindowOf(WaveClass waveClass, double t, double nominal) {
  Window window;
  if (!(nominal >= 1) || nominal > 4e8)
    return window;
  uint64_t inside = static_cast<uint64_t>(std::floor(nominal));
  if (ClassOfLength(inside, t) != waveClass && ClassOfLength(++inside, t) != waveClass)
    return window;
  uint64_t low = 1, high = inside;  // the lowest length of the class is in [low, high]
  while (low < high) {
    const uint64_t middle = low + (high - low) / 2;
    if (ClassOfLength(middle, t) == waveClass)
      high = middle;
    else
      low = middle + 1;
  }
  window.lowest = low;
  low = inside;
  high = 4 * inside + 4;  // the highest is in [low, high]
  while (low < high) {
    const uint64_t middle = high - (high - low) / 2;
    if (ClassOfLength(middle, t) == waveClass)
      low = middle;
    else
      high = middle - 1;
  }
  window.highest = low;
  return window;
}

// The centre of the long window relative to T: the window scales with T, so the reference
// length that centres it on a length m is m over this.
double LongWindowCentreFactor() {
  return WindowOf(WaveClass::kLong, kProbeLength, kProbeLength).Centre() / kProbeLength;
}

// The waves of one pass: counted in bars of whole lengths, allocated once, and by class.
struct Histogram {
  uint32_t sampleRate = 0;
  double t = 0;  // the reference length of the pass
  uint64_t lengthsPerBar = 1;
  std::vector<uint64_t> bars;  // bars[i]: waves of i * lengthsPerBar + 1 to (i + 1) * lengthsPerBar
  std::vector<uint64_t> lengthTotals;  // the lengths of the waves in each bar, added up
  uint64_t overflow = 0;               // waves longer than the last bar
  uint64_t waves = 0, longWaves = 0, shortWaves = 0, otherWaves = 0;

  uint64_t LongestDrawn() const { return bars.size() * lengthsPerBar; }
  uint64_t FirstLength(size_t bar) const { return bar * lengthsPerBar + 1; }
  uint64_t LastLength(size_t bar) const { return (bar + 1) * lengthsPerBar; }
  double MiddleLength(size_t bar) const {
    return (double(FirstLength(bar)) + double(LastLength(bar))) / 2;
  }
};

// Walks the whole recording through the waves window, as the decoding does without decoding.
Histogram Measure(DecodingPass& decoding) {
  using namespace WavesInput_ns;
  SoundInput_ns::SoundBase& sound = decoding.Sound();
  WavesInputState& waves = decoding.Context().Waves;
  Histogram histogram;
  histogram.sampleRate = sound.SampleRate;
  histogram.t = ReferenceWaveLength(waves);
  const uint64_t lengths = std::max(kFewestBars, static_cast<uint64_t>(3 * histogram.t));
  histogram.lengthsPerBar = (lengths + kMostBars - 1) / kMostBars;
  histogram.bars.assign((lengths + histogram.lengthsPerBar - 1) / histogram.lengthsPerBar, 0);
  histogram.lengthTotals.assign(histogram.bars.size(), 0);

  while (WavesLeft(waves) > 0) {
    const DelaysElementType& wave = WaveAt(waves, 0);
    const uint64_t length = wave.Length();
    if (length != 0) {  // both halves 0: no wave
      ++histogram.waves;
      if (length > histogram.LongestDrawn()) {
        ++histogram.overflow;
      } else {
        ++histogram.bars[(length - 1) / histogram.lengthsPerBar];
        histogram.lengthTotals[(length - 1) / histogram.lengthsPerBar] += length;
      }
      const WaveClass waveClass = BlockProcessing_ns::ClassifyWave(wave, histogram.t);
      ++(waveClass == WaveClass::kLong    ? histogram.longWaves
         : waveClass == WaveClass::kShort ? histogram.shortWaves
                                          : histogram.otherWaves);
    }
    // Once the sound has run out only the waves already in the window are left.
    if (sound.AtEnd())
      DropCurrentWave(waves);
    else
      AdvanceWaves(waves, 1);
  }
  return histogram;
}

// Where the long waves are: their mean length, and the reference length that centres the long
// window on it. The search starts from the lengths between T/sqrt(2) and T*sqrt(2), halfway on
// a ratio scale between short and long waves: that holds the long waves, and none of the short
// ones, of a tape up to about 40% fast or 25% slow (where the two meet, waves spread over
// neighbouring lengths). It goes on with the long window recentred on the mean of the waves it
// holds, until the window settles.
struct LongWaves {
  uint64_t count = 0;
  double mean = 0;
  double centringT = 0;  // 0 without long waves
};

LongWaves FindLongWaves(const Histogram& histogram, double centreFactor) {
  LongWaves found;
  Window window{static_cast<uint64_t>(std::ceil(histogram.t / std::sqrt(2.0))),
                static_cast<uint64_t>(std::floor(histogram.t * std::sqrt(2.0)))};
  for (int round = 0; round < kRecentringRounds && !window.Empty(); ++round) {
    uint64_t count = 0;
    double sum = 0;
    for (size_t bar = 0; bar < histogram.bars.size(); ++bar) {
      if (window.Holds(histogram.MiddleLength(bar))) {
        count += histogram.bars[bar];
        sum += double(histogram.lengthTotals[bar]);
      }
    }
    if (count == 0)
      break;
    found = {count, sum / double(count), sum / double(count) / centreFactor};
    const Window next = WindowOf(WaveClass::kLong, found.centringT, found.centringT);
    if (next == window)
      break;
    window = next;
  }
  return found;
}

// The length of the well-formed UTF-8 sequence at text[at] (0 when there is none): no overlong
// forms, no surrogates, nothing beyond U+10FFFF, as XML requires.
size_t Utf8Sequence(const std::string& text, size_t at) {
  auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
  const unsigned lead = byte(at);
  const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                       : 0;
  // The second byte's range narrows after E0, ED, F0 and F4.
  const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (length == 0 || byte(at + 1) < low || byte(at + 1) > high)
    return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80)
      return 0;
  }
  return length;
}

// Text for XML: the markup characters as entities, and what XML cannot hold (control
// characters, bytes that are not UTF-8) as '?'.
std::string Xml(const std::string& text) {
  std::string escaped;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char* entity = c == '&'    ? "&amp;"
                         : c == '<'  ? "&lt;"
                         : c == '>'  ? "&gt;"
                         : c == '"'  ? "&quot;"
                         : c == '\'' ? "&apos;"
                                     : nullptr;
    if (entity != nullptr) {
      escaped += entity;
    } else if (static_cast<unsigned char>(c) >= 0x80) {
      const size_t length = Utf8Sequence(text, i);
      escaped += length == 0 ? "?" : text.substr(i, length);
      i += length == 0 ? 0 : length - 1;
    } else {
      escaped += static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' ? '?' : c;
    }
  }
  return escaped;
}

std::string Fixed(double value, int decimals) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

// A step of 1, 2 or 5 times a power of ten that cuts range into at most most parts.
uint64_t NiceStep(double range, double most) {
  const double least = range / most;
  if (least <= 1)
    return 1;
  const double power = std::pow(10.0, std::floor(std::log10(least)));
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (factor * power >= least)
      return static_cast<uint64_t>(factor * power);
  }
  return static_cast<uint64_t>(10 * power);
}

constexpr double kWidth = 960, kHeight = 560;
constexpr double kLeft = 80, kRight = 930, kTop = 70, kBottom = 460;
constexpr double kLegendLeft = kRight - 300;

// The picture: bars of waves over lengths 0.5 to the longest drawn + 0.5.
class Picture {
 public:
  Picture(std::ostream& out, const Histogram& histogram) : out_(out), histogram_(histogram) {
    const uint64_t most = *std::max_element(histogram.bars.begin(), histogram.bars.end());
    countStep_ = NiceStep(double(most), 6);
    countTop_ = std::max<uint64_t>(1, (most + countStep_ - 1) / countStep_ * countStep_);
  }

  double X(double length) const {
    const double x = kLeft + (length - 0.5) / double(histogram_.LongestDrawn()) * (kRight - kLeft);
    return std::clamp(x, kLeft, kRight);
  }
  double Y(double count) const { return kBottom - count / double(countTop_) * (kBottom - kTop); }

  void Text(double x, double y, const std::string& text, const std::string& extra = "") {
    out_ << "<text x=\"" << Fixed(x, 1) << "\" y=\"" << Fixed(y, 1) << "\"" << extra << ">"
         << Xml(text) << "</text>\n";
  }
  void Line(double x1, double y1, double x2, double y2, const std::string& extra) {
    out_ << "<line x1=\"" << Fixed(x1, 1) << "\" y1=\"" << Fixed(y1, 1) << "\" x2=\""
         << Fixed(x2, 1) << "\" y2=\"" << Fixed(y2, 1) << "\"" << extra << "/>\n";
  }
  void Rect(double x, double y, double width, double height, const std::string& extra,
            const std::string& title = "") {
    out_ << "<rect x=\"" << Fixed(x, 2) << "\" y=\"" << Fixed(y, 2) << "\" width=\""
         << Fixed(width, 2) << "\" height=\"" << Fixed(height, 2) << "\"" << extra;
    if (title.empty())
      out_ << "/>\n";
    else
      out_ << "><title>" << Xml(title) << "</title></rect>\n";
  }

  void Axes() {
    const double microseconds = histogram_.sampleRate == 0 ? 0 : 1e6 / histogram_.sampleRate;
    for (uint64_t count = 0; count <= countTop_; count += countStep_) {
      Line(kLeft, Y(double(count)), kRight, Y(double(count)), " stroke=\"#e4e4e4\"");
      Text(kLeft - 8, Y(double(count)) + 4, std::to_string(count), " text-anchor=\"end\"");
    }
    const uint64_t step = NiceStep(double(histogram_.LongestDrawn()), 12);
    for (uint64_t length = step; length <= histogram_.LongestDrawn(); length += step) {
      Line(X(double(length)), kBottom, X(double(length)), kBottom + 5, " stroke=\"#000\"");
      Text(X(double(length)), kBottom + 18, std::to_string(length), " text-anchor=\"middle\"");
      Text(X(double(length)), kBottom + 32, Fixed(double(length) * microseconds, 0) + kMicroseconds,
           " text-anchor=\"middle\" font-size=\"10\" fill=\"#666\"");
    }
    Line(kLeft, kBottom, kRight, kBottom, " stroke=\"#000\"");
    Line(kLeft, kTop, kLeft, kBottom, " stroke=\"#000\"");
    Text((kLeft + kRight) / 2, kBottom + 54,
         "wave length in samples (grey: in microseconds, 1 sample = " + Fixed(microseconds, 2) +
             kMicroseconds + " at " + std::to_string(histogram_.sampleRate) + " Hz)",
         " text-anchor=\"middle\"");
    Text(22, (kTop + kBottom) / 2, "waves",
         " text-anchor=\"middle\" transform=\"rotate(-90 22 " + Fixed((kTop + kBottom) / 2, 1) +
             ")\"");
  }

  // A window of lengths, shaded, with the number of waves read in its class above the plot.
  void Band(const Window& window, const char* name, const char* colour, uint64_t waves) {
    if (window.Empty() || double(window.lowest) > double(histogram_.LongestDrawn()))
      return;
    const double left = X(double(window.lowest) - 0.5), right = X(double(window.highest) + 0.5);
    Rect(left, kTop, right - left, kBottom - kTop,
         std::string(" class=\"band ") + name + "-window\" fill=\"" + colour + "\" data-first=\"" +
             std::to_string(window.lowest) + "\" data-last=\"" + std::to_string(window.highest) +
             "\"");
    Text((left + right) / 2, kTop - 6, std::string(name) + ": " + std::to_string(waves),
         " text-anchor=\"middle\" font-size=\"11\"");
  }

  void Bars() {
    for (size_t bar = 0; bar < histogram_.bars.size(); ++bar) {
      const uint64_t count = histogram_.bars[bar];
      const uint64_t first = histogram_.FirstLength(bar), last = histogram_.LastLength(bar);
      const std::string lengths = first == last
                                      ? std::to_string(first)
                                      : std::to_string(first) + "-" + std::to_string(last);
      const double left = X(double(first) - 0.5), right = X(double(last) + 0.5);
      Rect(left, Y(double(count)), right - left, kBottom - Y(double(count)),
           " class=\"bar\" fill=\"#3a6ea5\" data-length=\"" + lengths + "\" data-count=\"" +
               std::to_string(count) + "\"",
           lengths + " samples: " + std::to_string(count) + " waves");
    }
  }

  void Marker(double length, const char* name, const std::string& style) {
    Line(X(length), kTop, X(length), kBottom,
         std::string(" class=\"") + name + "\" data-length=\"" + Fixed(length, 3) + "\"" + style);
  }

  // The legend, in the top right corner: a row is a swatch of colour (or a short line in
  // the given style, when line is set) and its text.
  void LegendBox(int rows) {
    Rect(kLegendLeft, kTop + 4, kRight - 4 - kLegendLeft, 10 + 18 * rows,
         " fill=\"#fff\" fill-opacity=\"0.85\" stroke=\"#999\"");
  }
  void LegendEntry(int row, bool line, const std::string& style, const std::string& text) {
    const double y = kTop + 22 + 18 * row;
    if (line)
      Line(kLegendLeft + 8, y - 4, kLegendLeft + 22, y - 4, style);
    else
      Rect(kLegendLeft + 8, y - 10, 12, 12, style);
    Text(kLegendLeft + 30, y, text);
  }

 private:
  std::ostream& out_;
  const Histogram& histogram_;
  uint64_t countStep_ = 1;
  uint64_t countTop_ = 1;
};

void DrawPicture(std::ostream& out, const std::string& name, const PassSettings& pass,
                 const Histogram& histogram, const Window& longWindow, const Window& shortWindow,
                 const LongWaves& found) {
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << kHeight
      << "\" viewBox=\"0 0 " << kWidth << ' ' << kHeight
      << "\" font-family=\"sans-serif\" font-size=\"12\" data-waves=\"" << histogram.waves
      << "\" data-overflow=\"" << histogram.overflow << "\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
  Picture picture(out, histogram);
  picture.Text(kWidth / 2, 28, name + ": wave lengths (" + Describe(pass) + ")",
               " text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\" class=\"title\"");
  std::string subtitle = std::to_string(histogram.waves) + " waves at " +
                         std::to_string(histogram.sampleRate) +
                         " Hz; T = " + Fixed(histogram.t, 2) + " samples";
  if (histogram.overflow != 0)
    subtitle += "; " + std::to_string(histogram.overflow) + " longer than " +
                std::to_string(histogram.LongestDrawn()) + " samples, not drawn";
  picture.Text(kWidth / 2, 48, subtitle, " text-anchor=\"middle\"");
  picture.Band(shortWindow, "short", "#fde2bd", histogram.shortWaves);
  picture.Band(longWindow, "long", "#cdeacb", histogram.longWaves);
  picture.Axes();
  picture.Bars();
  // T over the mean, so that both show where they meet.
  if (found.count != 0)
    picture.Marker(found.mean, "measured", " stroke=\"#c0392b\" stroke-width=\"2\"");
  picture.Marker(histogram.t, "reference", " stroke=\"#333\" stroke-dasharray=\"6 4\"");
  if (histogram.waves == 0)
    picture.Text((kLeft + kRight) / 2, (kTop + kBottom) / 2, "No waves were measured",
                 " text-anchor=\"middle\" font-size=\"18\" class=\"note\"");

  auto range = [](const Window& window) {
    return window.Empty() ? std::string("none")
                          : std::to_string(window.lowest) + " to " +
                                std::to_string(window.highest) + " samples";
  };
  picture.LegendBox(5);
  picture.LegendEntry(0, false, " fill=\"#3a6ea5\"", "waves of each length");
  picture.LegendEntry(1, false, " fill=\"#cdeacb\"", "read as long waves: " + range(longWindow));
  picture.LegendEntry(2, false, " fill=\"#fde2bd\"", "read as short waves: " + range(shortWindow));
  picture.LegendEntry(3, true, " stroke=\"#333\" stroke-dasharray=\"4 2\"",
                      "T, a long wave at 1200 baud: " + Fixed(histogram.t, 2));
  picture.LegendEntry(4, true, " stroke=\"#c0392b\" stroke-width=\"2\"",
                      found.count == 0 ? std::string("no long waves found")
                                       : "mean of the long waves: " + Fixed(found.mean, 2));
  out << "</svg>\n";
}

// A pass in one phase: the sign method for samples, a CSW file's pulses.
PassSettings PassInPhase(RecordingKind kind, bool normalPhase) {
  if (kind == RecordingKind::kCsw) {
    for (const PassSettings& offered : PassesFor(RecordingKind::kCsw))
      if (offered.normalPhase == normalPhase)
        return offered;
  }
  PassSettings pass;
  pass.normalPhase = normalPhase;
  return pass;
}

Histogram MeasurePass(const RecordingSettings& recording, const PassSettings& pass) {
  BlockProcessing_ns::NoBlockSink noBlocks;
  DecodingPass decoding(recording, pass, noBlocks);
  return Measure(decoding);
}

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

// Stray waves, neither long nor short, beyond this share of all waves mean noise: a clean
// recording has them only where the tone starts and stops.
constexpr double kNoisyShare = 0.1;

// The way forward: which phase reads more blocks (varnstow's -p), whether a -s would read
// more, and a warning when the recording is noisy. Each suggestion is tried by decoding the
// recording as varnstow would with it, so only what reads more blocks is suggested.
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

int DrawHistogram(const ParsedArguments& arguments, ToolStreams& io) {
  const RecordingSettings given = RecordingFrom(arguments, "histogram");
  if (!arguments.Has("output"))
    throw UsageError("histogram needs --output (see 'varnstow-tool histogram --help')");
  const std::string output = arguments.Value("output");
  if (MainProgram_ns::NamesSameFile(output, given.name))
    throw UsageError("the picture would overwrite the recording; give another name");

  // A WAV file that the converter does not read as it is gets read as prepare makes it.
  const PreparedRecording prepared(given, arguments.Value("channel"), io.err);
  const RecordingSettings& recording = prepared.Settings();
  const PassSettings pass = PassInPhase(recording.kind, !arguments.Has("shifted"));
  const Histogram histogram = MeasurePass(recording, pass);
  const Window longWindow = WindowOf(WaveClass::kLong, histogram.t, histogram.t);
  const Window shortWindow = WindowOf(WaveClass::kShort, histogram.t, histogram.t / 2);
  const double centreFactor = LongWindowCentreFactor();
  const LongWaves found = FindLongWaves(histogram, centreFactor);

  // The picture is written only once the recording has been read, so that a refused
  // recording leaves an earlier picture alone.
  OutputFile picture(output, io.out);
  DrawPicture(picture.Stream(), given.name, pass, histogram, longWindow, shortWindow, found);
  picture.Finish();
  if (arguments.Has("quiet"))
    return 0;
  std::ostream& out = picture.ToStandardOutput() ? io.err : io.out;
  if (prepared.Prepared())
    out << Describe(given.name, false)
        << ": read as varnstow-tool prepare makes it: " << DescribePrepared(prepared.Signal())
        << '\n';
  Summarise(out, given.name, pass, histogram, found);
  Advise(out, recording, pass, histogram, found, centreFactor);
  out << "picture: " << Describe(output, true) << '\n';
  return 0;
}

}  // namespace

int HistogramCommand(const std::vector<std::string>& arguments, ToolStreams& io) {
  std::vector<OptionDefinition> options = RecordingOptions();
  options.push_back({"output", true, 'o'});
  options.push_back({"shifted", false, 'p'});
  options.push_back({"channel", true});
  options.push_back({"quiet", false});
  options.push_back({"help", false, 'h'});
  const ParsedArguments parsed(arguments, options, "histogram");
  if (parsed.Has("help")) {
    io.out << kHistogramHelp;
    return 0;
  }
  return DrawHistogram(parsed, io);
}

}  // namespace Tool_ns
