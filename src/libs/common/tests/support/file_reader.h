#pragma once

// Test support: a whole file as bytes.

#include <fstream>
#include <iterator>
#include <string>

namespace TestSupport {

// Empty for a missing file.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace TestSupport
