// varnstow-tool render: a UEF image played back as a WAV, RAW or CSW recording.

#include <cmath>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>

#include "driver/Run_program.h"
#include "platform/File_system.h"
#include "render/Csw_writer.h"
#include "render/Tape_builder.h"
#include "sound/Sound_device_base.h"
#include "sound/Wave_file_handler.h"
#include "tool/Commands.h"
#include "tool/Output_file.h"
#include "tool/Uef_player.h"

namespace Tool_ns {

namespace {

using TapeBuilder_ns::CswCompression;
using TapeBuilder_ns::RenderOptions;
using TapeBuilder_ns::StreamRenderer;

const char kRenderHelp[] =
    "Usage: varnstow-tool render IMAGE.uef -o OUTPUT [options]\n"
    "\n"
    "Plays a UEF tape image (gzip-compressed or plain; - reads standard input) back as a\n"
    "recording: an 8-bit mono WAV file, a RAW file of 8-bit samples, or a CSW file. The format\n"
    "follows OUTPUT's extension (.wav, .raw, .csw) unless --format names it; - writes standard\n"
    "output and then needs --format.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE          the recording to write (required)\n"
    "      --format wav|raw|csw   the recording's format\n"
    "      --rate HZ              samples per second, 8000 to 384000 (default 44100)\n"
    "      --phase 0|90|180|270   where each cycle starts, in degrees (default 0; the\n"
    "                             converter needs -p for 180 and 270)\n"
    "      --shape sine|square    the waves' shape in WAV and RAW output (default sine)\n"
    "      --csw-compression rle|zrle\n"
    "                             CSW pulse data plain or zlib-compressed (default zrle)\n"
    "      --unsigned             RAW samples unsigned, centre 128 (default signed, as the\n"
    "                             converter reads RAW unless given -t u)\n"
    "      --lead-in SECONDS      silence before the tape's first chunk (default 0.5)\n"
    "\n"
    "Faults, for testing a decoder:\n"
    "      --noise-db DB          add white noise, DB below the signal (20 is moderate)\n"
    "      --speed PERCENT        play PERCENT faster (negative: slower)\n"
    "      --wow DEPTH:HZ         let the speed swing by DEPTH percent, HZ times a second\n"
    "      --dc-drift LEVEL:HZ    let the centre line swing by LEVEL percent of full scale\n"
    "      --dropout AT:LENGTH    lose the signal for LENGTH seconds from AT seconds on\n"
    "                             (may be given more than once)\n"
    "      --flutter DEPTH:HZ     a second swing of the speed, as --wow (5 to 30 Hz is usual)\n"
    "      --jitter PERCENT       move each edge between half cycles at random, so that each\n"
    "                             half cycle is up to PERCENT longer or shorter\n"
    "      --treble-loss HZ[:ORDER]\n"
    "                             a low-pass at HZ of order 1 (default) or 2: worn heads\n"
    "      --bass-loss HZ         a first-order high-pass at HZ\n"
    "      --hum DB:HZ            mains hum DB below the waves' peak, with harmonics\n"
    "      --clicks RATE:PERCENT  RATE clicks a second on average, PERCENT of the waves' peak\n"
    "      --fades RATE:DB        RATE fades a second on average, the level falling by DB for\n"
    "                             20 to 200 ms\n"
    "      --echo SECONDS:DB      print-through: the waves again SECONDS later, DB lower\n"
    "      --seed N               the noise's seed (default 1): same seed, same noise\n"
    "  -h, --help                 show this text\n";

enum class Format { Wav, Raw, Csw };

struct Settings {
  std::string input;
  std::string output;
  Format format = Format::Wav;
  RenderOptions options;
  CswCompression compression = CswCompression::ZRle;
  bool rawUnsigned = false;
  double leadInSeconds = 0.5;
};

Settings ReadSettings(const ParsedArguments& arguments) {
  Settings settings;
  if (arguments.Operands().size() != 1)
    throw UsageError(arguments.Operands().empty()
                         ? "render needs an image to read (see 'varnstow-tool render --help')"
                         : "render reads one image; it was given " +
                               std::to_string(arguments.Operands().size()));
  settings.input = arguments.Operands()[0];
  if (!arguments.Has("output"))
    throw UsageError("render needs --output (see 'varnstow-tool render --help')");
  settings.output = arguments.Value("output");

  std::string format = arguments.Value("format");
  if (format.empty()) {
    if (settings.output == "-")
      throw UsageError("writing standard output needs --format wav, raw or csw");
    format = LowerExtension(settings.output);
    if (format != "wav" && format != "raw" && format != "csw")
      throw UsageError("cannot tell the format from " + Describe(settings.output, true) +
                       "; name it .wav, .raw or .csw, or give --format");
  }
  if (format == "wav")
    settings.format = Format::Wav;
  else if (format == "raw")
    settings.format = Format::Raw;
  else if (format == "csw")
    settings.format = Format::Csw;
  else
    throw UsageError("--format must be wav, raw or csw, not '" + format + "'");

  RenderOptions& options = settings.options;
  options.sampleRate = static_cast<uint32_t>(
      ParseWholeNumber(arguments.Value("rate", "44100"), "--rate", 8000, 384000));
  const std::string phase = arguments.Value("phase", "0");
  if (phase != "0" && phase != "90" && phase != "180" && phase != "270")
    throw UsageError("--phase must be 0, 90, 180 or 270, not '" + phase + "'");
  options.phaseDegrees = std::stod(phase);
  const std::string shape = arguments.Value("shape", "sine");
  if (shape == "square")
    options.shape = TapeBuilder_ns::WaveShape::Square;
  else if (shape != "sine")
    throw UsageError("--shape must be sine or square, not '" + shape + "'");
  const std::string compression = arguments.Value("csw-compression", "zrle");
  if (compression == "rle")
    settings.compression = CswCompression::Rle;
  else if (compression != "zrle")
    throw UsageError("--csw-compression must be rle or zrle, not '" + compression + "'");
  settings.rawUnsigned = arguments.Has("unsigned");
  if (arguments.Has("lead-in"))
    settings.leadInSeconds = ParseNumber(arguments.Value("lead-in"), "--lead-in", 0, 60);

  // A CSW recording holds only where the signal changes sign: it is made from square waves,
  // which carry the exact timing.
  if (settings.format == Format::Csw)
    options.shape = TapeBuilder_ns::WaveShape::Square;
  if (arguments.Has("noise-db")) {
    const double db = ParseNumber(arguments.Value("noise-db"), "--noise-db", -20, 120);
    options.noiseStdDev = TapeBuilder_ns::NoiseStdDevForSnr(options.amplitude, options.shape, db);
  }
  if (arguments.Has("speed"))
    options.speed = 1.0 + ParseNumber(arguments.Value("speed"), "--speed", -50, 100) / 100.0;
  if (arguments.Has("wow")) {
    const auto wow = SplitPair(arguments.Value("wow"), "--wow");
    options.wowDepth = ParseNumber(wow.first, "--wow's depth", 0, 40) / 100.0;
    options.wowFrequencyHz = ParseNumber(wow.second, "--wow's rate", 0, 100);
  }
  if (arguments.Has("dc-drift")) {
    const auto drift = SplitPair(arguments.Value("dc-drift"), "--dc-drift");
    options.driftAmplitude = ParseNumber(drift.first, "--dc-drift's level", 0, 100) * 1.28;
    options.driftFrequencyHz = ParseNumber(drift.second, "--dc-drift's rate", 0, 1000);
  }
  for (const std::string& dropout : arguments.Values("dropout")) {
    const auto parts = SplitPair(dropout, "--dropout");
    RenderOptions::Dropout lost;
    lost.startSeconds = ParseNumber(parts.first, "--dropout's start", 0, 1e6);
    lost.seconds = ParseNumber(parts.second, "--dropout's length", 0, 1e6);
    options.dropouts.push_back(lost);
  }
  if (arguments.Has("flutter")) {
    const auto flutter = SplitPair(arguments.Value("flutter"), "--flutter");
    options.flutterDepth = ParseNumber(flutter.first, "--flutter's depth", 0, 40) / 100.0;
    options.flutterFrequencyHz = ParseNumber(flutter.second, "--flutter's rate", 0, 1000);
    if (options.wowDepth + options.flutterDepth >= 0.4)
      throw UsageError("--wow's and --flutter's depths together must stay below 40");
  }
  if (arguments.Has("jitter"))
    options.jitter = ParseNumber(arguments.Value("jitter"), "--jitter", 0, 40) / 100.0;
  TapeBuilder_ns::FaultOptions& faults = options.faults;
  const double nyquist = options.sampleRate / 2.0 - 1.0;
  if (arguments.Has("treble-loss")) {
    const std::string value = arguments.Value("treble-loss");
    const size_t colon = value.find(':');
    faults.trebleCutHz =
        ParseNumber(value.substr(0, colon), "--treble-loss's cut-off", 100, nyquist);
    if (colon != std::string::npos)
      faults.trebleOrder = static_cast<int>(
          ParseWholeNumber(value.substr(colon + 1), "--treble-loss's order", 1, 2));
  }
  if (arguments.Has("bass-loss"))
    faults.bassCutHz = ParseNumber(arguments.Value("bass-loss"), "--bass-loss", 1, nyquist);
  if (arguments.Has("hum")) {
    const auto hum = SplitPair(arguments.Value("hum"), "--hum");
    faults.humLevel = std::pow(10.0, -ParseNumber(hum.first, "--hum's level", -20, 120) / 20.0);
    faults.humFrequencyHz = ParseNumber(hum.second, "--hum's frequency", 1, 1000);
  }
  if (arguments.Has("clicks")) {
    const auto clicks = SplitPair(arguments.Value("clicks"), "--clicks");
    faults.clicksPerSecond = ParseNumber(clicks.first, "--clicks' rate", 0, 1000);
    faults.clickLevel = ParseNumber(clicks.second, "--clicks' level", 0, 10000) / 100.0;
  }
  if (arguments.Has("fades")) {
    const auto fades = SplitPair(arguments.Value("fades"), "--fades");
    faults.fadesPerSecond = ParseNumber(fades.first, "--fades' rate", 0, 100);
    faults.fadeDepthDb = ParseNumber(fades.second, "--fades' depth", 0, 120);
  }
  if (arguments.Has("echo")) {
    const auto echo = SplitPair(arguments.Value("echo"), "--echo");
    faults.echoSeconds = ParseNumber(echo.first, "--echo's delay", 0, 10);
    faults.echoLevel = std::pow(10.0, -ParseNumber(echo.second, "--echo's level", 0, 120) / 20.0);
  }
  if (arguments.Has("seed"))
    options.noiseSeed = ParseWholeNumber(arguments.Value("seed"), "--seed", 0,
                                         std::numeric_limits<uint64_t>::max());
  return settings;
}

// The renderer as the image's player sees it, refusing to go on past the longest recording
// the output can hold.
class LimitedTarget final : public WaveTarget {
 public:
  LimitedTarget(StreamRenderer& renderer, uint64_t largest, uint32_t rate)
      : renderer_(renderer), largest_(largest), rate_(rate) {}

  void Tone(double frequencyHz, uint64_t halfCycles) override {
    renderer_.Tone(frequencyHz, halfCycles);
    Check();
  }
  void Silence(double seconds) override {
    renderer_.Silence(seconds);
    Check();
  }

 private:
  void Check() const {
    if (renderer_.SamplesSoFar() <= largest_)
      return;
    std::ostringstream text;
    text.precision(3);
    text << "the recording would be longer than the output can hold: more than " << largest_
         << " samples (" << static_cast<double>(largest_) / rate_ / 3600.0 << " hours at " << rate_
         << " Hz)";
    throw ToolError(text.str());
  }

  StreamRenderer& renderer_;
  const uint64_t largest_;
  const uint32_t rate_;
};

// Plays the image into a renderer with the given sink (none: timing only); returns the
// number of samples.
uint64_t Play(const UefImage& image, const Settings& settings, TapeBuilder_ns::SampleSink* sink,
              uint64_t largest, std::ostream* warnings) {
  const RenderOptions& options = settings.options;
  StreamRenderer renderer(options, sink);
  LimitedTarget target(renderer, largest, options.sampleRate);
  target.Silence(settings.leadInSeconds);
  PlayImage(image, target, warnings);
  return renderer.Finish();
}

class CountingPulses final : public TapeBuilder_ns::PulseSink {
 public:
  void Pulse(uint32_t) override {}
};

// Samples written as bytes, signed or unsigned, to a stream.
class ByteSink final : public TapeBuilder_ns::SampleSink {
 public:
  ByteSink(std::ostream& out, bool signedForm) : out_(out), signedForm_(signedForm) {}
  void Put(const int8_t* samples, size_t count) override {
    buffer_.resize(count);
    for (size_t i = 0; i < count; ++i)
      buffer_[i] = static_cast<char>(
          TypeConversion_ns::Conversions2sComplement::FromSample(samples[i], signedForm_));
    out_.write(buffer_.data(), static_cast<std::streamsize>(count));
    if (!out_)
      throw ToolError("the recording could not be written");
  }

 private:
  std::ostream& out_;
  const bool signedForm_;
  std::vector<char> buffer_;
};

// Samples written through the converter's own WAV writer.
class WavFileSink final : public TapeBuilder_ns::SampleSink {
 public:
  explicit WavFileSink(SoundInput_ns::WAVSound& wav) : wav_(wav) {}
  void Put(const int8_t* samples, size_t count) override {
    for (size_t i = 0; i < count; ++i)
      wav_.WriteSample(samples[i]);
  }

 private:
  SoundInput_ns::WAVSound& wav_;
};

void WriteBytes(std::ostream& out, const std::vector<uint8_t>& bytes) {
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void CheckCount(uint64_t rendered, uint64_t expected) {
  if (rendered != expected)
    throw ToolError("internal error: " + std::to_string(rendered) + " samples rendered, " +
                    std::to_string(expected) + " expected");
}

void Render(const Settings& settings, ToolStreams& io) {
  // Under any of its names, or its own name with another --format, the image would be replaced
  // by its recording.
  if (settings.output != "-" && settings.input != "-" &&
      MainProgram_ns::NamesSameFile(settings.output, settings.input))
    throw UsageError("the output would overwrite the input; give another name");
  const UefImage image = ReadUefImage(settings.input, io.in);
  const RenderOptions& options = settings.options;
  const uint32_t rate = options.sampleRate;
  constexpr uint64_t kLargest = std::numeric_limits<uint32_t>::max();
  // A WAV file's lengths count its 44-byte header and pad byte too.
  const uint64_t largest = settings.format == Format::Wav ? kLargest - 45 : kLargest;

  // First the timing alone, which finds every fault of the image and the recording's length
  // before anything is written.
  const uint64_t samples = Play(image, settings, nullptr, largest, &io.err);

  uint64_t pulses = 0;
  bool initialHigh = true;
  if (settings.format == Format::Csw) {
    CountingPulses counter;
    TapeBuilder_ns::SignRunPulses runs(counter);
    CheckCount(Play(image, settings, &runs, largest, nullptr), samples);
    runs.Finish();
    pulses = runs.PulseCount();
    initialHigh = runs.InitialHigh();
  }

  if (settings.format == Format::Wav && settings.output != "-") {
    ReplaceWhenDone replacer(settings.output);
    SoundInput_ns::WAVSound wav;
    wav.OpenOutput(replacer.TemporaryName());
    replacer.Arm();
    wav.WriteHeader(rate, static_cast<uint32_t>(samples));
    WavFileSink sink(wav);
    CheckCount(Play(image, settings, &sink, largest, nullptr), samples);
    if (wav.Close())
      throw ToolError("cannot write " + Describe(settings.output, true));
    replacer.Commit();
    return;
  }

  OutputFile output(settings.output, io.out);
  std::ostream& out = output.Stream();
  if (settings.format == Format::Csw) {
    TapeBuilder_ns::CswStreamWriter writer(out, rate, static_cast<uint32_t>(pulses),
                                           settings.compression, initialHigh, "varnstow-tool");
    TapeBuilder_ns::SignRunPulses runs(writer);
    CheckCount(Play(image, settings, &runs, largest, nullptr), samples);
    runs.Finish();
    writer.Finish();
  } else {
    const bool wav = settings.format == Format::Wav;
    if (wav)
      WriteBytes(out, TapeBuilder_ns::WavHeader(rate, static_cast<uint32_t>(samples), true));
    ByteSink sink(out, !wav && !settings.rawUnsigned);
    CheckCount(Play(image, settings, &sink, largest, nullptr), samples);
    if (wav && samples % 2 != 0)
      out.put('\0');
  }
  output.Finish();
}

}  // namespace

int RenderCommand(const std::vector<std::string>& arguments, ToolStreams& io) {
  const ParsedArguments parsed(
      arguments, {{"output", true, 'o'}, {"format", true},    {"rate", true},
                  {"phase", true},       {"shape", true},     {"csw-compression", true},
                  {"unsigned", false},   {"lead-in", true},   {"noise-db", true},
                  {"speed", true},       {"wow", true},       {"dc-drift", true},
                  {"dropout", true},     {"flutter", true},   {"jitter", true},
                  {"treble-loss", true}, {"bass-loss", true}, {"hum", true},
                  {"clicks", true},      {"fades", true},     {"echo", true},
                  {"seed", true},        {"help", false, 'h'}},
      "render");
  if (parsed.Has("help")) {
    io.out << kRenderHelp;
    return 0;
  }
  Render(ReadSettings(parsed), io);
  return 0;
}

}  // namespace Tool_ns
