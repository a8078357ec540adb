#include <string>

#include "platform/File_system.h"

namespace Platform_ns {

std::string TemporaryNameBeside(const std::string& path) {
  const std::string stem = path + "." + ProcessTag() + "-";
  // Names left over from an earlier process with the same number are passed by; a thousand
  // of them is a folder that something else fills.
  for (unsigned attempt = 0;; ++attempt) {
    std::string name = stem + std::to_string(attempt) + ".tmp";
    if (!FactsOf(name).exists || attempt == 999) {
      return name;
    }
  }
}

}  // namespace Platform_ns
