#include "sound/Sound_device_base.h"

#include <cmath>
#include <stdexcept>

namespace SoundInput_ns {

void RaiseWritingError() {
  throw std::runtime_error("File writing error");
}

SoundBase::~SoundBase() = default;

int64_t SoundBase::ProgressPercent() {
  if (TotalLength <= 0) {
    return 0;
  }
  return static_cast<int64_t>(std::trunc(static_cast<double>(Position) / TotalLength * 100 + 0.5));
}

bool FileSampleCursor::Refill() {
  Commit();
  const bool refilled = input_.Refill();
  // Take the buffer's pointers even when nothing came: at the end of the file the buffer
  // starts over empty, and the old ones would otherwise be committed past its end later.
  start_ = next = input_.Next();
  end = input_.End();
  if (!refilled) {
    if (input_.Bad()) {
      throw std::runtime_error(readError_);
    }
    source_.Ended = true;
    return false;
  }
  return true;
}

}  // namespace SoundInput_ns
