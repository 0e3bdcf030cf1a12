#pragma once

// Test support: a text in a heap block of its very size, with no NUL after it, so that
// AddressSanitizer catches a parse that reads past its end.

#include <cstring>
#include <memory>
#include <string_view>

namespace TestSupport {

inline std::unique_ptr<char[]> exactCopy(std::string_view text) {
  std::unique_ptr<char[]> copy(new char[text.size()]);
  if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

}  // namespace TestSupport
