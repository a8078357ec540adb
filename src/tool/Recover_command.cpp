// varnstow-tool recover: decodes a recording in every way varnstow can and keeps every good
// block once, reporting what was found, by which pass, and where the missing blocks lie.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <utility>

#include "driver/Advice.h"
#include "driver/Command_line.h"
#include "driver/Run_program.h"
#include "tool/Commands.h"
#include "tool/Recover.h"
#include "tool/Side_by_side.h"
#include "tool/Signal_reader.h"
#include "tool/Transcription.h"
#include "uef/Wave_analysis.h"

namespace Tool_ns {

namespace {

const char kRecoverHelp[] =
    "Usage: varnstow-tool recover RECORDING [RECORDING...] -o OUT.uef [options]\n"
    "\n"
    "Decodes a recording (CSW, WAV or RAW) once for every way varnstow can read it (the sign\n"
    "and the peak method in the normal and the shifted phase, as varnstow without and with\n"
    "-l p and -p; for a CSW file the two phases), each pass exactly as varnstow decodes, and\n"
    "once more through the tool's own demodulator, which reads the recording at its full\n"
    "resolution (WAV files of 8 to 32 bits or floating point, any channels and rate: each\n"
    "channel and their mix), decides each bit on its tones' energy, follows the tape's speed,\n"
    "reads 300 baud blocks too, and mends a block that fails its checksum by a bit or two\n"
    "where it is sure of the rest. It merges the passes: every block that passes both\n"
    "checksums in any pass goes into the image once, in the order in which the blocks lie on\n"
    "the tape; around them the image holds the rest of the tape as it was read (tones, gaps\n"
    "and the bytes a game's own loader reads), so that it loads as the tape does. Where\n"
    "passes read one block differently, a version read without repair is kept, else the\n"
    "one most of them read. Given several recordings of one tape, it merges the blocks of\n"
    "all, and a block that failed in every pass is combined bit by bit from its failed\n"
    "readings and kept if its checksums pass.\n"
    "The report on standard output shows each file's blocks, which pass found each (and which\n"
    "were repaired or combined), the numbers of the blocks missing and where in the recording\n"
    "(minutes:seconds.tenths) to look for them, and the totals.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE          the UEF image to write (required)\n"
    "  -c, --no-compress          write the image without gzip compression\n"
    "  -f, --frequency RATE       samples per second of a RAW recording (default 44100)\n"
    "  -t, --type u|s             unsigned or signed (default) samples of a RAW recording\n"
    "      --blocks-only          write the blocks alone, each after a carrier tone of the\n"
    "                             standard length, as varnstow does (by default the image\n"
    "                             holds the whole tape around the blocks: carrier tones and\n"
    "                             gaps as long as measured, bytes in other framings or at\n"
    "                             300 baud, and other cycles, as a protected loader reads\n"
    "                             them; the blocks stay as merged)\n"
    "      --whole-tape           the whole tape around the blocks (the default)\n"
    "      --json                 the report as JSON\n"
    "      --quiet                no report (the image is written all the same)\n"
    "  -h, --help                 show this text\n";

const char* FormatName(RecordingKind kind) {
  switch (kind) {
    case RecordingKind::kCsw:
      return "CSW";
    case RecordingKind::kWav:
      return "WAV";
    case RecordingKind::kRaw:
      return "RAW";
  }
  return "";
}

std::string Hex2(uint32_t value) {
  return Hex(value, 2);
}

// A name's bytes as the converter's report shows them: '?' for what is not printable.
std::string Printable(const std::string& name) {
  std::string text;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    text += byte >= 0x20 && byte < 0x7F ? c : '?';
  }
  return text;
}

using Json = nlohmann::ordered_json;

// A name as a JSON string. Its bytes are taken as Latin-1 (each byte the character of that
// number), so that the report is valid UTF-8 whatever the tape holds.
Json Latin1(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

// Whether bytes are well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing beyond U+10FFFF.
bool IsUtf8(const std::string& bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    size_t more = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      code = lead & 0x07u;
    } else {
      return false;
    }
    if (bytes.size() - i <= more)
      return false;
    for (size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      code = code << 6 | (next & 0x3Fu);
    }
    if ((more == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (more == 3 && (code < 0x10000 || code > 0x10FFFF)))
      return false;
    i += more + 1;
  }
  return true;
}

// A file name of this machine as a JSON string: as it is where it is UTF-8, as file names
// here are; otherwise its bytes as Latin-1.
Json FileNameText(const std::string& bytes) {
  return IsUtf8(bytes) ? Json(bytes) : Latin1(bytes);
}

// Seconds to a tenth, as "%.1f" rounds them: the library writes the double nearest to that
// text in its shortest form, which is the text itself.
Json Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return std::strtod(text, nullptr);
}

Json PassNumbers(const std::vector<size_t>& passes) {
  Json numbers = Json::array();
  for (size_t pass : passes)
    numbers.push_back(pass + 1);
  return numbers;
}

std::string PassList(const std::vector<size_t>& passes) {
  std::string text;
  for (size_t i = 0; i < passes.size(); ++i) {
    if (i > 0)
      text += " ";
    text += std::to_string(passes[i] + 1);
  }
  return text;
}

// A run of missing block numbers and the stretch of the recording in which they lie: from
// the end of the good block before them to the start of the good block after them.
struct Gap {
  uint32_t first = 0;
  uint32_t last = 0;
  bool open = false;  // the file's last block was not found: the run goes on past first
  double from = 0.0;
  double to = 0.0;
};

std::vector<Gap> GapsOf(const Recovery& recovery, size_t fileIndex) {
  const RecoveredFile& file = recovery.files[fileIndex];
  const size_t firstBlock = file.blocks.front();
  const size_t lastBlock = file.blocks.back();
  // The stretch before the file's first block starts at the end of the tape's block before.
  const double fileFrom = firstBlock > 0 ? recovery.blocks[firstBlock - 1].endSeconds : 0.0;
  const double fileTo = lastBlock + 1 < recovery.blocks.size()
                            ? recovery.blocks[lastBlock + 1].startSeconds
                            : recovery.lengthSeconds;
  std::vector<Gap> gaps;
  double previousEnd = fileFrom;
  uint32_t expected = file.firstNumber;
  for (size_t index : file.blocks) {
    const MergedBlock& block = recovery.blocks[index];
    if (block.identity.number > expected)
      gaps.push_back(
          Gap{expected, block.identity.number - 1u, false, previousEnd, block.startSeconds});
    expected = uint32_t{block.identity.number} + 1;
    previousEnd = block.endSeconds;
  }
  if (!file.lastFound)
    gaps.push_back(Gap{expected, expected, true, previousEnd, std::max(previousEnd, fileTo)});
  return gaps;
}

size_t BestPass(const Recovery& recovery) {
  size_t best = 0;
  for (size_t p = 1; p < recovery.passes.size(); ++p) {
    if (recovery.passes[p].blocks.size() > recovery.passes[best].blocks.size())
      best = p;
  }
  return best;
}

size_t Disagreements(const Recovery& recovery) {
  size_t count = 0;
  for (const MergedBlock& block : recovery.blocks)
    count += block.disagreement ? 1 : 0;
  return count;
}

size_t MissingCount(const Recovery& recovery) {
  size_t count = 0;
  for (const RecoveredFile& file : recovery.files)
    count += file.missing.size();
  return count;
}

// Files whose block with the last-block flag was not found: how many blocks they lack after
// the last one found is not known, so the totals count these files apart.
size_t FilesWithoutLastBlock(const Recovery& recovery) {
  size_t count = 0;
  for (const RecoveredFile& file : recovery.files)
    count += file.lastFound ? 0 : 1;
  return count;
}

std::string Plural(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// How a block was read, after its passes: "" when plainly.
std::string HowRead(const MergedBlock& block, bool takes) {
  std::string text;
  if (block.baud != 1200)
    text += ", " + std::to_string(block.baud) + " baud";
  if (takes)
    text += ", take " + std::to_string(block.take + 1);
  if (block.voted)
    text += ", combined from failed readings";
  if (block.repaired)
    text += block.repairedBits > 0
                ? ", repaired (" + Plural(static_cast<size_t>(block.repairedBits), "bit", "bits") +
                      " flipped)"
                : ", repaired (its synchronisation byte)";
  return text.empty() ? text : "  (" + text.substr(2) + ")";
}

size_t CountOf(const Recovery& recovery, bool MergedBlock::*flag) {
  size_t count = 0;
  for (const MergedBlock& block : recovery.blocks)
    count += block.*flag ? 1 : 0;
  return count;
}

uint32_t RateOfTake(const Recovery& recovery, size_t take) {
  for (const PassResult& pass : recovery.passes) {
    if (pass.take == take)
      return pass.sampleRate;
  }
  return 0;
}

double LengthOfTake(const Recovery& recovery, size_t take) {
  double length = 0.0;
  for (const PassResult& pass : recovery.passes) {
    if (pass.take == take)
      length = std::max(length, pass.lengthSeconds);
  }
  return length;
}

void WriteText(const Recovery& recovery, const std::vector<RecordingSettings>& recordings,
               const std::string& imageName, std::ostream& out) {
  const bool takes = recordings.size() > 1;
  for (size_t t = 0; t < recordings.size(); ++t) {
    const RecordingSettings& recording = recordings[t];
    out << (takes ? "Take " + std::to_string(t + 1) + ": recording " : "Recording ")
        << Describe(recording.name, false) << ": " << FormatName(recording.kind) << ", "
        << RateOfTake(recovery, t) << " samples per second, " << TapeTime(LengthOfTake(recovery, t))
        << " long\n";
  }
  for (size_t p = 0; p < recovery.passes.size(); ++p) {
    const PassResult& pass = recovery.passes[p];
    out << "Pass " << p + 1 << " ("
        << (takes ? "take " + std::to_string(pass.take + 1) + ", " : std::string())
        << Describe(pass.settings)
        << "): " << Plural(pass.blocks.size(), "good block", "good blocks") << '\n';
  }

  for (size_t f = 0; f < recovery.files.size(); ++f) {
    const RecoveredFile& file = recovery.files[f];
    const MergedBlock& first = recovery.blocks[file.blocks.front()];
    out << "\nFile \"" << Printable(file.name) << "\", load address " << Hex(file.load, 8)
        << ", from " << TapeTime(first.startSeconds) << ": "
        << Plural(file.blocks.size(), "block", "blocks") << " found";
    if (file.missing.empty() && file.lastFound)
      out << ", none missing\n";
    else
      out << ", " << file.missing.size() << " missing"
          << (file.lastFound ? "" : ", last block not found") << '\n';
    for (const Gap& gap : GapsOf(recovery, f)) {
      if (gap.open)
        out << "  not found: blocks from " << Hex2(gap.first) << " on";
      else if (gap.first == gap.last)
        out << "  missing: block " << Hex2(gap.first);
      else
        out << "  missing: blocks " << Hex2(gap.first) << " to " << Hex2(gap.last);
      out << ", between " << TapeTime(gap.from) << " and " << TapeTime(gap.to) << '\n';
    }
    for (size_t index : file.blocks) {
      const MergedBlock& block = recovery.blocks[index];
      out << "  block " << Hex2(block.identity.number) << "  " << TapeTime(block.startSeconds)
          << " to " << TapeTime(block.endSeconds) << "  "
          << (block.passes.size() == 1 ? "pass " : "passes ") << PassList(block.passes)
          << HowRead(block, takes);
      if (block.disagreement)
        out << "  (read differently; kept the version of "
            << (block.keptPasses.size() == 1 ? "pass " : "passes ") << PassList(block.keptPasses)
            << ")";
      out << '\n';
    }
  }

  out << '\n';
  const size_t disagreements = Disagreements(recovery);
  out << "Total: " << Plural(recovery.blocks.size(), "good block", "good blocks") << " in "
      << Plural(recovery.files.size(), "file", "files") << ", " << MissingCount(recovery)
      << " missing";
  if (const size_t open = FilesWithoutLastBlock(recovery))
    out << ", last block not found in " << Plural(open, "file", "files");
  if (disagreements > 0)
    out << ", " << Plural(disagreements, "block", "blocks") << " read differently by the passes";
  if (const size_t repaired = CountOf(recovery, &MergedBlock::repaired))
    out << ", " << repaired << " repaired";
  if (const size_t voted = CountOf(recovery, &MergedBlock::voted))
    out << ", " << voted << " combined from failed readings";
  if (!recovery.passes.empty()) {
    const size_t best = BestPass(recovery);
    out << "; the best single pass (" << best + 1 << ") found "
        << recovery.passes[best].blocks.size();
  }
  out << "; written to " << Describe(imageName, true) << '\n';
}

// The report as JSON: the recording, its takes, the passes, the files with their gaps and
// blocks, and the totals, with their keys in this order.
Json JsonReport(const Recovery& recovery, const std::vector<RecordingSettings>& recordings,
                const std::string& imageName) {
  Json takes = Json::array();
  for (size_t t = 0; t < recordings.size(); ++t) {
    takes.push_back(Json::object({{"take", t + 1},
                                  {"recording", FileNameText(recordings[t].name)},
                                  {"format", FormatName(recordings[t].kind)},
                                  {"sampleRate", RateOfTake(recovery, t)},
                                  {"seconds", Seconds(LengthOfTake(recovery, t))}}));
  }
  Json passes = Json::array();
  for (size_t p = 0; p < recovery.passes.size(); ++p) {
    const PassSettings& settings = recovery.passes[p].settings;
    const char* method = settings.demodulator                                      ? "demodulator"
                         : settings.method == MainProgram_ns::MeasureMethod::kSign ? "sign"
                         : settings.method == MainProgram_ns::MeasureMethod::kPeak ? "peak"
                                                                                   : "csw";
    Json pass =
        Json::object({{"pass", p + 1}, {"take", recovery.passes[p].take + 1}, {"method", method}});
    if (settings.demodulator)
      pass["channel"] = settings.channel < 0 ? Json("mix") : Json(settings.channel + 1);
    else
      pass["phase"] = settings.normalPhase ? "normal" : "shifted";
    pass["blocks"] = recovery.passes[p].blocks.size();
    pass["failedBlocks"] = recovery.passes[p].failed.size();
    passes.push_back(std::move(pass));
  }
  Json files = Json::array();
  for (size_t f = 0; f < recovery.files.size(); ++f) {
    const RecoveredFile& file = recovery.files[f];
    Json gaps = Json::array();
    for (const Gap& gap : GapsOf(recovery, f)) {
      gaps.push_back(Json::object({{"firstBlock", gap.first},
                                   {"lastBlock", gap.open ? Json(nullptr) : Json(gap.last)},
                                   {"from", Seconds(gap.from)},
                                   {"to", Seconds(gap.to)},
                                   {"fromTime", TapeTime(gap.from)},
                                   {"toTime", TapeTime(gap.to)}}));
    }
    Json blocks = Json::array();
    for (size_t index : file.blocks) {
      const MergedBlock& block = recovery.blocks[index];
      blocks.push_back(Json::object({{"number", block.identity.number},
                                     {"start", Seconds(block.startSeconds)},
                                     {"end", Seconds(block.endSeconds)},
                                     {"last", block.identity.Last()},
                                     {"passes", PassNumbers(block.passes)},
                                     {"keptFrom", PassNumbers(block.keptPasses)},
                                     {"readDifferently", block.disagreement},
                                     {"baud", block.baud},
                                     {"take", block.take + 1},
                                     {"repaired", block.repaired},
                                     {"repairedBits", block.repairedBits},
                                     {"voted", block.voted}}));
    }
    files.push_back(Json::object({{"name", Latin1(file.name)},
                                  {"load", Hex(file.load, 8)},
                                  {"lastBlockFound", file.lastFound},
                                  {"missing", file.missing},
                                  {"gaps", std::move(gaps)},
                                  {"blocks", std::move(blocks)}}));
  }
  const size_t best = recovery.passes.empty() ? 0 : BestPass(recovery);
  Json total = Json::object(
      {{"blocks", recovery.blocks.size()},
       {"files", recovery.files.size()},
       {"missing", MissingCount(recovery)},
       {"readDifferently", Disagreements(recovery)},
       {"repaired", CountOf(recovery, &MergedBlock::repaired)},
       {"voted", CountOf(recovery, &MergedBlock::voted)},
       {"bestPass", best + 1},
       {"bestPassBlocks", recovery.passes.empty() ? 0 : recovery.passes[best].blocks.size()},
       {"lastBlockNotFound", FilesWithoutLastBlock(recovery)}});

  const RecordingSettings& recording = recordings.front();
  return Json::object({{"recording", FileNameText(recording.name)},
                       {"format", FormatName(recording.kind)},
                       {"sampleRate", RateOfTake(recovery, 0)},
                       {"seconds", Seconds(recovery.lengthSeconds)},
                       {"takes", std::move(takes)},
                       {"image", FileNameText(imageName)},
                       {"passes", std::move(passes)},
                       {"files", std::move(files)},
                       {"total", std::move(total)}});
}

// The report's layout, which the library's dump (all on one line, or every value on a line of
// its own) does not give: the report's members a line each; the lists of takes, passes,
// files, gaps and blocks an item a line; an item on one line, except that a file's lists of
// gaps and blocks start lines of their own. The library writes the keys and values.

// Whether value is one of the lists laid out an item a line (a block's "passes" are numbers).
bool Listed(const std::string& key, const Json& value) {
  if (!value.is_array() || (!value.empty() && !value.front().is_object()))
    return false;
  for (const char* list : {"takes", "passes", "files", "gaps", "blocks"}) {
    if (key == list)
      return true;
  }
  return false;
}

// A key or a single value; the escapes of characters outside printable ASCII with capital
// hexadecimal digits ("\u00E9").
std::string ValueText(const Json& value) {
  std::string text = value.dump(-1, ' ', true);
  if (!value.is_string())
    return text;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '\\')
      continue;
    if (text[i + 1] == 'u') {
      for (size_t d = i + 2; d < i + 6 && d < text.size(); ++d)
        text[d] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[d])));
    }
    ++i;  // the escaped character is not the start of an escape
  }
  return text;
}

void WriteInline(const Json& value, size_t column, std::ostream& out);

// A list whose key starts at column: its items on lines of their own, two columns further in.
void WriteList(const Json& list, size_t column, std::ostream& out) {
  if (list.empty()) {
    out << "[]";
    return;
  }
  out << '[';
  for (size_t i = 0; i < list.size(); ++i) {
    out << (i > 0 ? ",\n" : "\n") << std::string(column + 2, ' ');
    WriteInline(list[i], column + 2, out);
  }
  out << '\n' << std::string(column, ' ') << ']';
}

// A value that starts at column, on one line with ", " and ": " between its parts, but for
// the lists an object holds, which start lines of their own under its first key.
void WriteInline(const Json& value, size_t column, std::ostream& out) {
  if (value.is_object()) {
    out << '{';
    bool first = true;
    for (const auto& member : value.items()) {
      const bool listed = Listed(member.key(), member.value());
      if (!first)
        out << (listed ? ",\n" + std::string(column + 1, ' ') : std::string(", "));
      first = false;
      out << ValueText(member.key()) << ": ";
      if (listed)
        WriteList(member.value(), column + 1, out);
      else
        WriteInline(member.value(), column + 1, out);
    }
    out << '}';
  } else if (value.is_array()) {
    out << '[';
    for (size_t i = 0; i < value.size(); ++i) {
      if (i > 0)
        out << ", ";
      WriteInline(value[i], column, out);
    }
    out << ']';
  } else {
    out << ValueText(value);
  }
}

void WriteJson(const Json& report, std::ostream& out) {
  out << '{';
  bool first = true;
  for (const auto& member : report.items()) {
    out << (first ? "\n  " : ",\n  ") << ValueText(member.key()) << ": ";
    first = false;
    if (Listed(member.key(), member.value()))
      WriteList(member.value(), 2, out);
    else
      WriteInline(member.value(), 2, out);
  }
  out << "\n}\n";
}

// What to try when no pass found a block, after the report.
std::string NothingFoundAdvice(const RecordingSettings& recording, const std::string& imageName) {
  using MainProgram_ns::CommandLineName;
  std::string advice =
      "varnstow-tool: no pass found a block, so " + Describe(imageName, true) +
      " holds none; to see why, draw the wave lengths with varnstow-tool histogram " +
      CommandLineName(recording.name) + " -o " +
      CommandLineName(MainProgram_ns::WithoutExtension(recording.name) + "-waves.svg") +
      " (it tells a tape that ran off speed, and noise)";
  if (recording.kind == RecordingKind::kRaw)
    advice += ", check -f and -t (the RAW file's sample rate and sample type)";
  return advice + ", or record the tape again with its loudest part at about half of full scale\n";
}

}  // namespace

int RecoverCommand(const std::vector<std::string>& arguments, ToolStreams& io) {
  std::vector<OptionDefinition> definitions = RecordingOptions();
  definitions.push_back({"output", true, 'o'});
  definitions.push_back({"no-compress", false, 'c'});
  definitions.push_back({"json", false});
  definitions.push_back({"quiet", false});
  definitions.push_back({"whole-tape", false});
  definitions.push_back({"blocks-only", false});
  definitions.push_back({"help", false, 'h'});
  const ParsedArguments parsed(arguments, definitions, "recover");
  if (parsed.Has("help")) {
    io.out << kRecoverHelp;
    return 0;
  }
  const std::vector<RecordingSettings> recordings = RecordingsFrom(parsed, "recover");
  if (!parsed.Has("output"))
    throw UsageError("recover needs -o OUT.uef (see 'varnstow-tool recover --help')");
  const std::string imageName = parsed.Value("output");
  if (imageName.empty() || imageName == "-")
    throw UsageError("recover writes its image to a file: give -o a file name");
  for (const RecordingSettings& recording : recordings) {
    if (MainProgram_ns::NamesSameFile(imageName, recording.name))
      throw UsageError("the image would overwrite the recording: give -o another name");
  }
  if (parsed.Has("whole-tape") && parsed.Has("blocks-only"))
    throw UsageError("recover takes --whole-tape or --blocks-only, not both");
  const bool wholeTape = !parsed.Has("blocks-only");

  // Every pass reads its recording on its own, with state of its own: they run side by side,
  // the demodulator's (the longest) started first. The passes keep their order: each take's
  // converter passes, where varnstow reads the recording, then its demodulator's.
  struct Planned {
    size_t take;
    PassSettings settings;
  };
  std::vector<Planned> planned;
  for (size_t take = 0; take < recordings.size(); ++take) {
    const RecordingSettings& recording = recordings[take];
    // Warnings about the file are given once, as its channels are counted.
    const unsigned channels = ChannelsOf(recording, io.err);
    std::ostringstream given;
    if (ConverterReads(recording, given)) {
      for (const PassSettings& pass : PassesFor(recording.kind))
        planned.push_back({take, pass});
    }
    for (const PassSettings& pass : DemodulatorPasses(channels))
      planned.push_back({take, pass});
  }
  // The whole tape is transcribed from the first recording: a CSW file from its pulses, beside
  // the passes; samples from the cells its demodulator passes read (each channel's, and the
  // mix's), the events of the pass that read the most blocks kept.
  const bool cellsTranscribed = wholeTape && recordings.front().kind != RecordingKind::kCsw;
  std::vector<PassResult> passes(planned.size());
  std::vector<std::vector<TapeEvent>> transcriptions(planned.size());
  std::vector<std::function<void()>> jobs;
  std::vector<size_t> demodulatorFirst;
  std::vector<size_t> then;
  for (size_t p = 0; p < planned.size(); ++p) {
    (planned[p].settings.demodulator ? demodulatorFirst : then).push_back(p);
    jobs.emplace_back([&, p] {
      const RecordingSettings& recording = recordings[planned[p].take];
      if (planned[p].settings.demodulator) {
        std::ostringstream given;  // warnings already given above
        const bool transcribe = cellsTranscribed && planned[p].take == 0;
        passes[p] = RunDemodulatorPass(recording, planned[p].settings, given,
                                       transcribe ? &transcriptions[p] : nullptr);
      } else {
        passes[p] = RunPass(recording, planned[p].settings);
      }
      passes[p].take = planned[p].take;
    });
  }
  std::vector<TapeEvent> transcription;
  if (wholeTape && !cellsTranscribed) {
    demodulatorFirst.push_back(jobs.size());
    jobs.emplace_back(
        [&] { transcription = TranscribeRecording(recordings.front(), SignalReader::kMix); });
  }
  demodulatorFirst.insert(demodulatorFirst.end(), then.begin(), then.end());
  RunSideBySide(jobs, demodulatorFirst);
  if (cellsTranscribed) {
    // The channel (or mix) whose demodulator pass read the most blocks; the mix where none
    // read any.
    size_t chosen = planned.size();
    size_t most = 0;
    for (size_t p = 0; p < planned.size(); ++p) {
      if (planned[p].take != 0 || !planned[p].settings.demodulator)
        continue;
      if (passes[p].blocks.size() > most ||
          (most == 0 && planned[p].settings.channel == SignalReader::kMix)) {
        most = passes[p].blocks.size();
        chosen = p;
      }
    }
    if (chosen < planned.size())
      transcription = std::move(transcriptions[chosen]);
  }
  transcriptions.clear();
  const Recovery recovery = MergePasses(std::move(passes));

  BuildImage(recovery, imageName,
             {MainProgram_ns::kBanner,
              std::string("The input format was ") + FormatName(recordings.front().kind) + ".",
              "Recovered by varnstow-tool from " +
                  Plural(recovery.passes.size(), "decoding pass.", "decoding passes.")},
             wholeTape ? &transcription : nullptr);
  UEFFormat_ns::SaveImage(UEFFormat_ns::TheUEFImage, !parsed.Has("no-compress"));

  if (parsed.Has("quiet"))
    return 0;
  if (parsed.Has("json"))
    WriteJson(JsonReport(recovery, recordings, imageName), io.out);
  else
    WriteText(recovery, recordings, imageName, io.out);
  if (recovery.blocks.empty())
    io.err << NothingFoundAdvice(recordings.front(), imageName);
  return 0;
}

}  // namespace Tool_ns
