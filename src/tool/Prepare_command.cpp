// varnstow-tool prepare: a modern WAV recording made into the 8-bit mono WAV the converter reads.

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <ostream>
#include <sstream>

#include "driver/RunProgram.h"
#include "render/TapeBuilder.h"
#include "sound/Wave_file_handler.h"
#include "tool/Commands.h"
#include "tool/Output_file.h"
#include "tool/Wav_reader.h"

namespace Tool_ns {

namespace {

const char kPrepareHelp[] =
    "Usage: varnstow-tool prepare IN.wav -o OUT.wav [--channel left|right|mix]\n"
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
    "      --channel left|right|mix   the channel to take, or the mix of all (default: the\n"
    "                                 channel with the larger signal)\n"
    "      --quiet                    no summary\n"
    "  -h, --help                     show this text\n";

constexpr size_t kReadBytes = 1 << 20;

// Running sums of one signal.
struct Signal {
  double sum = 0.0;
  double sumOfSquares = 0.0;
  double lowest = std::numeric_limits<double>::infinity();
  double highest = -std::numeric_limits<double>::infinity();

  void Add(double value) {
    sum += value;
    sumOfSquares += value * value;
    lowest = std::min(lowest, value);
    highest = std::max(highest, value);
  }
  double Mean(uint64_t count) const { return count == 0 ? 0.0 : sum / static_cast<double>(count); }
  double Variance(uint64_t count) const {
    if (count == 0)
      return 0.0;
    const double mean = Mean(count);
    return std::max(0.0, sumOfSquares / static_cast<double>(count) - mean * mean);
  }
  // The largest distance from the mean.
  double Peak(uint64_t count) const {
    if (count == 0)
      return 0.0;
    const double mean = Mean(count);
    return std::max(highest - mean, mean - lowest);
  }
};

// Which signal is taken: one channel, or the mix (the mean of all channels).
struct Choice {
  bool mix = false;
  size_t channel = 0;
};

double Take(const double* frame, size_t channels, const Choice& choice) {
  if (!choice.mix)
    return frame[choice.channel];
  double sum = 0.0;
  for (size_t c = 0; c < channels; ++c)
    sum += frame[c];
  return sum / static_cast<double>(channels);
}

std::string ChannelName(size_t channel, size_t channels) {
  if (channels == 1)
    return "the only channel";
  if (channels == 2)
    return channel == 0 ? "the left channel" : "the right channel";
  return "channel " + std::to_string(channel + 1) + " of " + std::to_string(channels);
}

std::string Percent(double fraction) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << fraction * 100.0 << "%";
  return text.str();
}

// Samples written through the converter's own WAV writer, or as bytes to a stream.
class Writer {
 public:
  Writer(const std::string& name, std::ostream& standardOutput, uint32_t rate, uint32_t count)
      : name_(name), replacer_(name == "-" ? std::string() : name) {
    if (name == "-") {
      stream_ = std::make_unique<OutputFile>(name, standardOutput);
      const std::vector<uint8_t> header = TapeBuilder_ns::WavHeader(rate, count, true);
      stream_->Stream().write(reinterpret_cast<const char*>(header.data()),
                              static_cast<std::streamsize>(header.size()));
      pad_ = count % 2 != 0;
    } else {
      wav_.OpenOutput(replacer_.TemporaryName());
      replacer_.Arm();
      wav_.WriteHeader(rate, count);
    }
  }

  void Put(int8_t sample) {
    if (stream_)
      stream_->Stream().put(
          static_cast<char>(TypeConversion_ns::Conversions2sComplement::ToUnsigned(sample)));
    else
      wav_.WriteSample(sample);
  }

  void Finish() {
    if (stream_) {
      if (pad_)
        stream_->Stream().put('\0');
      stream_->Finish();
      return;
    }
    if (wav_.Close())
      throw ToolError("cannot write " + Describe(name_, true));
    replacer_.Commit();
  }

 private:
  std::string name_;
  ReplaceWhenDone replacer_;  // before wav_, which closes its file first
  SoundInput_ns::WAVSound wav_;
  std::unique_ptr<OutputFile> stream_;
  bool pad_ = false;
};

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
  const std::string channelOption = arguments.Value("channel");
  if (!channelOption.empty() && channelOption != "left" && channelOption != "right" &&
      channelOption != "mix")
    throw UsageError("--channel must be left, right or mix, not '" + channelOption + "'");

  WavReader reader(input, io.err);
  const WavFormat& format = reader.Format();
  const size_t channels = format.channels;
  if (channelOption == "right" && channels < 2)
    throw UsageError("--channel right needs a recording with two channels; " +
                     Describe(input, false) + " has one");
  const uint64_t frames = reader.Frames();
  if (frames > std::numeric_limits<uint32_t>::max() - 45u)
    throw ToolError(Describe(input, false) + " is too long for an 8-bit WAV file");
  const size_t framesPerRead = std::max<size_t>(1, kReadBytes / format.blockAlign);

  // First pass: the level and spread of every channel and of the mix.
  std::vector<Signal> signals(channels + 1);
  std::vector<double> values;
  const Choice mixChoice{true, 0};
  while (const size_t got = reader.Read(values, framesPerRead)) {
    for (size_t f = 0; f < got; ++f) {
      const double* frame = &values[f * channels];
      for (size_t c = 0; c < channels; ++c)
        signals[c].Add(frame[c]);
      signals[channels].Add(Take(frame, channels, mixChoice));
    }
  }

  Choice choice;
  std::string why;
  if (channelOption == "mix") {
    choice.mix = true;
  } else if (channelOption == "left" || channelOption == "right") {
    choice.channel = channelOption == "left" ? 0 : 1;
  } else {
    for (size_t c = 1; c < channels; ++c) {
      if (signals[c].Variance(frames) > signals[choice.channel].Variance(frames))
        choice.channel = c;
    }
    if (channels > 1)
      why = " (the larger signal)";
  }
  const Signal& chosen = signals[choice.mix ? channels : choice.channel];
  const double mean = chosen.Mean(frames);
  const double peak = chosen.Peak(frames);
  const double scale = peak > 0.0 ? 127.0 / peak : 0.0;

  // Second pass: the chosen signal, centred and scaled.
  Writer writer(output, io.out, format.sampleRate, static_cast<uint32_t>(frames));
  reader.Rewind();
  while (const size_t got = reader.Read(values, framesPerRead)) {
    for (size_t f = 0; f < got; ++f) {
      const double value = (Take(&values[f * channels], channels, choice) - mean) * scale;
      writer.Put(static_cast<int8_t>(std::clamp(std::lround(value), -127L, 127L)));
    }
  }
  writer.Finish();

  if (!arguments.Has("quiet")) {
    io.err << "varnstow-tool: "
           << (choice.mix ? "the mix of all channels" : ChannelName(choice.channel, channels))
           << why << ", " << frames << " samples at " << format.sampleRate << " Hz: DC level "
           << Percent(mean) << ", peak " << Percent(peak) << " of full scale";
    if (peak > 0.0)
      io.err << ", scaled by " << std::setprecision(3) << scale / 128.0;
    io.err << '\n';
    if (peak == 0.0)
      io.err << "varnstow-tool: warning: the recording is silent\n";
    if (format.sampleRate < 44100)
      io.err << "varnstow-tool: warning: at " << format.sampleRate
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
