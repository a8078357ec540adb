#pragma once

// varnstow-tool histogram's picture: the bars of a pass's wave lengths as an SVG document, with
// the windows varnstow reads as long and short waves shaded, T and the mean long wave marked,
// and a legend.

#include <iosfwd>
#include <string>

#include "tool/Histogram_measure.h"
#include "tool/Recording.h"

namespace Tool_ns {
namespace Histogram_ns {

// Writes the picture of the pass over the recording called name.
void DrawPicture(std::ostream& out, const std::string& name, const PassSettings& pass,
                 const Histogram& histogram, const Window& longWindow, const Window& shortWindow,
                 const LongWaves& found);

}  // namespace Histogram_ns
}  // namespace Tool_ns
