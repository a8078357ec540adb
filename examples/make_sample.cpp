// Writes the bundled sample recording: a two-line BBC BASIC program and a small data file,
// recorded as a tape would be, as 8-bit signed RAW samples at 44100 Hz.
//
// Usage: make_sample OUTPUT.raw
#include <cstdio>
#include <string>
#include <vector>

#include "support/TapeBuilder.h"

namespace {

// 10 PRINT "HELLO FROM VARNSTOW"
// 20 END
// in BBC BASIC's stored form: each line is 0x0D, the line number (high byte first), the
// line's length and its tokens; 0x0D 0xFF ends the program.
std::vector<uint8_t> BasicProgram() {
  const std::string text = "\"HELLO FROM VARNSTOW\"";
  std::vector<uint8_t> line10 = {0xF1, ' '};  // PRINT
  line10.insert(line10.end(), text.begin(), text.end());
  std::vector<uint8_t> program = {0x0D, 0x00, 10, static_cast<uint8_t>(line10.size() + 4)};
  program.insert(program.end(), line10.begin(), line10.end());
  const std::vector<uint8_t> line20 = {0x0D, 0x00, 20, 5, 0xE0};  // END
  program.insert(program.end(), line20.begin(), line20.end());
  program.push_back(0x0D);
  program.push_back(0xFF);
  return program;
}

std::vector<uint8_t> Scores() {
  std::vector<uint8_t> data;
  for (int i = 0; i < 300; ++i)
    data.push_back(static_cast<uint8_t>((i * 37) & 0xFF));
  return data;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample OUTPUT.raw\n");
    return 2;
  }
  const auto tape = TapeBuilder_ns::StandardTape(
      {{"HELLO", 0xFFFF1900, 0xFFFF8023, BasicProgram()}, {"SCORES", 0x3000, 0x3000, Scores()}});
  TapeBuilder_ns::RenderOptions options;
  options.noiseStdDev = 2;  // a little hiss, as on any real recording
  TapeBuilder_ns::WriteRaw(argv[1], TapeBuilder_ns::RenderSamples(tape, options), true);
  return 0;
}
