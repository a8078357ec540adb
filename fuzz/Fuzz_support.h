#pragma once

// What the fuzz targets share: a folder of the process's own for the files that the readers
// take, writing an input into it, and stopping the run when a property does not hold.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace Fuzz_ns {

// A fresh folder under the system's temporary folder (TMPDIR), made on first use and removed
// with its contents when the process ends normally.
class WorkFolder {
 public:
  WorkFolder() {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("varnstow-fuzz-" + std::to_string(random()) + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) {
        break;
      }
    }
  }
  ~WorkFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline const WorkFolder& Folder() {
  static const WorkFolder folder;
  return folder;
}

// Stops the run, which libFuzzer records as a finding, when a property fails.
inline void Check(bool holds, const char* property) {
  if (!holds) {
    std::fprintf(stderr, "Property failed: %s\n", property);
    std::abort();
  }
}

// Replaces the file at path with the given bytes.
inline void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  Check(!out.fail(), "the input could be written to the work folder");
}

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace Fuzz_ns
