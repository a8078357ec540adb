#include "tool/Histogram_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>

#include "tool/Tool_support.h"

namespace Tool_ns {
namespace Histogram_ns {

namespace {

// " µs" in UTF-8, the picture's encoding, whatever the compiler's own.
constexpr char kMicroseconds[] = " \xC2\xB5s";

// The length of the well-formed UTF-8 sequence at text[at] (0 when there is none): no overlong
// forms, no surrogates, nothing beyond U+10FFFF, as XML requires.
size_t Utf8Sequence(const std::string& text, size_t at) {
  auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
  const unsigned lead = byte(at);
  const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                       : 0;
  // The second byte's range narrows after E0, ED, F0 and F4.
  const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (length == 0 || byte(at + 1) < low || byte(at + 1) > high)
    return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80)
      return 0;
  }
  return length;
}

// Text for XML: the markup characters as entities, and what XML cannot hold (control
// characters, bytes that are not UTF-8) as '?'.
std::string Xml(const std::string& text) {
  std::string escaped;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char* entity = c == '&'    ? "&amp;"
                         : c == '<'  ? "&lt;"
                         : c == '>'  ? "&gt;"
                         : c == '"'  ? "&quot;"
                         : c == '\'' ? "&apos;"
                                     : nullptr;
    if (entity != nullptr) {
      escaped += entity;
    } else if (static_cast<unsigned char>(c) >= 0x80) {
      const size_t length = Utf8Sequence(text, i);
      escaped += length == 0 ? "?" : text.substr(i, length);
      i += length == 0 ? 0 : length - 1;
    } else {
      escaped += static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' ? '?' : c;
    }
  }
  return escaped;
}

// A step of 1, 2 or 5 times a power of ten that cuts range into at most most parts.
uint64_t NiceStep(double range, double most) {
  const double least = range / most;
  if (least <= 1)
    return 1;
  const double power = std::pow(10.0, std::floor(std::log10(least)));
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (factor * power >= least)
      return static_cast<uint64_t>(factor * power);
  }
  return static_cast<uint64_t>(10 * power);
}

constexpr double kWidth = 960, kHeight = 560;
constexpr double kLeft = 80, kRight = 930, kTop = 70, kBottom = 460;
constexpr double kLegendLeft = kRight - 300;

// The picture: bars of waves over lengths 0.5 to the longest drawn + 0.5.
class Picture {
 public:
  Picture(std::ostream& out, const Histogram& histogram) : out_(out), histogram_(histogram) {
    const uint64_t most = *std::max_element(histogram.bars.begin(), histogram.bars.end());
    countStep_ = NiceStep(double(most), 6);
    countTop_ = std::max<uint64_t>(1, (most + countStep_ - 1) / countStep_ * countStep_);
  }

  double X(double length) const {
    const double x = kLeft + (length - 0.5) / double(histogram_.LongestDrawn()) * (kRight - kLeft);
    return std::clamp(x, kLeft, kRight);
  }
  double Y(double count) const { return kBottom - count / double(countTop_) * (kBottom - kTop); }

  void Text(double x, double y, const std::string& text, const std::string& extra = "") {
    out_ << "<text x=\"" << Fixed(x, 1) << "\" y=\"" << Fixed(y, 1) << "\"" << extra << ">"
         << Xml(text) << "</text>\n";
  }
  void Line(double x1, double y1, double x2, double y2, const std::string& extra) {
    out_ << "<line x1=\"" << Fixed(x1, 1) << "\" y1=\"" << Fixed(y1, 1) << "\" x2=\""
         << Fixed(x2, 1) << "\" y2=\"" << Fixed(y2, 1) << "\"" << extra << "/>\n";
  }
  void Rect(double x, double y, double width, double height, const std::string& extra,
            const std::string& title = "") {
    out_ << "<rect x=\"" << Fixed(x, 2) << "\" y=\"" << Fixed(y, 2) << "\" width=\""
         << Fixed(width, 2) << "\" height=\"" << Fixed(height, 2) << "\"" << extra;
    if (title.empty())
      out_ << "/>\n";
    else
      out_ << "><title>" << Xml(title) << "</title></rect>\n";
  }

  void Axes() {
    const double microseconds = histogram_.sampleRate == 0 ? 0 : 1e6 / histogram_.sampleRate;
    for (uint64_t count = 0; count <= countTop_; count += countStep_) {
      Line(kLeft, Y(double(count)), kRight, Y(double(count)), " stroke=\"#e4e4e4\"");
      Text(kLeft - 8, Y(double(count)) + 4, std::to_string(count), " text-anchor=\"end\"");
    }
    const uint64_t step = NiceStep(double(histogram_.LongestDrawn()), 12);
    for (uint64_t length = step; length <= histogram_.LongestDrawn(); length += step) {
      Line(X(double(length)), kBottom, X(double(length)), kBottom + 5, " stroke=\"#000\"");
      Text(X(double(length)), kBottom + 18, std::to_string(length), " text-anchor=\"middle\"");
      Text(X(double(length)), kBottom + 32, Fixed(double(length) * microseconds, 0) + kMicroseconds,
           " text-anchor=\"middle\" font-size=\"10\" fill=\"#666\"");
    }
    Line(kLeft, kBottom, kRight, kBottom, " stroke=\"#000\"");
    Line(kLeft, kTop, kLeft, kBottom, " stroke=\"#000\"");
    Text((kLeft + kRight) / 2, kBottom + 54,
         "wave length in samples (grey: in microseconds, 1 sample = " + Fixed(microseconds, 2) +
             kMicroseconds + " at " + std::to_string(histogram_.sampleRate) + " Hz)",
         " text-anchor=\"middle\"");
    Text(22, (kTop + kBottom) / 2, "waves",
         " text-anchor=\"middle\" transform=\"rotate(-90 22 " + Fixed((kTop + kBottom) / 2, 1) +
             ")\"");
  }

  // A window of lengths, shaded, with the number of waves read in its class above the plot.
  void Band(const Window& window, const char* name, const char* colour, uint64_t waves) {
    if (window.Empty() || double(window.lowest) > double(histogram_.LongestDrawn()))
      return;
    const double left = X(double(window.lowest) - 0.5), right = X(double(window.highest) + 0.5);
    Rect(left, kTop, right - left, kBottom - kTop,
         std::string(" class=\"band ") + name + "-window\" fill=\"" + colour + "\" data-first=\"" +
             std::to_string(window.lowest) + "\" data-last=\"" + std::to_string(window.highest) +
             "\"");
    Text((left + right) / 2, kTop - 6, std::string(name) + ": " + std::to_string(waves),
         " text-anchor=\"middle\" font-size=\"11\"");
  }

  void Bars() {
    for (size_t bar = 0; bar < histogram_.bars.size(); ++bar) {
      const uint64_t count = histogram_.bars[bar];
      const uint64_t first = histogram_.FirstLength(bar), last = histogram_.LastLength(bar);
      const std::string lengths = first == last
                                      ? std::to_string(first)
                                      : std::to_string(first) + "-" + std::to_string(last);
      const double left = X(double(first) - 0.5), right = X(double(last) + 0.5);
      Rect(left, Y(double(count)), right - left, kBottom - Y(double(count)),
           " class=\"bar\" fill=\"#3a6ea5\" data-length=\"" + lengths + "\" data-count=\"" +
               std::to_string(count) + "\"",
           lengths + " samples: " + std::to_string(count) + " waves");
    }
  }

  void Marker(double length, const char* name, const std::string& style) {
    Line(X(length), kTop, X(length), kBottom,
         std::string(" class=\"") + name + "\" data-length=\"" + Fixed(length, 3) + "\"" + style);
  }

  // The legend, in the top right corner: a row is a swatch of colour (or a short line in
  // the given style, when line is set) and its text.
  void LegendBox(int rows) {
    Rect(kLegendLeft, kTop + 4, kRight - 4 - kLegendLeft, 10 + 18 * rows,
         " fill=\"#fff\" fill-opacity=\"0.85\" stroke=\"#999\"");
  }
  void LegendEntry(int row, bool line, const std::string& style, const std::string& text) {
    const double y = kTop + 22 + 18 * row;
    if (line)
      Line(kLegendLeft + 8, y - 4, kLegendLeft + 22, y - 4, style);
    else
      Rect(kLegendLeft + 8, y - 10, 12, 12, style);
    Text(kLegendLeft + 30, y, text);
  }

 private:
  std::ostream& out_;
  const Histogram& histogram_;
  uint64_t countStep_ = 1;
  uint64_t countTop_ = 1;
};

}  // namespace

void DrawPicture(std::ostream& out, const std::string& name, const PassSettings& pass,
                 const Histogram& histogram, const Window& longWindow, const Window& shortWindow,
                 const LongWaves& found) {
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << kHeight
      << "\" viewBox=\"0 0 " << kWidth << ' ' << kHeight
      << "\" font-family=\"sans-serif\" font-size=\"12\" data-waves=\"" << histogram.waves
      << "\" data-overflow=\"" << histogram.overflow << "\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
  Picture picture(out, histogram);
  picture.Text(kWidth / 2, 28, name + ": wave lengths (" + Describe(pass) + ")",
               " text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\" class=\"title\"");
  std::string subtitle = std::to_string(histogram.waves) + " waves at " +
                         std::to_string(histogram.sampleRate) +
                         " Hz; T = " + Fixed(histogram.t, 2) + " samples";
  if (histogram.overflow != 0)
    subtitle += "; " + std::to_string(histogram.overflow) + " longer than " +
                std::to_string(histogram.LongestDrawn()) + " samples, not drawn";
  picture.Text(kWidth / 2, 48, subtitle, " text-anchor=\"middle\"");
  picture.Band(shortWindow, "short", "#fde2bd", histogram.shortWaves);
  picture.Band(longWindow, "long", "#cdeacb", histogram.longWaves);
  picture.Axes();
  picture.Bars();
  // T over the mean, so that both show where they meet.
  if (found.count != 0)
    picture.Marker(found.mean, "measured", " stroke=\"#c0392b\" stroke-width=\"2\"");
  picture.Marker(histogram.t, "reference", " stroke=\"#333\" stroke-dasharray=\"6 4\"");
  if (histogram.waves == 0)
    picture.Text((kLeft + kRight) / 2, (kTop + kBottom) / 2, "No waves were measured",
                 " text-anchor=\"middle\" font-size=\"18\" class=\"note\"");

  auto range = [](const Window& window) {
    return window.Empty() ? std::string("none")
                          : std::to_string(window.lowest) + " to " +
                                std::to_string(window.highest) + " samples";
  };
  picture.LegendBox(5);
  picture.LegendEntry(0, false, " fill=\"#3a6ea5\"", "waves of each length");
  picture.LegendEntry(1, false, " fill=\"#cdeacb\"", "read as long waves: " + range(longWindow));
  picture.LegendEntry(2, false, " fill=\"#fde2bd\"", "read as short waves: " + range(shortWindow));
  picture.LegendEntry(3, true, " stroke=\"#333\" stroke-dasharray=\"4 2\"",
                      "T, a long wave at 1200 baud: " + Fixed(histogram.t, 2));
  picture.LegendEntry(4, true, " stroke=\"#c0392b\" stroke-width=\"2\"",
                      found.count == 0 ? std::string("no long waves found")
                                       : "mean of the long waves: " + Fixed(found.mean, 2));
  out << "</svg>\n";
}

}  // namespace Histogram_ns
}  // namespace Tool_ns
