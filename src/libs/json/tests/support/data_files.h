#pragma once

// Test support: the public JSON corpora and parser tests (../shared/data/json beside the tree,
// or $XJSON_DATA_DIR), read whole. Tests skip cleanly when they are absent, and fail instead in
// a build configured with XJSON_REQUIRE_DATA=ON (CI), where a green run must have read them.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// Ends a test whose data is absent: a skip, or a failure where the data is required.
#define XJSON_WITHOUT_DATA(message)                   \
  do {                                                \
    if (TestSupport::REQUIRE_DATA) FAIL() << message; \
    GTEST_SKIP() << message;                          \
  } while (false)

#ifndef XJSON_REQUIRE_DATA
#define XJSON_REQUIRE_DATA 0  // the benchmark's build, which only reads the data
#endif

namespace TestSupport {

constexpr bool REQUIRE_DATA = XJSON_REQUIRE_DATA;

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
