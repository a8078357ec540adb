#include "tool/Uef_player.h"

#include <cmath>
#include <ostream>
#include <set>
#include <sstream>
#include <string>

#include "tool/Tool_support.h"

namespace Tool_ns {

namespace {

constexpr double kNominalBaseHz = 1200.0;
constexpr uint8_t kDummyByte = 0xAA;

class Player {
 public:
  Player(WaveTarget& target, std::ostream* warnings) : target_(target), warnings_(warnings) {}

  void Play(const UefChunk& chunk) {
    chunk_ = &chunk;
    switch (chunk.id) {
      case 0x0100:
        for (uint32_t i = 0; i < chunk.length; ++i)
          Byte(chunk.Byte(i), 8, 'N', 1);
        break;
      case 0x0102:
        ExplicitBits();
        break;
      case 0x0104:
        DefinedFormat();
        break;
      case 0x0110:
        Need(2);
        HighTone(chunk.Le16(0));
        break;
      case 0x0111:
        Need(4);
        HighTone(chunk.Le16(0));
        Byte(kDummyByte, 8, 'N', 1);
        HighTone(chunk.Le16(2));
        break;
      case 0x0112:
        Need(2);
        Gap(chunk.Le16(0) / (2.0 * baseHz_));
        break;
      case 0x0113:
        BaseFrequency();
        break;
      case 0x0114:
        SecurityCycles();
        break;
      case 0x0116:
        Need(4);
        Gap(chunk.Float(0));
        break;
      case 0x0117:
        Need(2);
        if (chunk.Le16(0) != 300 && chunk.Le16(0) != 1200)
          Fail("a baud rate of " + std::to_string(chunk.Le16(0)) + " (only 300 and 1200 are " +
               "rendered)");
        baud_ = chunk.Le16(0);
        break;
      default:
        if (!IsInformationChunk(chunk.id) && warned_.insert(chunk.id).second &&
            warnings_ != nullptr) {
          *warnings_ << "varnstow-tool: warning: skipping chunk " << Id() << " ("
                     << ChunkName(chunk.id) << ") at offset " << OffsetText(chunk.offset)
                     << ", and any later ones like it\n";
        }
        break;
    }
  }

 private:
  std::string Id() const { return "0x" + Hex(chunk_->id, 4); }

  [[noreturn]] void Fail(const std::string& what) const {
    throw ToolError("chunk " + Id() + " at offset " + OffsetText(chunk_->offset) + ": " + what);
  }

  void Need(uint32_t length) const {
    if (chunk_->length < length)
      Fail("it is " + std::to_string(chunk_->length) + " bytes long, too short for its " +
           std::to_string(length) + " bytes of fields");
  }

  void HighTone(uint64_t cycles) { target_.Tone(2.0 * baseHz_, 2 * cycles); }

  void Bit(bool one) {
    const uint64_t cyclesPerBit = baud_ == 300 ? 4 : 1;
    if (one)
      target_.Tone(2.0 * baseHz_, 4 * cyclesPerBit);
    else
      target_.Tone(baseHz_, 2 * cyclesPerBit);
  }

  void Byte(unsigned value, unsigned dataBits, char parity, int stopBits) {
    Bit(false);
    unsigned ones = 0;
    for (unsigned bit = 0; bit < dataBits; ++bit) {
      const bool one = ((value >> bit) & 1u) != 0;
      ones += one ? 1u : 0u;
      Bit(one);
    }
    if (parity == 'E')
      Bit(ones % 2 == 1);
    else if (parity == 'O')
      Bit(ones % 2 == 0);
    for (int i = 0; i < std::abs(stopBits); ++i)
      Bit(true);
    if (stopBits < 0)
      HighTone(1);
  }

  void DefinedFormat() {
    Need(3);
    const unsigned dataBits = chunk_->Byte(0);
    const char parity = static_cast<char>(chunk_->Byte(1));
    const int stopBits = static_cast<int8_t>(chunk_->Byte(2));
    if (dataBits < 1 || dataBits > 8)
      Fail(std::to_string(dataBits) + " data bits per byte (1 to 8 are rendered)");
    if (parity != 'N' && parity != 'E' && parity != 'O')
      Fail("parity " + std::to_string(chunk_->Byte(1)) + " (only 'N', 'E' and 'O' are known)");
    for (uint32_t i = 3; i < chunk_->length; ++i)
      Byte(chunk_->Byte(i), dataBits, parity, stopBits);
  }

  void ExplicitBits() {
    Need(1);
    const uint32_t unused = chunk_->Byte(0);
    const uint64_t bits = uint64_t{chunk_->length - 1} * 8;
    if (unused > 7 || unused > bits)
      Fail(std::to_string(unused) + " unused bits in the last byte (0 to 7, and no more than " +
           "the chunk holds)");
    for (uint64_t i = 0; i < bits - unused; ++i)
      Bit(((static_cast<unsigned>(chunk_->Byte(static_cast<uint32_t>(1 + i / 8))) >> (i % 8)) &
           1u) != 0);
  }

  void BaseFrequency() {
    Need(4);
    const float hz = chunk_->Float(0);
    if (hz == 0.0f)
      return;
    if (!(hz >= 100.0f && hz <= 10000.0f)) {
      std::ostringstream text;
      text << "a base frequency of " << hz << " Hz (100 to 10000 Hz are rendered)";
      Fail(text.str());
    }
    baseHz_ = static_cast<double>(hz);
  }

  void SecurityCycles() {
    Need(5);
    const uint32_t count = chunk_->Le24(0);
    const char first = static_cast<char>(chunk_->Byte(3));
    const char last = static_cast<char>(chunk_->Byte(4));
    // 'P' marks a half cycle; 'W', and any other mark an image may hold, a whole one, as
    // emulators play them (they refuse no image for it).
    const uint64_t needed = 5 + (static_cast<uint64_t>(count) + 7) / 8;
    if (chunk_->length < needed)
      Fail(std::to_string(count) + " cycles declared, but the chunk holds bits for only " +
           std::to_string((chunk_->length - 5) * 8u));
    for (uint32_t i = 0; i < count; ++i) {
      const unsigned bits = chunk_->Byte(5 + i / 8);
      const bool one = ((bits >> (7u - i % 8u)) & 1u) != 0;
      uint64_t halves = 2;
      if (i == 0 && first == 'P')
        --halves;
      if (i + 1 == count && last == 'P' && halves > 0)
        --halves;
      target_.Tone(one ? 2.0 * baseHz_ : baseHz_, halves);
    }
  }

  void Gap(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0)
      Fail("a gap that is not a length of time");
    if (seconds > kLongestGapSeconds) {
      std::ostringstream text;
      text << "a gap of " << seconds << " seconds is longer than an hour";
      Fail(text.str());
    }
    target_.Silence(seconds);
  }

  WaveTarget& target_;
  std::ostream* warnings_;
  const UefChunk* chunk_ = nullptr;
  double baseHz_ = kNominalBaseHz;
  unsigned baud_ = 1200;
  std::set<uint16_t> warned_;
};

}  // namespace

void PlayImage(const UefImage& image, WaveTarget& target, std::ostream* warnings) {
  Player player(target, warnings);
  UefChunks chunks(image);
  UefChunk chunk;
  while (chunks.Next(chunk))
    player.Play(chunk);
  if (!chunks.Damage().empty())
    throw ToolError("the image is damaged: " + chunks.Damage());
}

}  // namespace Tool_ns
