// Measures recover's demodulator: its speed on one core and its memory, on a recording of
// the given length (30 minutes by default) at 44100 Hz with white noise 12 dB below the tone.
//
// Prints, for the demodulator fed from memory (its own work alone) and for its pass over the
// recording as a RAW file (8 bits) and a WAV file (16 bits), the samples per second and the
// blocks found; for each pass, run in a child process, the child's peak resident memory. Then
// the wall time of varnstow-tool recover against one run of varnstow, on the RAW file and on
// the recording as an 8-bit mono WAV file (the WAV that varnstow reads): recover's passes run
// side by side, the demodulator's and the converter's four.
//
// Usage: demod_benchmark [--minutes N]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "Bench_support.h"
#include "demod/Demodulator.h"
#include "render/Tape_builder.h"
#include "support/Temp_folder.h"
#include "tool/Recover.h"
#include "tool/Side_by_side.h"

namespace {

using Bench_ns::Clock;
using Bench_ns::OneFile;
using Bench_ns::Seconds;

TapeBuilder_ns::RenderOptions Options() {
  TapeBuilder_ns::RenderOptions options;
  options.amplitude = 30;
  options.noiseStdDev = TapeBuilder_ns::NoiseStdDevForSnr(options.amplitude, options.shape, 12);
  return options;
}

// Writes rendered samples to a RAW file (signed 8 bits) and a 16-bit mono WAV file.
class Files final : public TapeBuilder_ns::SampleSink {
 public:
  Files(const std::string& raw, const std::string& wav)
      : raw_(raw, std::ios::binary | std::ios::trunc),
        wav_(wav, std::ios::binary | std::ios::trunc) {
    Header();
  }
  void Put(const int8_t* samples, size_t count) override {
    raw_.write(reinterpret_cast<const char*>(samples), static_cast<std::streamsize>(count));
    wide_.resize(2 * count);
    for (size_t i = 0; i < count; ++i) {
      const auto value = static_cast<uint16_t>(static_cast<int16_t>(samples[i] * 256));
      wide_[2 * i] = static_cast<char>(value & 0xFF);
      wide_[2 * i + 1] = static_cast<char>(value >> 8);
    }
    wav_.write(wide_.data(), static_cast<std::streamsize>(wide_.size()));
    count_ += count;
  }
  size_t Finish() {
    wav_.seekp(0);
    Header();
    raw_.close();
    wav_.close();
    return count_;
  }

 private:
  void Le(uint32_t value, int bytes) {
    for (int b = 0; b < bytes; ++b)
      wav_.put(static_cast<char>(value >> (8 * b) & 0xFF));
  }
  void Header() {
    const auto data = static_cast<uint32_t>(2 * count_);
    wav_.write("RIFF", 4);
    Le(36 + data, 4);
    wav_.write("WAVEfmt ", 8);
    Le(16, 4);
    Le(1, 2);
    Le(1, 2);
    Le(44100, 4);
    Le(88200, 4);
    Le(2, 2);
    Le(16, 2);
    wav_.write("data", 4);
    Le(data, 4);
  }

  std::ofstream raw_;
  std::ofstream wav_;
  std::vector<char> wide_;
  size_t count_ = 0;
};

struct Run {
  double seconds = 0;
  double peakMegabytes = 0;
  size_t blocks = 0;
};

// Runs what in a child process and measures it there.
template <typename What>
Run InChild(What what) {
  int pipe_[2];
  if (pipe(pipe_) != 0)
    std::exit(1);
  std::fflush(stdout);
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_[0]);
    const size_t blocks = what();
    std::fflush(stdout);
    if (write(pipe_[1], &blocks, sizeof blocks) != sizeof blocks)
      _exit(1);
    _exit(0);
  }
  close(pipe_[1]);
  Run run;
  if (read(pipe_[0], &run.blocks, sizeof run.blocks) != sizeof run.blocks)
    run.blocks = 0;
  close(pipe_[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  run.seconds = Seconds(start);
  run.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the measured run failed\n");
    std::exit(1);
  }
  return run;
}

double Program(const std::vector<std::string>& arguments) {
  std::fflush(stdout);
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (!std::freopen("/dev/null", "w", stdout))
      _exit(127);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", arguments[0].c_str());
    std::exit(1);
  }
  return Seconds(start);
}

void Report(const char* what, double samples, const Run& run) {
  std::printf("%-34s %7.3f s  %6.1f M samples/s  %5zu blocks  peak %5.1f MB\n", what, run.seconds,
              samples / run.seconds / 1e6, run.blocks, run.peakMegabytes);
}

}  // namespace

int main(int argc, char* argv[]) {
  double minutes = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--minutes") == 0)
      minutes = std::atof(argv[i + 1]);
  }
  TestSupport::TempFolder folder;
  const std::string raw = folder / "bench.raw";
  const std::string wav = folder / "bench.wav";
  std::printf("Generating %.1f minutes of tape at 44100 Hz, noise 12 dB below the tone...\n",
              minutes);
  size_t samples = 0;
  {
    Files files(raw, wav);
    TapeBuilder_ns::StreamRenderer renderer(Options(), &files);
    const auto once = OneFile();
    while (static_cast<double>(renderer.SamplesSoFar()) < minutes * 60 * 44100)
      renderer.Append(once);
    renderer.Finish();
    samples = files.Finish();
  }
  const auto count = static_cast<double>(samples);

  // From memory: a stretch of the recording, fed again and again, as many samples in all.
  const Run memory = InChild([&] {
    std::vector<float> stretch(1 << 20);
    std::ifstream file(raw, std::ios::binary);
    std::vector<char> bytes(stretch.size());
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    for (size_t i = 0; i < stretch.size(); ++i)
      stretch[i] = static_cast<float>(static_cast<int8_t>(bytes[i]));
    Demod_ns::Demodulator demodulator(44100);
    const auto start = Clock::now();
    for (size_t fed = 0; fed < samples; fed += stretch.size())
      demodulator.Feed(stretch.data(), std::min(stretch.size(), samples - fed));
    const size_t blocks = demodulator.Finish().size();
    std::printf("demodulator alone, from memory:    %7.3f s  %6.1f M samples/s\n", Seconds(start),
                count / Seconds(start) / 1e6);
    return blocks;
  });
  (void)memory;

  Tool_ns::RecordingSettings recording;
  recording.kind = Tool_ns::RecordingKind::kRaw;
  recording.name = raw;
  const Tool_ns::PassSettings pass = Tool_ns::DemodulatorPasses(1).front();
  Report("demodulator pass, RAW 8-bit file", count, InChild([&] {
           return Tool_ns::RunDemodulatorPass(recording, pass, std::cerr).blocks.size();
         }));
  Tool_ns::RecordingSettings wide = recording;
  wide.kind = Tool_ns::RecordingKind::kWav;
  wide.name = wav;
  Report("demodulator pass, WAV 16-bit file", count,
         InChild([&] { return Tool_ns::RunDemodulatorPass(wide, pass, std::cerr).blocks.size(); }));

  const double converter = Program({VARNSTOW_EXE, "-i", raw, "-o", folder / "one.uef", "-c"});
  const double recover =
      Program({VARNSTOW_TOOL_EXE, "recover", raw, "-o", folder / "all.uef", "-c"});
  std::printf("varnstow -i bench.raw:             %7.3f s\n", converter);
  std::printf("varnstow-tool recover bench.raw:   %7.3f s  (%.1f times varnstow)\n", recover,
              recover / converter);

  // The same samples as an 8-bit WAV file, which stores them unsigned.
  const std::string narrow = folder / "bench8.wav";
  {
    std::ifstream in(raw, std::ios::binary);
    std::ofstream out(narrow, std::ios::binary | std::ios::trunc);
    const auto bytes = static_cast<uint32_t>(samples);
    auto le = [&out](uint32_t value, int size) {
      for (int i = 0; i < size; ++i)
        out.put(static_cast<char>(value >> (8 * i) & 0xFF));
    };
    out.write("RIFF", 4);
    le(36 + bytes, 4);
    out.write("WAVEfmt ", 8);
    le(16, 4);
    le(1, 2);      // PCM
    le(1, 2);      // mono
    le(44100, 4);  // samples per second
    le(44100, 4);  // bytes per second
    le(1, 2);      // bytes per sample
    le(8, 2);      // bits per sample
    out.write("data", 4);
    le(bytes, 4);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      const auto got = static_cast<size_t>(in.gcount());
      for (size_t i = 0; i < got; ++i)
        buffer[i] = static_cast<char>(buffer[i] ^ 0x80);
      out.write(buffer.data(), static_cast<std::streamsize>(got));
    }
  }
  const double converterWav =
      Program({VARNSTOW_EXE, "-i", narrow, "-o", folder / "one8.uef", "-c"});
  const double recoverWav =
      Program({VARNSTOW_TOOL_EXE, "recover", narrow, "-o", folder / "all8.uef", "-c"});
  // recover's converter passes alone, side by side as recover runs them.
  Tool_ns::RecordingSettings narrowRecording;
  narrowRecording.kind = Tool_ns::RecordingKind::kWav;
  narrowRecording.name = narrow;
  const auto sideBySide = Clock::now();
  (void)InChild([&] {
    const std::vector<Tool_ns::PassSettings> passes = Tool_ns::PassesFor(narrowRecording.kind);
    std::vector<std::function<void()>> jobs;
    for (const Tool_ns::PassSettings& converterPass : passes)
      jobs.emplace_back([&, converterPass] { Tool_ns::RunPass(narrowRecording, converterPass); });
    Tool_ns::RunSideBySide(jobs);
    return passes.size();
  });
  const double converterPasses = Seconds(sideBySide);
  std::printf("varnstow -i bench8.wav:            %7.3f s\n", converterWav);
  std::printf("recover's 4 converter passes:      %7.3f s  (%.1f times varnstow)\n",
              converterPasses, converterPasses / converterWav);
  std::printf("varnstow-tool recover bench8.wav:  %7.3f s  (%.1f times varnstow)\n", recoverWav,
              recoverWav / converterWav);
  return 0;
}
