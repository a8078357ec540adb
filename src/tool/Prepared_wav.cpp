#include "tool/Prepared_wav.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iomanip>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <system_error>
#include <vector>

#include "render/Tape_builder.h"
#include "sound/Wave_file_handler.h"
#include "tool/Output_file.h"
#include "tool/Wav_reader.h"

namespace Tool_ns {

namespace {

constexpr size_t kReadBytes = 1 << 20;
constexpr size_t kMostChannels = 65535;

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

double Take(const double* frame, size_t channels, const PreparedSignal& choice) {
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

// A channel's number from 1, or 0 when the option is no number.
size_t ChannelNumber(const std::string& option) {
  if (option.empty() || option.size() > 5 ||
      !std::all_of(option.begin(), option.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  return static_cast<size_t>(std::stoul(option));
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

}  // namespace

void CheckChannelOption(const std::string& channelOption) {
  if (!channelOption.empty() && channelOption != "left" && channelOption != "right" &&
      channelOption != "mix" && ChannelNumber(channelOption) == 0)
    throw UsageError("--channel must be left, right, mix or a channel's number from 1, not '" +
                     channelOption + "'");
}

PreparedSignal PrepareWav(const std::string& input, const std::string& output,
                          const std::string& channelOption, std::ostream& standardOutput,
                          std::ostream& warnings) {
  CheckChannelOption(channelOption);
  WavReader reader(input, warnings);
  const WavFormat& format = reader.Format();
  const size_t channels = format.channels;
  if (channelOption == "right" && channels < 2)
    throw UsageError("--channel right needs a recording with two channels; " +
                     Describe(input, false) + " has one");
  const size_t number = ChannelNumber(channelOption);
  if (number > channels || number > kMostChannels)
    throw UsageError("--channel " + channelOption + " needs a recording with that many channels; " +
                     Describe(input, false) + " has " + std::to_string(channels));
  const uint64_t frames = reader.Frames();
  if (frames > std::numeric_limits<uint32_t>::max() - 45u)
    throw ToolError(Describe(input, false) + " is too long for an 8-bit WAV file");
  const size_t framesPerRead = std::max<size_t>(1, kReadBytes / format.blockAlign);

  // First pass: the level and spread of every channel and of the mix.
  std::vector<Signal> signals(channels + 1);
  std::vector<double> values;
  PreparedSignal mixChoice;
  mixChoice.mix = true;
  while (const size_t got = reader.Read(values, framesPerRead)) {
    for (size_t f = 0; f < got; ++f) {
      const double* frame = &values[f * channels];
      for (size_t c = 0; c < channels; ++c)
        signals[c].Add(frame[c]);
      signals[channels].Add(Take(frame, channels, mixChoice));
    }
  }

  PreparedSignal choice;
  choice.channels = channels;
  choice.frames = frames;
  choice.sampleRate = format.sampleRate;
  if (channelOption == "mix") {
    choice.mix = true;
  } else if (channelOption == "left" || channelOption == "right") {
    choice.channel = channelOption == "left" ? 0 : 1;
  } else if (number != 0) {
    choice.channel = number - 1;
  } else {
    for (size_t c = 1; c < channels; ++c) {
      if (signals[c].Variance(frames) > signals[choice.channel].Variance(frames))
        choice.channel = c;
    }
    choice.chosenByLevel = channels > 1;
  }
  const Signal& chosen = signals[choice.mix ? channels : choice.channel];
  choice.mean = chosen.Mean(frames);
  choice.peak = chosen.Peak(frames);
  const double scale = choice.peak > 0.0 ? 127.0 / choice.peak : 0.0;

  // Second pass: the chosen signal, centred and scaled.
  Writer writer(output, standardOutput, format.sampleRate, static_cast<uint32_t>(frames));
  reader.Rewind();
  while (const size_t got = reader.Read(values, framesPerRead)) {
    for (size_t f = 0; f < got; ++f) {
      const double value = (Take(&values[f * channels], channels, choice) - choice.mean) * scale;
      writer.Put(static_cast<int8_t>(std::clamp(std::lround(value), -127L, 127L)));
    }
  }
  writer.Finish();
  return choice;
}

std::string DescribePrepared(const PreparedSignal& signal) {
  std::ostringstream text;
  text << (signal.mix ? "the mix of all channels" : ChannelName(signal.channel, signal.channels))
       << (signal.chosenByLevel ? " (the larger signal)" : "") << ", " << signal.frames
       << " samples at " << signal.sampleRate << " Hz: DC level " << Percent(signal.mean)
       << ", peak " << Percent(signal.peak) << " of full scale";
  if (signal.peak > 0.0)
    text << ", scaled by " << std::setprecision(3) << 127.0 / signal.peak / 128.0;
  return text.str();
}

PreparedRecording::PreparedRecording(const RecordingSettings& recording,
                                     const std::string& channelOption, std::ostream& warnings)
    : settings_(recording) {
  CheckChannelOption(channelOption);
  if (recording.kind != RecordingKind::kWav) {
    if (!channelOption.empty())
      throw UsageError("--channel is for WAV recordings");
    return;
  }
  bool refusedForm = false;
  {
    SoundInput_ns::WAVSound probe;
    try {
      probe.Open(recording.name);
    } catch (const SoundInput_ns::UnsupportedSampleForm&) {
      refusedForm = true;
    } catch (const std::runtime_error&) {
      // Refused for another reason: reading it as it is gives the converter's message.
    }
    probe.Close();
  }
  if (!refusedForm) {
    // The converter's own form, 8-bit mono: one channel, which any choice but right gives.
    if (channelOption == "right" || ChannelNumber(channelOption) > 1)
      throw UsageError("--channel " + channelOption + " needs a recording with more channels; " +
                       Describe(recording.name, false) + " has one");
    return;
  }
  std::mt19937_64 random(
      std::random_device{}() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  std::filesystem::path path;
  do {
    std::ostringstream name;
    name << "varnstow-tool-" << std::hex << random() << ".wav";
    path = folder / name.str();
  } while (std::filesystem::exists(path));
  std::ostringstream unused;
  signal_ = PrepareWav(recording.name, path.string(), channelOption, unused, warnings);
  temporary_ = path.string();
  settings_.name = temporary_;
}

PreparedRecording::~PreparedRecording() {
  if (!temporary_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

}  // namespace Tool_ns
