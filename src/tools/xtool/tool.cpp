#include "tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <xcommon/xlogger.h>
#include <xcommon/xutils/text.h>

namespace xtool {

int refuse(std::string_view text) {
  std::fprintf(stderr, "xtool: %.*s\n", static_cast<int>(text.size()), text.data());
  return REFUSED;
}

int usageError(std::string_view text) {
  std::fprintf(stderr, "xtool: %.*s\nTry 'xtool --help'.\n", static_cast<int>(text.size()),
               text.data());
  return USAGE;
}

std::optional<int> parse(const XCmdLine::Option* table, const char* usage, int argc, char** argv,
                         Args& out) {
  std::vector<XCmdLine::Option> options;
  for (const XCmdLine::Option* o = table; o->argument != XCmdLine::END; ++o) options.push_back(*o);
  options.push_back({'v', "verbose", XCmdLine::NONE});
  options.push_back({'h', "help", XCmdLine::NONE});
  options.push_back({0, nullptr, XCmdLine::END});

  bool help = false;
  const XCmdLine words(options.data(), argc, argv);
  for (auto it = words.begin(); it != words.end(); ++it) {
    switch (it->id()) {
      case XCmdLine::ID_ARGUMENT: out.operands.emplace_back(it->argument()); break;
      case XCmdLine::ID_UNRECOGNISED: return usageError("unknown option " + it->text());
      case XCmdLine::ID_MISSING_ARGUMENT:
        return usageError("option " + it->text() + " needs a value");
      case 'v': XLogger::instance()->increaseMaxVerbosity(); break;
      case 'h': help = true; break;
      default: out.options[it->id()] = it->argument() != nullptr ? it->argument() : ""; break;
    }
  }
  if (help) {
    std::fputs(usage, stdout);
    return OK;
  }
  return std::nullopt;
}

bool readInput(const std::string& file, std::string& out, std::string& error) {
  if (file.empty() || file == "-") {
    out.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) {
      error = "cannot read standard input";
      return false;
    }
    return true;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = XUtils::strerror(errno, ("cannot open " + file).c_str());
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + file;
    return false;
  }
  return true;
}

std::string utcText(std::int64_t seconds) {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return std::to_string(seconds);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

bool parseInt(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  value = v;
  return true;
}

bool parseTime(const std::string& text, std::int64_t& seconds) {
  long long whole = 0;
  if (parseInt(text, INT64_MIN, INT64_MAX, whole)) {
    seconds = whole;
    return true;
  }
  std::tm tm{};
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &tail) != 6)
    return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const std::time_t t = timegm(&tm);
  // A field out of range (month 13, second 61) comes back normalised: refuse it.
  if (utcText(t) != text) return false;
  seconds = t;
  return true;
}

std::string_view trimmed(std::string_view text) {
  const char* space = " \t\n\v\f\r";
  const std::size_t first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace xtool
