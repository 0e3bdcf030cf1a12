#include "xcommon/xutils/system_info.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "xcommon/xlogger.h"
#include "xcommon/xutils/text.h"

namespace XUtils {

namespace {

constexpr std::string_view BLANKS = " \t\n\v\f\r";

// Trims, then unquotes a value wrapped in a matching pair of ' or ". Inside the quotes a
// backslash takes the next character literally, except when that is the closing quote.
std::string cleanValue(std::string_view value) {
  const std::size_t first = value.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return {};
  value = value.substr(first, value.find_last_not_of(BLANKS) - first + 1);
  if (value.size() < 2 || (value.front() != '"' && value.front() != '\'') ||
      value.back() != value.front())
    return std::string(value);
  const std::string_view inner = value.substr(1, value.size() - 2);
  std::string result;
  result.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size()) ++i;
    result += inner[i];
  }
  return result;
}

std::string unameOsName() {
  struct utsname names;
  if (uname(&names) != 0) return "Linux";
  if (names.release[0] == '\0') return names.sysname;
  return fmt::format("{} {}", names.sysname, names.release);
}

// Reads `path`, or `fallbackPath` when `path` cannot be opened (a file that opens but holds no
// PRETTY_NAME or NAME goes straight to the uname fallback).
std::string prettyOsNameFrom(const std::string& path, const std::string& fallbackPath) {
  std::ifstream file(path);
  if (!file.is_open()) file.open(fallbackPath);
  if (!file.is_open()) return unameOsName();

  std::optional<std::string> prettyName, name, version;
  std::string line;
  while (std::getline(file, line)) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string_view key = std::string_view(line).substr(0, equals);
    std::optional<std::string>* slot = key == "PRETTY_NAME" ? &prettyName
                                       : key == "NAME"      ? &name
                                       : key == "VERSION"   ? &version
                                                            : nullptr;
    if (slot != nullptr) *slot = cleanValue(std::string_view(line).substr(equals + 1));
  }
  file.close();

  if (prettyName) return *prettyName;
  if (name) return version ? fmt::format("{} {}", *name, *version) : *name;
  return unameOsName();
}

// Where the os-release files are looked for: the root, or in test builds the directory that
// XCOMMON_TEST_OS_ROOT names, so that tests can feed the public call files of their own.
std::string osRoot() {
#ifdef XCOMMON_TEST_HOOKS
  if (const char* root = std::getenv("XCOMMON_TEST_OS_ROOT")) return root;
#endif
  return {};
}

}  // namespace

std::string getHostname() {
  struct utsname names;
  if (uname(&names) != 0) {
    const int err = errno;
    XLOG(XLogger::WARNING, "uname failed : {}", XUtils::strerror(err));
    return {};
  }
  return names.nodename;
}

std::string get_architecture_name() {
  struct utsname names;
  if (uname(&names) != 0) return "x86_64";
  return names.machine;
}

std::string get_pretty_os_name() {
  const std::string root = osRoot();
  return prettyOsNameFrom(root + "/etc/os-release", root + "/usr/lib/os-release");
}

}  // namespace XUtils
