// varnstow-tool histogram, run in-process on recordings made by the renderer.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <map>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "blocks/Bits_and_bytes.h"
#include "render/Tape_builder.h"
#include "support/Process.h"
#include "support/Temp_folder.h"
#include "tool/Commands.h"

namespace {

using namespace TapeBuilder_ns;
using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using TestSupport::WriteFile;

// ---------------------------------------------------------------------------
// A strict reader of the XML the picture must be: one root, balanced tags, quoted attributes
// given once each, entities only where '&' appears, no '<' in values, well-formed UTF-8.

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;  // its own text, entities decoded

  bool HasClass(const std::string& wanted) const {
    const auto found = attributes.find("class");
    return found != attributes.end() &&
           (" " + found->second + " ").find(" " + wanted + " ") != std::string::npos;
  }
  uint64_t Number(const std::string& attribute) const {
    const auto found = attributes.find(attribute);
    if (found == attributes.end())
      throw std::runtime_error(name + " has no " + attribute);
    return std::stoull(found->second);
  }
  double Real(const std::string& attribute) const { return std::stod(attributes.at(attribute)); }
};

struct Document {
  std::vector<Element> elements;  // in document order; the root first
  std::string error;              // empty when well-formed

  std::vector<Element> WithClass(const std::string& name) const {
    std::vector<Element> found;
    for (const Element& element : elements) {
      if (element.HasClass(name))
        found.push_back(element);
    }
    return found;
  }
};

// No overlong forms, no surrogates, nothing beyond U+10FFFF.
bool WellFormedUtf8(const std::string& text) {
  auto at = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned lead = at(i);
    if (lead < 0x80)
      continue;
    const size_t more = lead >= 0xC2 && lead <= 0xDF   ? 1
                        : lead >= 0xE0 && lead <= 0xEF ? 2
                        : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                       : 0;
    const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (more == 0 || at(i + 1) < low || at(i + 1) > high)
      return false;
    for (size_t k = 2; k <= more; ++k) {
      if ((at(i + k) & 0xC0) != 0x80)
        return false;
    }
    i += more;
  }
  return true;
}

bool Decode(const std::string& text, std::string& decoded) {
  static const std::map<std::string, std::string> kEntities = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}};
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '<')
      return false;
    if (text[i] != '&') {
      decoded += text[i];
      continue;
    }
    const size_t end = text.find(';', i);
    if (end == std::string::npos)
      return false;
    const auto entity = kEntities.find(text.substr(i + 1, end - i - 1));
    if (entity == kEntities.end())
      return false;
    decoded += entity->second;
    i = end;
  }
  return true;
}

Document ReadXml(const std::string& xml) {
  Document document;
  size_t at = 0;
  auto fail = [&](const std::string& why) {
    if (document.error.empty())
      document.error = why + " at offset " + std::to_string(at);
  };
  auto isNameCharacter = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ':' ||
           c == '.';
  };
  auto readName = [&] {
    const size_t start = at;
    while (at < xml.size() && isNameCharacter(xml[at]))
      ++at;
    return xml.substr(start, at - start);
  };
  auto skipSpace = [&] {
    const size_t start = at;
    while (at < xml.size() && std::isspace(static_cast<unsigned char>(xml[at])))
      ++at;
    return at != start;
  };
  if (!WellFormedUtf8(xml))
    fail("not UTF-8");
  if (xml.compare(0, 5, "<?xml") == 0)
    at = xml.find("?>") == std::string::npos ? xml.size() : xml.find("?>") + 2;
  std::vector<size_t> open;
  size_t roots = 0;
  while (at < xml.size() && document.error.empty()) {
    if (xml[at] != '<') {
      const size_t end = std::min(xml.find('<', at), xml.size());
      std::string decoded;
      if (!Decode(xml.substr(at, end - at), decoded))
        fail("bad text");
      else if (!open.empty())
        document.elements[open.back()].text += decoded;
      else if (decoded.find_first_not_of(" \t\r\n") != std::string::npos)
        fail("text outside the root");
      at = end;
    } else if (xml.compare(at, 2, "</") == 0) {
      at += 2;
      const std::string name = readName();
      skipSpace();
      if (open.empty() || document.elements[open.back()].name != name || xml[at] != '>')
        fail("unbalanced </" + name + ">");
      else
        open.pop_back();
      ++at;
    } else {
      ++at;
      Element element;
      element.name = readName();
      if (element.name.empty() || (open.empty() && ++roots > 1))
        fail("a bad or second root element");
      bool closed = false;
      for (;;) {
        const bool spaced = skipSpace();
        if (xml.compare(at, 2, "/>") == 0 || xml.compare(at, 1, ">") == 0) {
          closed = xml[at] == '/';
          at += closed ? 2 : 1;
          break;
        }
        const std::string name = readName();
        if (name.empty() || !spaced || at + 1 >= xml.size() || xml[at] != '=' ||
            (xml[at + 1] != '"' && xml[at + 1] != '\'')) {
          fail("bad attribute in <" + element.name + ">");
          break;
        }
        const size_t end = xml.find(xml[at + 1], at + 2);
        std::string value;
        if (end == std::string::npos || !Decode(xml.substr(at + 2, end - at - 2), value) ||
            !element.attributes.emplace(name, value).second) {
          fail("bad value of " + name);
          break;
        }
        at = end + 1;
      }
      document.elements.push_back(element);
      if (!closed)
        open.push_back(document.elements.size() - 1);
    }
  }
  if (!open.empty())
    fail("<" + document.elements[open.back()].name + "> not closed");
  if (roots != 1 || document.elements.empty() || document.elements.front().name != "svg")
    fail("the root is not one <svg>");
  return document;
}

TEST(HistogramXmlReader, CatchesWhatMakesXmlIllFormed) {
  EXPECT_EQ(ReadXml("<svg a=\"1\"><g><text>x &amp; y</text></g></svg>").error, "");
  for (const char* bad :
       {"<svg><g></svg>", "<svg></svg><svg></svg>", "<svg a=\"1\" a=\"2\"/>", "<svg a=1/>",
        "<svg>a & b</svg>", "<svg a=\"<\"/>", "<svg><text>\xFF</text></svg>",
        "<svg>\xED\xA0\x80</svg>", "<svg>\xC0\xAF</svg>", "<g/>", "<svg>", "x<svg/>"}) {
    EXPECT_NE(ReadXml(bad).error, "") << bad;
  }
}

// ---------------------------------------------------------------------------
// Recordings whose every wave is known.

// Carrier tone, bytes with every mix of bits, carrier tone: long and short waves as counted
// from how the tape is made.
struct KnownTape {
  Tape tape;
  uint64_t longWaves = 0;
  uint64_t shortWaves = 0;
};

KnownTape MakeKnownTape() {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 16; ++i)
    bytes.insert(bytes.end(), {0x00, 0xFF, 0x0F, 0x55, 0xAA, 0x2A, 0x81, 0x7E});
  KnownTape known;
  known.tape = TapeWriter().Carrier(600).Bytes(bytes).Carrier(300).Take();
  known.shortWaves = 900;
  for (const uint8_t byte : bytes) {
    int ones = 0;
    for (int bit = 0; bit < 8; ++bit)
      ones += (byte >> bit) & 1;
    known.longWaves += 1 + 8 - static_cast<uint64_t>(ones);     // the start bit and the zeros
    known.shortWaves += 2 * (1 + static_cast<uint64_t>(ones));  // the stop bit and the ones
  }
  return known;
}

void WriteWavRecording(const std::string& path, const Tape& tape, RenderOptions options = {}) {
  WriteWav(path, RenderSamples(tape, options), options.sampleRate);
}

struct Outcome {
  std::string summary;  // standard output
  std::string picture;  // the SVG file
  Document document;
};

Outcome Histogram(const TempFolder& folder, const std::string& recording,
                  const std::vector<std::string>& options = {}) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  std::vector<std::string> arguments = {"histogram", recording, "-o", folder / "picture.svg"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  EXPECT_EQ(Tool_ns::RunTool(arguments, io), 0);
  EXPECT_EQ(err.str(), "");
  Outcome outcome{out.str(), ReadFile(folder / "picture.svg"), {}};
  outcome.document = ReadXml(outcome.picture);
  EXPECT_EQ(outcome.document.error, "");
  return outcome;
}

std::string Failure(const std::vector<std::string>& arguments) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  try {
    Tool_ns::RunTool(arguments, io);
  } catch (const Tool_ns::UsageError& error) {
    return std::string("usage: ") + error.what();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no failure";
}

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

uint64_t Bars(uint32_t rate) {
  return static_cast<uint64_t>(std::floor(3 * rate / 1200.0));
}

// The bars and the summary agree with the known waves: one bar per length from 1 to 3 T,
// counts adding up, and the class windows holding exactly the waves of their class.
void ExpectKnownWaves(const Outcome& outcome, const KnownTape& known, uint32_t rate) {
  const uint64_t waves = known.longWaves + known.shortWaves;
  EXPECT_TRUE(Holds(outcome.summary, "waves measured: " + std::to_string(waves) + " (long " +
                                         std::to_string(known.longWaves) + ", short " +
                                         std::to_string(known.shortWaves) + ", other 0; 0 longer"))
      << outcome.summary;
  ASSERT_EQ(outcome.document.error, "");
  const Element& root = outcome.document.elements.front();
  EXPECT_EQ(root.Number("data-waves"), waves);
  EXPECT_EQ(root.Number("data-overflow"), 0u);
  const std::vector<Element> bars = outcome.document.WithClass("bar");
  ASSERT_EQ(bars.size(), Bars(rate));
  uint64_t total = 0;
  for (size_t i = 0; i < bars.size(); ++i) {
    EXPECT_EQ(bars[i].Number("data-length"), i + 1);
    total += bars[i].Number("data-count");
  }
  EXPECT_EQ(total, waves);

  const double t = rate / 1200.0;
  for (const auto& [name, waveClass, count] :
       {std::tuple{"long-window", BlockProcessing_ns::WaveClass::kLong, known.longWaves},
        std::tuple{"short-window", BlockProcessing_ns::WaveClass::kShort, known.shortWaves}}) {
    const std::vector<Element> band = outcome.document.WithClass(name);
    ASSERT_EQ(band.size(), 1u) << name;
    const uint64_t first = band[0].Number("data-first"), last = band[0].Number("data-last");
    auto classOf = [&](uint64_t length) {
      WavesInput_ns::DelaysElementType wave;
      wave.FirstHalf = static_cast<uint32_t>(length - length / 2);
      wave.SecondHalf = static_cast<uint32_t>(length / 2);
      return BlockProcessing_ns::ClassifyWave(wave, t);
    };
    EXPECT_NE(classOf(first - 1), waveClass) << name;
    EXPECT_NE(classOf(last + 1), waveClass) << name;
    uint64_t inBand = 0;
    for (uint64_t length = first; length <= last; ++length) {
      EXPECT_EQ(classOf(length), waveClass) << name << " " << length;
      inBand += bars[length - 1].Number("data-count");
    }
    EXPECT_EQ(inBand, count) << name;
  }
}

TEST(Histogram, CountsEveryWaveOfACleanRecordingInItsClass) {
  const KnownTape known = MakeKnownTape();
  for (const uint32_t rate : {44100u, 48000u}) {
    SCOPED_TRACE(rate);
    TempFolder folder;
    RenderOptions options;
    options.sampleRate = rate;
    WriteWavRecording(folder / "tape.wav", known.tape, options);
    const Outcome outcome = Histogram(folder, folder / "tape.wav");
    ExpectKnownWaves(outcome, known, rate);
    EXPECT_TRUE(Holds(outcome.summary, "sign, normal phase, " + std::to_string(rate) + " Hz\n"));
    EXPECT_TRUE(Holds(outcome.summary, "The long window is centred already")) << outcome.summary;
  }
}

TEST(Histogram, ReadsCswWavAndRawRecordingsWithTheirOptions) {
  const KnownTape known = MakeKnownTape();
  TempFolder folder;
  WriteCsw(folder / "tape.csw", RenderPulses(known.tape, 44100), 44100, CswCompression::ZRle);
  Outcome outcome = Histogram(folder, folder / "tape.csw");
  ExpectKnownWaves(outcome, known, 44100);
  EXPECT_TRUE(Holds(outcome.summary, "CSW pulses, normal phase, 44100 Hz")) << outcome.summary;

  RenderOptions options;
  options.sampleRate = 48000;
  const std::vector<int8_t> samples = RenderSamples(known.tape, options);
  WriteRaw(folder / "signed.RAW", samples, true);
  WriteRaw(folder / "unsigned.raw", samples, false);
  outcome = Histogram(folder, folder / "signed.RAW", {"-f", "48000"});
  ExpectKnownWaves(outcome, known, 48000);
  outcome = Histogram(folder, folder / "unsigned.raw", {"--frequency=48000", "-t", "u"});
  ExpectKnownWaves(outcome, known, 48000);
  // Without -f the recording is taken for 44100 samples a second: T and the bars follow.
  outcome = Histogram(folder, folder / "signed.RAW");
  EXPECT_EQ(outcome.document.WithClass("bar").size(), Bars(44100));
  EXPECT_TRUE(Holds(outcome.summary, "T now: 36.75 samples")) << outcome.summary;
}

TEST(Histogram, ShiftedPhaseMeasuresFromTheNegativeHalf) {
  const KnownTape known = MakeKnownTape();
  TempFolder folder;
  RenderOptions options;
  options.phaseDegrees = 180;
  WriteWavRecording(folder / "tape.wav", known.tape, options);
  Outcome outcome = Histogram(folder, folder / "tape.wav", {"-p"});
  ExpectKnownWaves(outcome, known, 44100);
  EXPECT_EQ(outcome.document.WithClass("title").at(0).text,
            folder / "tape.wav" + ": wave lengths (sign, shifted phase)");
  // In the normal phase the waves straddle the cycles: where a long and a short cycle meet,
  // half of each makes a wave.
  outcome = Histogram(folder, folder / "tape.wav");
  EXPECT_FALSE(Holds(outcome.summary,
                     "waves measured: " + std::to_string(known.longWaves + known.shortWaves) +
                         " (long " + std::to_string(known.longWaves) + ", short " +
                         std::to_string(known.shortWaves)))
      << outcome.summary;
  // The summary measures the other phase too: there the waves are the known ones.
  EXPECT_TRUE(Holds(outcome.summary, "the shifted phase: waves " +
                                         std::to_string(known.longWaves + known.shortWaves) +
                                         " (long " + std::to_string(known.longWaves) + ", short " +
                                         std::to_string(known.shortWaves) + ", other 0)\n"))
      << outcome.summary;

  WriteCsw(folder / "tape.csw", RenderPulses(known.tape, 44100, 1.0, false), 44100,
           CswCompression::Rle);
  outcome = Histogram(folder, folder / "tape.csw", {"--shifted"});
  ExpectKnownWaves(outcome, known, 44100);
  EXPECT_TRUE(Holds(outcome.summary, "CSW pulses, shifted phase")) << outcome.summary;
}

// The -s suggestion in the summary, as arguments for varnstow; empty when there is none.
std::vector<std::string> Suggestion(const std::string& summary) {
  const std::string lead = "run varnstow with ";
  const size_t at = summary.find(lead);
  if (at == std::string::npos)
    return {};
  const size_t start = at + lead.size();
  std::istringstream words(summary.substr(start, summary.find('\n', start) - start));
  std::vector<std::string> arguments;
  for (std::string word; words >> word;)
    arguments.push_back(word);
  return arguments;
}

TEST(Histogram, SuggestsTheBaudRateThatCentresTheLongWindowOnTheLongWaves) {
  const KnownTape known = MakeKnownTape();
  for (const double speed : {1.05, 0.95, 1.3, 0.8}) {
    SCOPED_TRACE(speed);
    TempFolder folder;
    RenderOptions options;
    options.speed = speed;
    WriteWavRecording(folder / "tape.wav", known.tape, options);
    const Outcome outcome = Histogram(folder, folder / "tape.wav");
    const std::vector<Element> measured = outcome.document.WithClass("measured");
    ASSERT_EQ(measured.size(), 1u);
    EXPECT_NEAR(measured[0].Real("data-length"), 36.75 / speed, 0.1);
    const std::string lead = " samples, ";
    const size_t at = outcome.summary.find(lead, outcome.summary.find("T to centre"));
    ASSERT_NE(at, std::string::npos) << outcome.summary;
    EXPECT_NEAR(std::stod(outcome.summary.substr(at + lead.size())), 1200 * speed, 3);
    // These waves hold no block: a -s would read none either, and none is suggested.
    EXPECT_EQ(Suggestion(outcome.summary).size(), 0u) << outcome.summary;
    EXPECT_TRUE(Holds(outcome.summary,
                      " would centre the long window but reads no more blocks "
                      "(0): varnstow needs no -s\n"))
        << outcome.summary;
  }

  // Stray waves of 50 samples, just beyond the long window, are no long waves: they move
  // neither the mean nor the suggestion.
  KnownTape stray = MakeKnownTape();
  stray.tape.Append(TapeWriter().Cycles(882, 100).Carrier(50).Take());
  TempFolder folder;
  WriteWavRecording(folder / "stray.wav", stray.tape);
  const Outcome outcome = Histogram(folder, folder / "stray.wav");
  EXPECT_TRUE(Holds(outcome.summary, ", other 100;")) << outcome.summary;
  EXPECT_EQ(outcome.document.WithClass("bar").at(49).Number("data-count"), 100u);
  EXPECT_NEAR(outcome.document.WithClass("measured").at(0).Real("data-length"), 36.75, 0.1);
  EXPECT_TRUE(Holds(outcome.summary, "The long window is centred already")) << outcome.summary;
}

// A tape 22% slow: its short waves fall out of varnstow's short window, and no block is read;
// with the suggested -s varnstow reads every block.
TEST(Histogram, TheSuggestionLetsVarnstowReadASlowTape) {
  TempFolder folder;
  const std::vector<uint8_t> data(300, 0x5A);
  RenderOptions options;
  options.speed = 0.78;
  WriteWavRecording(folder / "slow.wav", StandardTape({FileSpec{"SLOW", 0x1900, 0x1900, data}}),
                    options);
  const std::vector<std::string> suggestion =
      Suggestion(Histogram(folder, folder / "slow.wav").summary);
  ASSERT_EQ(suggestion.size(), 3u);
  EXPECT_NEAR(std::stod(suggestion[2]), 936, 3);
  auto blocksRead = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-i", "slow.wav", "-b"});
    const TestSupport::RunResult result = TestSupport::RunVarnstow(folder.Path(), arguments);
    EXPECT_EQ(result.exitCode, 0);
    size_t count = 0;
    for (size_t at = result.output.find("Checksum ok"); at != std::string::npos;
         at = result.output.find("Checksum ok", at + 1))
      ++count;
    return count;
  };
  EXPECT_EQ(blocksRead({}), 0u);
  EXPECT_EQ(blocksRead(suggestion), 2u);
}

TEST(Histogram, EmptyAndSilentRecordingsGiveAPictureWithoutBars) {
  TempFolder folder;
  WriteWav(folder / "empty.wav", {}, 44100);
  WriteWav(folder / "silent.wav", std::vector<int8_t>(20000, 0), 44100);
  for (const char* name : {"empty.wav", "silent.wav"}) {
    SCOPED_TRACE(name);
    const Outcome outcome = Histogram(folder, folder / name);
    ASSERT_EQ(outcome.document.error, "");
    const std::vector<Element> bars = outcome.document.WithClass("bar");
    ASSERT_EQ(bars.size(), Bars(44100));
    for (const Element& bar : bars) {
      EXPECT_EQ(bar.Number("data-count"), 0u);
      EXPECT_EQ(bar.Real("height"), 0.0);
    }
    const Element& root = outcome.document.elements.front();
    EXPECT_EQ(root.Number("data-waves"), root.Number("data-overflow"));
    EXPECT_TRUE(Holds(outcome.summary, "no long waves found: no -s to suggest")) << outcome.summary;
    // A recording without any wave says so on the picture.
    const std::vector<Element> notes = outcome.document.WithClass("note");
    EXPECT_EQ(notes.size(), root.Number("data-waves") == 0 ? 1u : 0u);
  }
  EXPECT_EQ(Histogram(folder, folder / "empty.wav").document.WithClass("note").at(0).text,
            "No waves were measured");
}

TEST(Histogram, RefusesWhatVarnstowRefusesWithItsMessage) {
  TempFolder folder;
  const KnownTape known = MakeKnownTape();
  WriteWavRecording(folder / "whole.wav", known.tape);
  const std::string whole = ReadFile(folder / "whole.wav");
  WriteFile(folder / "header.wav", whole.substr(0, 30));
  WriteFile(folder / "cut.wav", whole.substr(0, whole.size() / 2));
  WriteFile(folder / "notriff.wav", "RIFX" + whole.substr(4));
  std::vector<uint8_t> csw =
      EncodeCsw(RenderPulses(known.tape, 44100).lengths, 44100, CswCompression::Rle, true);
  csw[29] = static_cast<uint8_t>(csw[29] + 1);  // the header's pulse count, one too many
  WriteFile(folder / "count.csw", std::string(csw.begin(), csw.end()));
  for (const char* name : {"header.wav", "cut.wav", "notriff.wav", "count.csw", "missing.wav"}) {
    SCOPED_TRACE(name);
    const std::string recording = folder / name;
    const TestSupport::RunResult varnstow =
        TestSupport::RunVarnstow(folder.Path(), {"-i", recording, "-o", folder / "out"});
    // varnstow reports "\n<message>." on standard error.
    ASSERT_GT(varnstow.errors.size(), 2u);
    const std::string message = varnstow.errors.substr(1, varnstow.errors.size() - 2);
    // The picture is written only after the recording has been read: an earlier one stays.
    WriteFile(folder / "picture.svg", "earlier");
    EXPECT_EQ(Failure({"histogram", recording, "-o", folder / "picture.svg"}), message);
    EXPECT_EQ(ReadFile(folder / "picture.svg"), "earlier");
  }
}

TEST(Histogram, CommandLineMistakesAreUsageErrorsAndHelpDescribesEveryOption) {
  TempFolder folder;
  WriteWavRecording(folder / "tape.wav", MakeKnownTape().tape);
  const std::string tape = folder / "tape.wav";
  EXPECT_TRUE(Holds(Failure({"histogram", tape}), "usage: histogram needs --output"));
  EXPECT_TRUE(Holds(Failure({"histogram", "-o", "x.svg"}), "usage: histogram needs a recording"));
  EXPECT_TRUE(Holds(Failure({"histogram", folder / "tape.uef", "-o", "x.svg"}),
                    "usage: the recording must be a .csw, .wav or .raw file"));
  EXPECT_TRUE(
      Holds(Failure({"histogram", tape, "-o", tape}), "usage: the picture would overwrite"));
  // Another name of the same file.
  EXPECT_TRUE(Holds(Failure({"histogram", tape, "-o", folder / "./tape.wav"}),
                    "usage: the picture would overwrite"));
  EXPECT_TRUE(Holds(Failure({"histogram", tape, "-o", "x.svg", "-t", "x"}), "usage: --type"));
  EXPECT_TRUE(Holds(Failure({"histogram", tape, "-o", "x.svg", "--speed"}), "usage: "));
  EXPECT_FALSE(FileExists("x.svg"));

  for (const char* help : {"--help", "-h"}) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    Tool_ns::ToolStreams io{in, out, err};
    EXPECT_EQ(Tool_ns::RunTool({"histogram", help}, io), 0);
    EXPECT_EQ(out.str().rfind("Usage: varnstow-tool histogram RECORDING -o PICTURE.svg", 0), 0u);
    for (const char* option :
         {"--output", "--shifted", "--channel", "--frequency", "--type", "--quiet", "--help"})
      EXPECT_TRUE(Holds(out.str(), option)) << option;
  }
}

TEST(Histogram, PictureOnStandardOutputMovesTheSummaryToStandardError) {
  TempFolder folder;
  WriteWavRecording(folder / "tape.wav", MakeKnownTape().tape);
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  EXPECT_EQ(Tool_ns::RunTool({"histogram", folder / "tape.wav", "-o", "-"}, io), 0);
  EXPECT_EQ(ReadXml(out.str()).error, "");
  EXPECT_TRUE(Holds(err.str(), "waves measured: ")) << err.str();
  EXPECT_TRUE(Holds(err.str(), "picture: standard output")) << err.str();
}

TEST(Histogram, NamesAreEscapedIntoWellFormedXml) {
  TempFolder folder;
  const Tape tape = MakeKnownTape().tape;
#ifdef _WIN32
  const std::vector<std::pair<std::string, std::string>> names = {{"a&b'c.wav", "a&b'c.wav"}};
#else
  // A name in UTF-8 is kept; bytes that are not UTF-8, and control characters, become '?'.
  const std::vector<std::pair<std::string, std::string>> names = {
      {"a&b<c>\"d'e.wav", "a&b<c>\"d'e.wav"},
      {"caf\xC3\xA9.wav", "caf\xC3\xA9.wav"},
      {"bad\xFF\xC3(\x01.wav",
       "bad?"
       "?(?.wav"},
      {"\xED\xA0\x80.wav", "???.wav"}};
#endif
  for (const auto& [name, shown] : names) {
    SCOPED_TRACE(name);
    WriteWavRecording(folder / name, tape);
    const Outcome outcome = Histogram(folder, folder / name);
    ASSERT_EQ(outcome.document.WithClass("title").size(), 1u);
    EXPECT_EQ(outcome.document.WithClass("title")[0].text,
              folder / shown + ": wave lengths (sign, normal phase)");
  }
}

}  // namespace
