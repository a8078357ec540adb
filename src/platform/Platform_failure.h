#pragma once

#include <string>
#include <utility>

namespace Platform_ns {

// A failure inside the platform layer that the program cannot carry on from (a settings store
// that accepted the key but refuses the value, for example). It deliberately does not derive
// from std::exception: the run driver reports it through its handler for unexpected failures.
class PlatformFailure {
 public:
  explicit PlatformFailure(std::string what) : what_(std::move(what)) {}
  const std::string& What() const { return what_; }

 private:
  std::string what_;
};

}  // namespace Platform_ns
