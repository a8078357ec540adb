// Measures the decoding speed of the real program against a plain read of the same bytes.
//
// Generates a tape recording of the given length (30 minutes by default) and writes it as a
// RAW file and a WAV file at 44100 Hz and as a Z-RLE CSW file; runs varnstow on each and
// prints, per format, samples (or pulses) per second for the decode and for a plain
// read-and-sum of the file, their ratio, and the program's peak resident memory. Then times
// the DC offset correction (-d) of the RAW and the WAV file, run in this process on a copy,
// against a plain read-and-sum of the file that also writes the bytes to a new file.
//
// With --keep FOLDER the recordings are written into that folder (which must exist) and left
// there, for a profiler to run the program on them.
//
// Usage: varnstow_benchmark [--minutes N] [--only raw|wav|csw|dc] [--keep FOLDER]
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Bench_support.h"
#include "dcoffset/Dc_offset_fixing_functions.h"
#include "sound/Raw_file_handler.h"
#include "sound/Wave_file_handler.h"
#include "support/Tape_builder.h"
#include "support/Temp_folder.h"

namespace {

using Bench_ns::Clock;
using Bench_ns::OneFile;
using Bench_ns::Seconds;

// About minutes of tape, as a whole.
TapeBuilder_ns::Tape Recording(double minutes, double& seconds) {
  const auto once = OneFile();
  TapeBuilder_ns::Tape tape;
  while (tape.DurationSeconds() < minutes * 60)
    tape.Append(once);
  seconds = tape.DurationSeconds();
  return tape;
}

// Writes rendered samples as they come to a RAW file (signed) and a WAV file at 44100 Hz, so
// that a recording of hours takes no more of this program's memory than one of minutes.
class RecordingFiles final : public TapeBuilder_ns::SampleSink {
 public:
  RecordingFiles(const std::string& raw, const std::string& wav)
      : raw_(raw, std::ios::binary | std::ios::trunc),
        wav_(wav, std::ios::binary | std::ios::trunc) {
    WriteWavHeader();  // written again with the length once it is known
  }
  void Put(const int8_t* samples, size_t count) override {
    raw_.write(reinterpret_cast<const char*>(samples), static_cast<std::streamsize>(count));
    unsignedSamples_.resize(count);
    for (size_t i = 0; i < count; ++i)
      unsignedSamples_[i] = static_cast<char>(static_cast<uint8_t>(samples[i] + 128));
    wav_.write(unsignedSamples_.data(), static_cast<std::streamsize>(count));
    count_ += count;
  }
  // Completes both files; returns the number of samples.
  size_t Finish() {
    if (count_ % 2 != 0)
      wav_.put('\0');  // the pad byte after an odd-sized data chunk
    wav_.seekp(0);
    WriteWavHeader();
    raw_.close();
    wav_.close();
    if (!raw_ || !wav_) {
      std::fprintf(stderr, "cannot write the recording\n");
      std::exit(1);
    }
    return count_;
  }

 private:
  void WriteWavHeader() {
    const auto header =
        TapeBuilder_ns::WavHeader(44100, static_cast<uint32_t>(count_), count_ % 2 != 0);
    wav_.write(reinterpret_cast<const char*>(header.data()),
               static_cast<std::streamsize>(header.size()));
  }

  std::ofstream raw_;
  std::ofstream wav_;
  std::vector<char> unsignedSamples_;
  size_t count_ = 0;
};

// Renders about minutes of tape into bench.raw and bench.wav, a file of tape at a time.
size_t WriteSampleFiles(const std::string& folder, double minutes) {
  RecordingFiles files(folder + "/bench.raw", folder + "/bench.wav");
  TapeBuilder_ns::StreamRenderer renderer(TapeBuilder_ns::RenderOptions{}, &files);
  const auto once = OneFile();
  const double wanted = minutes * 60 * 44100;
  while (static_cast<double>(renderer.SamplesSoFar()) < wanted)
    renderer.Append(once);
  renderer.Finish();
  return files.Finish();
}

// Reads the file in large pieces and sums its bytes: the floor for any decoder.
double PlainScan(const std::string& path) {
  const auto start = Clock::now();
  FILE* file = std::fopen(path.c_str(), "rb");
  std::vector<unsigned char> buffer(1 << 16);
  size_t got = 0;
  unsigned long long sum = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    for (size_t i = 0; i < got; ++i)
      sum += buffer[i];
  }
  std::fclose(file);
  // Printed so that the sum cannot be optimised away.
  std::printf("  (byte sum %llu)\n", sum);
  return Seconds(start);
}

// The same, writing what it reads to the file at copy: the floor for the DC offset correction,
// which reads the recording once and writes it once.
double PlainScanAndWrite(const std::string& path, const std::string& copy) {
  const auto start = Clock::now();
  FILE* file = std::fopen(path.c_str(), "rb");
  FILE* output = std::fopen(copy.c_str(), "wb");
  std::vector<unsigned char> buffer(1 << 16);
  size_t got = 0;
  unsigned long long sum = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    for (size_t i = 0; i < got; ++i)
      sum += buffer[i];
    if (std::fwrite(buffer.data(), 1, got, output) != got) {
      std::fprintf(stderr, "cannot write %s\n", copy.c_str());
      std::exit(1);
    }
  }
  std::fclose(file);
  if (std::fclose(output) != 0) {
    std::fprintf(stderr, "cannot write %s\n", copy.c_str());
    std::exit(1);
  }
  std::printf("  (byte sum %llu)\n", sum);
  return Seconds(start);
}

// Corrects the DC offsets of a copy of the recording at path (made by PlainScanAndWrite, not
// timed) through the program's own function; returns the seconds that took.
double CorrectCopy(const std::string& path, const std::string& copy, bool wav) {
  PlainScanAndWrite(path, copy);
  SoundInput_ns::RAWSound raw;
  SoundInput_ns::WAVSound wave;
  SoundInput_ns::SoundBase& source = wav ? static_cast<SoundInput_ns::SoundBase&>(wave) : raw;
  const auto start = Clock::now();
  try {
    source.Open(copy);
    DCOffsetFunctions_ns::FixDCOffsets(source, copy);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "DC offset correction failed: %s\n", failure.what());
    std::exit(1);
  }
  return Seconds(start);
}

// Where the recordings go: a name for the folder and for a file in it.
struct Folder {
  std::string path;
  const std::string& Path() const { return path; }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

struct Decode {
  double seconds = 0;
  double peakMegabytes = 0;
};

Decode RunProgram(const std::string& folder, const std::string& name) {
  std::fflush(stdout);
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.c_str()) != 0 || !std::freopen("/dev/null", "w", stdout))
      _exit(127);
    execl(VARNSTOW_EXE, VARNSTOW_EXE, "-i", name.c_str(), "-c", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  Decode decode;
  decode.seconds = Seconds(start);
  decode.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "varnstow failed on %s\n", name.c_str());
    std::exit(1);
  }
  return decode;
}

void Report(const char* format, const char* unit, double count, const Decode& decode, double scan) {
  std::printf("%s: %.1f M %s\n", format, count / 1e6, unit);
  std::printf("  decode:             %.3f s, %.1f million %s/s\n", decode.seconds,
              count / decode.seconds / 1e6, unit);
  std::printf("  plain read-and-sum: %.3f s\n", scan);
  // A compressed file is read in no measurable time; the ratio then says nothing.
  if (scan >= 0.005) {
    std::printf("  ratio decode/scan:  %.1f\n", decode.seconds / scan);
  }
  std::printf("  peak resident:      %.1f MB\n", decode.peakMegabytes);
}

void ReportCorrection(const char* format, double count, double seconds, double scan) {
  std::printf("%s -d: %.1f M samples\n", format, count / 1e6);
  std::printf("  DC offset correction:          %.3f s, %.1f million samples/s\n", seconds,
              count / seconds / 1e6);
  std::printf("  plain read-and-sum with write: %.3f s\n", scan);
  std::printf("  ratio correction/plain:        %.1f\n", seconds / scan);
}

}  // namespace

int main(int argc, char* argv[]) {
  double minutes = 30;
  std::string only;
  std::string kept;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--keep") == 0)
      kept = argv[i + 1];
    if (std::strcmp(argv[i], "--minutes") == 0)
      minutes = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--only") == 0)
      only = argv[i + 1];
  }
  TestSupport::TempFolder temporary;
  const Folder folder{kept.empty() ? temporary.Path() : kept};
  std::printf("Generating %.1f minutes of tape...\n", minutes);
  size_t sampleCount = 0;
  size_t pulseCount = 0;
  {
    // Freed before the program is started, so that none of it counts as the child's memory.
    if (only.empty() || only == "raw" || only == "wav" || only == "dc")
      sampleCount = WriteSampleFiles(folder.Path(), minutes);
    if (only.empty() || only == "csw") {
      double seconds = 0;
      const auto tape = Recording(minutes, seconds);
      const auto pulses = TapeBuilder_ns::RenderPulses(tape, 44100);
      pulseCount = pulses.lengths.size();
      TapeBuilder_ns::WriteCsw(folder / "bench.csw", pulses, 44100,
                               TapeBuilder_ns::CswCompression::ZRle);
    }
  }
  // The child's peak memory includes what this process held when it forked: give back the
  // generator's memory first.
  malloc_trim(0);
  for (const char* format : {"raw", "wav", "csw"}) {
    if (!only.empty() && only != format)
      continue;
    const std::string name = std::string("bench.") + format;
    PlainScan(folder / name);  // once to bring the file into the cache
    const double scan = PlainScan(folder / name);
    const Decode decode = RunProgram(folder.Path(), name);
    const bool pulses = std::strcmp(format, "csw") == 0;
    Report(format, pulses ? "pulses" : "samples",
           static_cast<double>(pulses ? pulseCount : sampleCount), decode, scan);
  }
  if (only.empty() || only == "dc") {
    for (const char* format : {"raw", "wav"}) {
      const std::string name = folder / (std::string("bench.") + format);
      const std::string copy = folder / (std::string("copy.") + format);
      PlainScanAndWrite(name, copy);  // once to bring the file into the cache
      const double scan = PlainScanAndWrite(name, copy);
      const double seconds = CorrectCopy(name, copy, std::strcmp(format, "wav") == 0);
      ReportCorrection(format, static_cast<double>(sampleCount), seconds, scan);
    }
  }
  return 0;
}
