#include "support/Temp_folder.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestSupport {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path);  // in text mode, which turns "\r\n" into "\n" where files have it
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace TestSupport
