#include "xcommon/xutils/text.h"

#include <cctype>
#include <cstring>

#include <fmt/format.h>

namespace XUtils {

std::string strerror(int err, const char* prefix) {
  char buffer[256];
  // GNU strerror_r: the text it returns need not be in our buffer.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return fmt::format("{}{}{}", prefix != nullptr ? prefix : "", prefix != nullptr ? " : " : "",
                     text);
}

bool is_true(std::string_view text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  for (std::string_view word : {"1", "on", "yes", "true"}) {
    if (text.size() != word.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < word.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(text[i])) == word[i];
    if (same) return true;
  }
  return false;
}

std::string format_time_interval(int seconds) {
  constexpr int MINUTE = 60, HOUR = 3600, DAY = 86400;
  if (seconds == 1) return "1 second";
  if (seconds < MINUTE) return fmt::format("{} seconds", seconds);
  if (seconds == MINUTE) return "1 minute";
  if (seconds < HOUR) return fmt::format("{:.1f} minutes", seconds / 60.0);
  if (seconds == HOUR) return "1 hour";
  if (seconds < DAY) return fmt::format("{:.1f} hours", seconds / 3600.0);
  if (seconds == DAY) return "1 day";
  return fmt::format("{:.1f} days", seconds / 86400.0);
}

namespace {
std::string_view withoutTrailingSlashes(std::string_view path) {
  const std::size_t last = path.find_last_not_of('/');
  return last == std::string_view::npos ? std::string_view() : path.substr(0, last + 1);
}
}  // namespace

std::string basename(const std::string& path) {
  return std::string(XInternal::baseName(withoutTrailingSlashes(path)));
}

std::string dirname(const std::string& path) {
  const std::string_view rest = withoutTrailingSlashes(path);
  const std::size_t slash = rest.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(withoutTrailingSlashes(rest.substr(0, slash)));
}

}  // namespace XUtils
