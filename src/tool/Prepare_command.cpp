// varnstow-tool prepare: a modern WAV recording made into the 8-bit mono WAV the converter reads.

#include <ostream>

#include "driver/Run_program.h"
#include "tool/Commands.h"
#include "tool/Prepared_wav.h"

namespace Tool_ns {

namespace {

const char kPrepareHelp[] =
    "Usage: varnstow-tool prepare IN.wav -o OUT.wav [--channel left|right|mix|N]\n"
    "\n"
    "Makes a recording ready for the converter: reads a PCM WAV file of 8, 16, 24 or 32 bits,\n"
    "or of 32-bit (or 64-bit) floating point samples, plain or WAVE_FORMAT_EXTENSIBLE, with any\n"
    "number of channels at any rate; takes one channel (or the mix of all), removes its DC\n"
    "level, scales it so that its loudest part just fills the 8-bit range, and writes it as an\n"
    "8-bit mono WAV file at the same rate. IN.wav must be a file (it is read twice); - as\n"
    "OUT.wav writes standard output. A summary goes to standard error.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE              the WAV file to write (required)\n"
    "      --channel left|right|mix|N the channel to take (N: its number from 1), or the mix\n"
    "                                 of all (default: the channel with the larger signal)\n"
    "      --quiet                    no summary\n"
    "  -h, --help                     show this text\n";

int Prepare(const ParsedArguments& arguments, ToolStreams& io) {
  if (arguments.Operands().size() != 1)
    throw UsageError("prepare needs one WAV file to read (see 'varnstow-tool prepare --help')");
  const std::string input = arguments.Operands()[0];
  if (input == "-")
    throw UsageError("prepare reads its input twice, so it must be a file, not standard input");
  if (!arguments.Has("output"))
    throw UsageError("prepare needs --output (see 'varnstow-tool prepare --help')");
  const std::string output = arguments.Value("output");
  if (MainProgram_ns::NamesSameFile(output, input))
    throw UsageError("the output would overwrite the input; give another name");
  const PreparedSignal signal =
      PrepareWav(input, output, arguments.Value("channel"), io.out, io.err);
  if (!arguments.Has("quiet")) {
    io.err << "varnstow-tool: " << DescribePrepared(signal) << '\n';
    if (signal.peak == 0.0)
      io.err << "varnstow-tool: warning: the recording is silent\n";
    if (signal.sampleRate < 44100)
      io.err << "varnstow-tool: warning: at " << signal.sampleRate
             << " Hz the converter may miss blocks; record at 44100 Hz or more\n";
  }
  return 0;
}

}  // namespace

int PrepareCommand(const std::vector<std::string>& arguments, ToolStreams& io) {
  const ParsedArguments parsed(
      arguments, {{"output", true, 'o'}, {"channel", true}, {"quiet", false}, {"help", false, 'h'}},
      "prepare");
  if (parsed.Has("help")) {
    io.out << kPrepareHelp;
    return 0;
  }
  return Prepare(parsed, io);
}

}  // namespace Tool_ns
