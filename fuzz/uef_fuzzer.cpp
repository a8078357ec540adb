// The companion tool's UEF reader on arbitrary images: reading (plain or gzip-compressed),
// walking the chunks, playing them as waves and listing them. Every chunk found must lie
// within the image, one after the other; a damaged image may only be refused with the tool's
// own failure, never crash, hang or read outside what it holds.
#include <cstdint>
#include <sstream>
#include <string>

#include "Fuzz_support.h"
#include "tool/Commands.h"
#include "tool/Uef_player.h"
#include "tool/Uef_reader.h"

namespace {

using Fuzz_ns::Check;

// Counts what the player gives, and stops a tape that would take more than a day to play.
class CountingTarget final : public Tool_ns::WaveTarget {
 public:
  void Tone(double frequencyHz, uint64_t halfCycles) override {
    Check(frequencyHz > 0.0, "a tone has a positive frequency");
    seconds_ += static_cast<double>(halfCycles) / (2.0 * frequencyHz);
    CheckLength();
  }
  void Silence(double seconds) override {
    Check(seconds >= 0.0, "silence does not last less than nothing");
    seconds_ += seconds;
    CheckLength();
  }

 private:
  void CheckLength() {
    if (seconds_ > 86400.0) {
      throw Tool_ns::ToolError("longer than a day");
    }
  }
  double seconds_ = 0.0;
};

void WalkChunks(const Tool_ns::UefImage& image) {
  Tool_ns::UefChunks chunks(image);
  Tool_ns::UefChunk chunk;
  size_t next = Tool_ns::kUefHeaderLength;
  while (chunks.Next(chunk)) {
    Check(chunk.offset == next, "each chunk follows the one before");
    const auto* start = reinterpret_cast<const uint8_t*>(image.bytes.data());
    Check(chunk.data == start + chunk.offset + 6, "a chunk's data follows its head");
    Check(chunk.offset + 6 + uint64_t{chunk.length} <= image.bytes.size(),
          "a chunk lies within the image");
    next = chunk.offset + 6 + chunk.length;
  }
  Check(!chunks.Damage().empty() || next == image.bytes.size(),
        "an image without damage is read to its end");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Tool_ns::UefImage image;
  try {
    image = Tool_ns::UefImageFromBytes(bytes, "fuzz.uef");
  } catch (const Tool_ns::ToolError&) {
    return 0;
  }
  Check(image.bytes.size() >= Tool_ns::kUefHeaderLength, "an image has its header");
  Check(image.bytes.size() <= Tool_ns::kLargestImage, "an image is not larger than allowed");
  WalkChunks(image);

  CountingTarget target;
  std::ostringstream warnings;
  try {
    Tool_ns::PlayImage(image, target, &warnings);
  } catch (const Tool_ns::ToolError&) {
  }

  std::istringstream in(bytes);
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  try {
    const int status = Tool_ns::ListCommand({"-"}, io);
    Check(status == 0 || status == 1, "list ends with status 0 or 1");
  } catch (const Tool_ns::ToolError&) {
  }
  return 0;
}
