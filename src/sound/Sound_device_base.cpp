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
  if (!input_.Refill()) {
    if (input_.Bad()) {
      throw std::runtime_error(readError_);
    }
    source_.Ended = true;
    return false;
  }
  start_ = next = input_.Next();
  end = input_.End();
  return true;
}

}  // namespace SoundInput_ns
