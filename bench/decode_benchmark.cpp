// Measures the decoding speed of the real program against a plain read of the same bytes.
//
// Generates a tape recording of the given length (30 minutes at 44100 Hz by default, about
// 80 MB), runs varnstow on it and prints samples per second for the decode and for a plain
// read-and-sum of the file, their ratio, and the program's peak resident memory.
//
// Usage: varnstow_benchmark [--minutes N] [--format raw] [--keep FOLDER]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/TapeBuilder.h"
#include "support/TempFolder.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A recording of about minutes of tape: files of 8 KiB each, one after another.
std::vector<int8_t> Recording(double minutes) {
  std::vector<uint8_t> data(8192);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 37 + i / 256);
  const auto once = TapeBuilder_ns::RenderSamples(
      TapeBuilder_ns::StandardTape({{"BENCH", 0x1900, 0x1900, data}}), {});
  const auto wanted = static_cast<size_t>(minutes * 60 * 44100);
  std::vector<int8_t> samples;
  samples.reserve(wanted + once.size());
  while (samples.size() < wanted)
    samples.insert(samples.end(), once.begin(), once.end());
  return samples;
}

// Reads the file in large pieces and sums its bytes: the floor for any decoder.
double PlainScan(const std::string& path, unsigned long long& sum) {
  const auto start = Clock::now();
  FILE* file = std::fopen(path.c_str(), "rb");
  std::vector<unsigned char> buffer(1 << 16);
  size_t got = 0;
  sum = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    for (size_t i = 0; i < got; ++i)
      sum += buffer[i];
  }
  std::fclose(file);
  return Seconds(start);
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
  std::printf("Generating %.1f minutes of tape at 44100 Hz...\n", minutes);
  size_t sampleCount = 0;
  {
    // Freed before the program is started, so that none of it counts as the child's memory.
    const auto samples = Recording(minutes);
    sampleCount = samples.size();
    TapeBuilder_ns::WriteRaw(raw, samples, true);
  }

  unsigned long long sum = 0;
  PlainScan(raw, sum);  // once to bring the file into the cache
  const double scan = PlainScan(raw, sum);

  std::fflush(stdout);
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.Path().c_str()) != 0 || !std::freopen("/dev/null", "w", stdout))
      _exit(127);
    execl(VARNSTOW_EXE, VARNSTOW_EXE, "-i", "bench.raw", "-c", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double decode = Seconds(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "varnstow failed\n");
    return 1;
  }

  const double count = static_cast<double>(sampleCount);
  std::printf("samples:            %zu (%.1f MB)\n", sampleCount, count / 1e6);
  std::printf("decode:             %.3f s, %.1f million samples/s\n", decode, count / decode / 1e6);
  std::printf("plain read-and-sum: %.3f s, %.1f million samples/s (sum %llu)\n", scan,
              count / scan / 1e6, sum);
  std::printf("ratio decode/scan:  %.1f\n", decode / scan);
  std::printf("peak resident:      %.1f MB\n", static_cast<double>(usage.ru_maxrss) / 1024);
  return 0;
}
