// Writes the bundled sample tape image: a two-line BBC BASIC program and a small data file,
// laid out as varnstow lays out the images it writes. scripts/make-sample.sh then renders it
// as the bundled recording, examples/sample.csw.
//
// Usage: make_sample OUTPUT.uef
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "render/Tape_builder.h"
#include "uef/Wave_analysis.h"

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

std::vector<uint8_t> Le16(uint16_t value) {
  return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample OUTPUT.uef\n");
    return 2;
  }
  try {
    UEFFormat_ns::UEFFormatWriting image;
    image.OpenImage(argv[1], 10, 0);
    const std::string origin = std::string("Varnstow sample tape") + '\0';
    image.WriteChunk(UEFFormat_ns::kOriginChunk, static_cast<uint32_t>(origin.size()),
                     reinterpret_cast<const uint8_t*>(origin.data()));

    // Carrier before each block (the first with the dummy byte in it), then after each file
    // a long carrier and a 10-second gap, as the converter writes them.
    const std::vector<TapeBuilder_ns::FileSpec> files = {
        {"HELLO", 0xFFFF1900, 0xFFFF8023, BasicProgram()}, {"SCORES", 0x3000, 0x3000, Scores()}};
    bool first = true;
    for (const auto& file : files) {
      for (const auto& block :
           TapeBuilder_ns::FileBlocks(file.name, file.load, file.exec, file.data)) {
        if (first) {
          std::vector<uint8_t> carrier = Le16(2400);
          const std::vector<uint8_t> after = Le16(9600);
          carrier.insert(carrier.end(), after.begin(), after.end());
          image.WriteChunk(UEFFormat_ns::kCarrierWithDummyByteChunk, 4, carrier.data());
          first = false;
        } else {
          image.WriteChunk(UEFFormat_ns::kCarrierToneChunk, 2, Le16(2400).data());
        }
        const std::vector<uint8_t> bytes = TapeBuilder_ns::BlockBytes(block);
        image.WriteChunk(UEFFormat_ns::kImplicitDataChunk, static_cast<uint32_t>(bytes.size()),
                         bytes.data());
      }
      image.WriteChunk(UEFFormat_ns::kCarrierToneChunk, 2, Le16(12000).data());
      const uint8_t tenSeconds[4] = {0x00, 0x00, 0x20, 0x41};  // 10.0 as a float
      image.WriteChunk(UEFFormat_ns::kFloatGapChunk, 4, tenSeconds);
    }
    UEFFormat_ns::SaveImage(image, false);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_sample: %s\n", error.what());
    return 1;
  }
  return 0;
}
