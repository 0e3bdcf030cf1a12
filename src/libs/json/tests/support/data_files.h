#pragma once

// Test support: the public JSON corpora and parser tests (../shared/data/json beside the tree,
// or $XJSON_DATA_DIR), read whole. Tests skip cleanly when they are absent.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace TestSupport {

inline std::filesystem::path dataDir() {
  if (const char* env = std::getenv("XJSON_DATA_DIR")) return env;
  return XJSON_DATA_DIR;
}

// Empty for a missing file.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace TestSupport
