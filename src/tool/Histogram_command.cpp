// varnstow-tool histogram: the lengths of a recording's waves, measured as varnstow measures
// them, drawn as an SVG picture with the windows in which varnstow takes a wave for long or
// short, and the baud rate that would centre the long window on the long waves.

#include <ostream>

#include "driver/Run_program.h"
#include "tool/Commands.h"
#include "tool/Histogram_advice.h"
#include "tool/Histogram_measure.h"
#include "tool/Histogram_svg.h"
#include "tool/Output_file.h"
#include "tool/Prepared_wav.h"
#include "tool/Recording.h"

namespace Tool_ns {

namespace {

using BlockProcessing_ns::WaveClass;
using namespace Histogram_ns;

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
