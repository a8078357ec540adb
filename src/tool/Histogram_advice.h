#pragma once

// varnstow-tool histogram's summary and advice: what the measured pass found, in words, and the
// options that let varnstow read more of the recording, each tried before it is suggested.

#include <iosfwd>
#include <string>

#include "tool/Histogram_measure.h"
#include "tool/Recording.h"

namespace Tool_ns {
namespace Histogram_ns {

// What the measured pass found, in words.
void Summarise(std::ostream& out, const std::string& name, const PassSettings& pass,
               const Histogram& histogram, const LongWaves& found);

// The way forward: which phase reads more blocks (varnstow's -p), whether a -s would read
// more, and a warning when the recording is noisy. Each suggestion is tried by decoding the
// recording as varnstow would with it, so only what reads more blocks is suggested.
void Advise(std::ostream& out, const RecordingSettings& recording, const PassSettings& pass,
            const Histogram& histogram, const LongWaves& found, double centreFactor);

}  // namespace Histogram_ns
}  // namespace Tool_ns
