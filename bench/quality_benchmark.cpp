// How many blocks come back from damaged recordings: renders a tape of known blocks with one
// fault (or several) at rising severity, writes it as the recording a user would have, and
// counts the blocks that recover's passes give back byte for byte, for the demodulator's pass
// alone (the best of them, on a stereo recording) and for all of recover's passes merged. A figure,
// not a test: it prints a table.
//
//   build/bench/quality_benchmark                     # every fault, 3 seeds
//   build/bench/quality_benchmark --only treble       # the faults whose name holds "treble"
//   build/bench/quality_benchmark --seeds 5 --demod   # the demodulator alone (quicker)
//   build/bench/quality_benchmark --first-seed 101    # other tapes and noise, held out from
//                                                     # those a change was tuned on
//
// Faults sweep one at a time over a hiss 12 dB below the tone (an 8-bit capture of a good
// tape has less; a worn one more), so that each fault's effect shows where it meets noise;
// the noise sweep has no other fault, and the mixtures put several together.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "Bench_support.h"
#include "render/Tape_builder.h"
#include "support/Temp_folder.h"
#include "tool/Recover.h"

namespace {

using namespace TapeBuilder_ns;

constexpr double kHissDb = 12.0;

std::vector<uint8_t> Data(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> data(count);
  for (uint8_t& byte : data)
    byte = static_cast<uint8_t>(random());
  return data;
}

// Three files of eleven blocks in all, their data differing from seed to seed.
std::vector<FileSpec> Files(uint32_t seed) {
  return {FileSpec{"LOADER", 0x1900, 0x1900, Data(700, seed * 3)},
          FileSpec{"GAME", 0x1100, 0x8023, Data(1024, seed * 3 + 1)},
          FileSpec{"LEVELS", 0x3000, 0x3000, Data(900, seed * 3 + 2)}};
}

// How a scenario's recording is stored: an 8-bit mono WAV file (which recover also reads with
// the converter's passes), or a 16-bit stereo WAV file (the demodulator's passes alone).
enum class Capture { kEightBit, kSixteenBitStereo };

struct Scenario {
  std::string fault;
  std::string severity;
  std::function<void(RenderOptions&)> apply;
  Capture capture = Capture::kEightBit;
};

RenderOptions Hiss(double db = kHissDb) {
  RenderOptions options;
  options.noiseStdDev = NoiseStdDevForSnr(options.amplitude, options.shape, db);
  return options;
}

std::string Text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> all;
  auto add = [&](const std::string& fault, const std::string& severity,
                 std::function<void(RenderOptions&)> apply, Capture capture = Capture::kEightBit) {
    all.push_back({fault, severity, std::move(apply), capture});
  };
  for (double db : {6.0, 3.0, 1.0, 0.0, -1.0, -2.0, -3.0})
    add("white noise", Text(db) + " dB", [db](RenderOptions& o) { o = Hiss(db); });
  for (double hz : {3000.0, 2000.0, 1500.0, 1000.0, 700.0})
    add("treble loss, 1st order", Text(hz) + " Hz", [hz](RenderOptions& o) {
      o = Hiss();
      o.faults.trebleCutHz = hz;
    });
  for (double hz : {3000.0, 2000.0, 1500.0, 1200.0, 1000.0})
    add("treble loss, 2nd order", Text(hz) + " Hz", [hz](RenderOptions& o) {
      o = Hiss();
      o.faults.trebleCutHz = hz;
      o.faults.trebleOrder = 2;
    });
  for (double hz : {600.0, 1000.0, 1500.0, 2500.0})
    add("bass loss", Text(hz) + " Hz", [hz](RenderOptions& o) {
      o = Hiss();
      o.faults.bassCutHz = hz;
    });
  for (double db : {10.0, 3.0, 0.0, -6.0})
    add("hum 50 Hz", Text(db) + " dB", [db](RenderOptions& o) {
      o = Hiss();
      o.amplitude = 40;
      o.noiseStdDev = NoiseStdDevForSnr(o.amplitude, o.shape, kHissDb);
      o.faults.humLevel = std::pow(10.0, -db / 20.0);
      o.faults.humFrequencyHz = 50;
    });
  for (double rate : {2.0, 5.0, 10.0, 20.0})
    add("clicks, 3x the peak", Text(rate) + "/s", [rate](RenderOptions& o) {
      o = Hiss();
      o.faults.clicksPerSecond = rate;
      o.faults.clickLevel = 3.0;
    });
  // Fades over the hiss of a good tape (30 dB): at 12 dB a fade of 20 dB buries the signal.
  for (double db : {10.0, 20.0, 30.0, 40.0})
    add("fades 1/s, hiss 30 dB", Text(db) + " dB", [db](RenderOptions& o) {
      o = Hiss(30);
      o.faults.fadesPerSecond = 1.0;
      o.faults.fadeDepthDb = db;
    });
  // One drop-out every 3.7 s: about one block in two has one, which loses its bits; the
  // blocks after it must not be lost.
  for (double ms : {0.5, 1.0, 2.0, 5.0, 20.0})
    add("drop-outs every 3.7 s", Text(ms) + " ms", [ms](RenderOptions& o) {
      o = Hiss();
      for (double at = 2.3; at < 60.0; at += 3.7)
        o.dropouts.push_back({at, ms / 1000.0});
    });
  for (double hz : {10.0, 20.0, 30.0}) {
    for (double depth : {1.0, 2.0, 2.5, 3.0})
      add("flutter " + Text(hz) + " Hz", Text(depth) + "%", [hz, depth](RenderOptions& o) {
        o = Hiss();
        o.flutterDepth = depth / 100.0;
        o.flutterFrequencyHz = hz;
      });
  }
  for (double depth : {3.0, 6.0, 10.0})
    add("wow 0.7 Hz", Text(depth) + "%", [depth](RenderOptions& o) {
      o = Hiss();
      o.wowDepth = depth / 100.0;
      o.wowFrequencyHz = 0.7;
    });
  for (double speed : {-12.0, -8.0, -4.0, 4.0, 8.0, 12.0})
    add("speed", Text(speed) + "%", [speed](RenderOptions& o) {
      o = Hiss();
      o.speed = 1.0 + speed / 100.0;
    });
  for (double jitter : {8.0, 15.0, 25.0, 35.0})
    add("cycle jitter", Text(jitter) + "%", [jitter](RenderOptions& o) {
      o = Hiss();
      o.jitter = jitter / 100.0;
    });
  for (double phase : {90.0, 180.0, 270.0})
    add("phase", Text(phase) + " deg", [phase](RenderOptions& o) {
      o = Hiss();
      o.phaseDegrees = phase;
    });
  add("square waves", "", [](RenderOptions& o) {
    o = Hiss();
    o.shape = WaveShape::Square;
    o.noiseStdDev = NoiseStdDevForSnr(o.amplitude, o.shape, kHissDb);
  });
  for (double times : {3.0, 10.0})
    add("clipping", Text(times) + "x", [times](RenderOptions& o) {
      o = Hiss();
      o.amplitude = 40;
      o.noiseStdDev = NoiseStdDevForSnr(o.amplitude, o.shape, kHissDb);
      o.amplitude *= times;
    });
  for (double level : {50.0, 100.0, 200.0})
    add("DC drift 3 Hz", Text(level) + "% of peak", [level](RenderOptions& o) {
      o = Hiss();
      o.amplitude = 30;
      o.noiseStdDev = NoiseStdDevForSnr(o.amplitude, o.shape, kHissDb);
      o.driftAmplitude = o.amplitude * level / 100.0;
      o.driftFrequencyHz = 3;
    });
  for (double db : {10.0, 6.0, 3.0})
    add("echo 1 ms", Text(db) + " dB", [db](RenderOptions& o) {
      o = Hiss();
      o.faults.echoSeconds = 0.001;
      o.faults.echoLevel = std::pow(10.0, -db / 20.0);
    });
  for (uint32_t rate : {22050u, 11025u, 8000u})
    add("low rate, noise 8 dB", Text(rate) + " Hz", [rate](RenderOptions& o) {
      o = Hiss(8);
      o.sampleRate = rate;
    });
  // A worn tape: several faults at once, each scaled by the severity.
  for (double s : {0.5, 1.0, 1.5, 2.0})
    add("worn tape mixture", "x" + Text(s), [s](RenderOptions& o) {
      o = Hiss(16 - 4 * s);
      o.faults.trebleCutHz = 3000 / (0.5 + s);
      o.faults.trebleOrder = 2;
      o.flutterDepth = 0.008 * s;
      o.flutterFrequencyHz = 12;
      o.wowDepth = 0.01 * s;
      o.wowFrequencyHz = 0.5;
      o.speed = 1.0 - 0.02 * s;
      o.faults.fadesPerSecond = 0.5;
      o.faults.fadeDepthDb = 8 * s;
      o.faults.humLevel = 0.05 * s;
      o.faults.clicksPerSecond = s;
      o.faults.clickLevel = 2.0;
      o.jitter = 0.05 * s;
    });
  // A 16-bit stereo capture at 48 kHz, 30 dB below full scale, with hum and hiss.
  for (double db : {12.0, 8.0, 5.0})
    add(
        "16-bit stereo 48 kHz, hum", "hiss " + Text(db) + " dB",
        [db](RenderOptions& o) {
          o = Hiss(db);
          o.sampleRate = 48000;
          o.faults.humLevel = 0.3;
          o.faults.trebleCutHz = 5000;
        },
        Capture::kSixteenBitStereo);
  return all;
}

// A 16-bit stereo WAV: the left channel as rendered, the right upside down and weaker, each
// at about 30 dB below full scale.
void WriteStereoWav(const std::string& path, const std::vector<float>& left,
                    const std::vector<float>& right, uint32_t rate) {
  std::string bytes;
  auto le = [&](uint32_t value, int count) {
    for (int k = 0; k < count; ++k)
      bytes += static_cast<char>(value >> (8 * k) & 0xFF);
  };
  const auto data = static_cast<uint32_t>(left.size() * 4);
  bytes += "RIFF";
  le(36 + data, 4);
  bytes += "WAVEfmt ";
  le(16, 4);
  le(1, 2);
  le(2, 2);
  le(rate, 4);
  le(rate * 4, 4);
  le(4, 2);
  le(16, 2);
  bytes += "data";
  le(data, 4);
  for (size_t i = 0; i < left.size(); ++i) {
    for (float value : {left[i], right[i]}) {
      const long sample = std::lround(std::max(-32768.0f, std::min(32767.0f, value * 8.0f)));
      le(static_cast<uint32_t>(sample) & 0xFFFF, 2);
    }
  }
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Count {
  size_t expected = 0;
  size_t demodulator = 0;
  size_t recovered = 0;
  size_t wrong = 0;  // blocks given that passed their checks but are not blocks of the tape
};

// How many of the expected blocks are among those found, each found block matching one.
size_t Matching(const std::vector<std::vector<uint8_t>>& expected,
                std::vector<std::vector<uint8_t>> found, size_t* wrong) {
  for (std::vector<uint8_t>& bytes : found) {
    const size_t length = Tool_ns::IdentifyBlock(bytes).length;
    if (length <= bytes.size())
      bytes.resize(length);
  }
  size_t matched = 0;
  std::vector<bool> used(found.size(), false);
  for (size_t e = 0; e < expected.size(); ++e) {
    bool seen = false;
    for (size_t k = 0; k < found.size() && !seen; ++k) {
      if (!used[k] && found[k] == expected[e]) {
        used[k] = true;
        ++matched;
        seen = true;
      }
    }
    if (!seen && std::getenv("QUALITY_VERBOSE") != nullptr)
      std::fprintf(stderr, "  block %zu of the tape missed\n", e);
  }
  if (wrong != nullptr) {
    for (size_t k = 0; k < found.size(); ++k)
      *wrong += used[k] ? 0u : 1u;
  }
  return matched;
}

Count Run(const Scenario& scenario, uint32_t seed, bool demodulatorOnly,
          const TestSupport::TempFolder& folder) {
  const std::vector<FileSpec> files = Files(seed);
  std::vector<std::vector<uint8_t>> expected;
  for (const FileSpec& file : files) {
    for (const BlockSpec& block : FileBlocks(file.name, file.load, file.exec, file.data))
      expected.push_back(BlockBytes(block));
  }
  RenderOptions options;
  scenario.apply(options);
  options.noiseSeed = seed;
  const Tape tape = StandardTape(files);

  Tool_ns::RecordingSettings recording;
  recording.kind = Tool_ns::RecordingKind::kWav;
  std::vector<Tool_ns::PassSettings> passes;
  if (scenario.capture == Capture::kEightBit) {
    recording.name = folder / "tape.wav";
    WriteWav(recording.name, RenderSamples(tape, options), options.sampleRate);
    if (!demodulatorOnly)
      passes = Tool_ns::PassesFor(recording.kind);
    passes.push_back(Tool_ns::DemodulatorPasses(1).front());
  } else {
    recording.name = folder / "tape16.wav";
    const std::vector<float> left = RenderFloatSamples(tape, options);
    RenderOptions other = options;
    other.noiseSeed = seed + 1000;
    other.amplitude *= 0.6;
    other.noiseStdDev *= 0.6;
    std::vector<float> right = RenderFloatSamples(tape, other);
    for (float& value : right)
      value = -value;
    WriteStereoWav(recording.name, left, right, options.sampleRate);
    passes = Tool_ns::DemodulatorPasses(2);
  }

  std::vector<Tool_ns::PassResult> results;
  Count count;
  count.expected = expected.size();
  for (const Tool_ns::PassSettings& pass : passes) {
    if (pass.demodulator) {
      results.push_back(Tool_ns::RunDemodulatorPass(recording, pass, std::cerr));
      // The best of the demodulator's passes (one for a mono recording).
      std::vector<std::vector<uint8_t>> found;
      for (const Tool_ns::FoundBlock& block : results.back().blocks)
        found.push_back(block.bytes);
      count.demodulator = std::max(count.demodulator, Matching(expected, found, nullptr));
    } else {
      results.push_back(Tool_ns::RunPass(recording, pass));
    }
  }
  const Tool_ns::Recovery recovery = Tool_ns::MergePasses(std::move(results));
  std::vector<std::vector<uint8_t>> merged;
  for (const Tool_ns::MergedBlock& block : recovery.blocks)
    merged.push_back(block.bytes);
  count.recovered = Matching(expected, merged, &count.wrong);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  int seeds = 3;
  int firstSeed = 1;
  bool demodulatorOnly = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seeds" && i + 1 < argc) {
      seeds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--first-seed" && i + 1 < argc) {
      firstSeed = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--demod") {
      demodulatorOnly = true;
    } else {
      std::cerr
          << "usage: quality_benchmark [--seeds N] [--first-seed N] [--only TEXT] [--demod]\n";
      return 2;
    }
  }
  TestSupport::TempFolder folder;
  const auto start = Bench_ns::Clock::now();
  Count total;
  std::printf("%-28s %-14s %13s %13s %6s\n", "fault", "severity", "demodulator",
              demodulatorOnly ? "" : "recover", demodulatorOnly ? "" : "wrong");
  for (const Scenario& scenario : Scenarios()) {
    if (!only.empty() && (scenario.fault + " " + scenario.severity).find(only) == std::string::npos)
      continue;
    Count sum;
    for (int seed = firstSeed; seed < firstSeed + seeds; ++seed) {
      const Count count = Run(scenario, static_cast<uint32_t>(seed), demodulatorOnly, folder);
      sum.expected += count.expected;
      sum.demodulator += count.demodulator;
      sum.recovered += count.recovered;
      sum.wrong += count.wrong;
    }
    char demod[32], recovered[32];
    std::snprintf(demod, sizeof demod, "%zu/%zu", sum.demodulator, sum.expected);
    std::snprintf(recovered, sizeof recovered, "%zu/%zu", sum.recovered, sum.expected);
    std::printf("%-28s %-14s %13s %13s %6s\n", scenario.fault.c_str(), scenario.severity.c_str(),
                demod, demodulatorOnly ? "" : recovered,
                demodulatorOnly ? "" : std::to_string(sum.wrong).c_str());
    std::fflush(stdout);
    total.expected += sum.expected;
    total.demodulator += sum.demodulator;
    total.recovered += sum.recovered;
    total.wrong += sum.wrong;
  }
  std::printf("demodulator: %zu of %zu blocks (%.1f%%)", total.demodulator, total.expected,
              100.0 * static_cast<double>(total.demodulator) / static_cast<double>(total.expected));
  if (!demodulatorOnly)
    std::printf("; recover: %zu (%.1f%%), %zu wrong", total.recovered,
                100.0 * static_cast<double>(total.recovered) / static_cast<double>(total.expected),
                total.wrong);
  std::printf("\n%.1f s\n", Bench_ns::Seconds(start));
  return 0;
}
