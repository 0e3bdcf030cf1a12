#include "tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fmt/format.h>

#include <xcommon/xlogger.h>
#include <xcommon/xutils/text.h>

namespace xtool {

namespace {

// Function-local, so that registrations in other sources may run before anything here.
std::vector<Command>& registry() {
  static std::vector<Command> list;
  return list;
}

constexpr std::size_t QUOTED_MAX = 64;

int writeError = 0;  // errno of the first failed write to standard output

}  // namespace

int refuse(std::string_view text) {
  std::fprintf(stderr, "xtool: %.*s\n", static_cast<int>(text.size()), text.data());
  return REFUSED;
}

int usageError(std::string_view text) {
  std::fprintf(stderr, "xtool: %.*s\nTry 'xtool --help'.\n", static_cast<int>(text.size()),
               text.data());
  return USAGE;
}

std::string clipped(std::string_view text) {
  if (text.size() <= QUOTED_MAX) return std::string(text);
  std::size_t end = QUOTED_MAX;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "...";
}

std::string inQuotes(std::string_view text) { return "'" + clipped(text) + "'"; }

Registration::Registration(const Command& command) {
  std::vector<Command>& list = registry();
  const auto at = std::find_if(list.begin(), list.end(), [&](const Command& c) {
    return std::strcmp(c.name, command.name) > 0;
  });
  list.insert(at, command);
}

const std::vector<Command>& commands() { return registry(); }

const Command* findCommand(std::string_view name) {
  for (const Command& c : registry()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

std::vector<std::string_view> synopsisForms(const Command& command) {
  std::vector<std::string_view> forms;
  std::string_view rest = command.synopsis;
  for (std::size_t bar; (bar = rest.find(" | ")) != std::string_view::npos;) {
    forms.push_back(rest.substr(0, bar));
    rest.remove_prefix(bar + 3);
  }
  forms.push_back(rest);
  return forms;
}

std::string commandHelp(const Command& command) {
  std::string text;
  for (const std::string_view form : synopsisForms(command)) {
    text += text.empty() ? "Usage: xtool " : "  or:  xtool ";
    text += command.name;
    if (!form.empty()) text.append(" ").append(form);
    text += '\n';
  }
  return text + wrapped(command.description, 2);
}

std::string wrapped(std::string_view text, std::size_t indent, std::size_t width) {
  std::string out, line;
  const auto flush = [&] {
    if (!line.empty()) out.append(indent, ' ').append(line) += '\n';
    line.clear();
  };
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    const std::string_view word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) flush();
    if (!line.empty()) line += ' ';
    line += word;
  }
  flush();
  return out;
}

std::vector<XCmdLine::Option> withCommonOptions(const XCmdLine::Option* table) {
  std::vector<XCmdLine::Option> options;
  for (const XCmdLine::Option* o = table; o->argument != XCmdLine::END; ++o) options.push_back(*o);
  options.push_back({'v', "verbose", XCmdLine::NONE});
  options.push_back({'h', "help", XCmdLine::NONE});
  options.push_back({0, nullptr, XCmdLine::END});
  return options;
}

// Data such as a token or a file name may start with '-': how to pass it.
constexpr const char* DASH_HINT = " (an argument that starts with '-' goes after '--')";

std::optional<int> parse(const XCmdLine::Option* table, const std::string& usage, int argc,
                         char** argv, Args& out) {
  const std::vector<XCmdLine::Option> options = withCommonOptions(table);

  bool help = false;
  const XCmdLine words(options.data(), argc, argv);
  for (auto it = words.begin(); it != words.end(); ++it) {
    switch (it->id()) {
      case XCmdLine::ID_ARGUMENT: out.operands.emplace_back(it->argument()); break;
      case XCmdLine::ID_UNRECOGNISED:
        return usageError("unknown option " + inQuotes(it->text()) + DASH_HINT);
      // A token "-V..." reads as -V without its value: the same hint applies.
      case XCmdLine::ID_MISSING_ARGUMENT:
        return usageError("option " + it->text() + " needs a value" + DASH_HINT);
      case 'v': XLogger::instance()->increaseMaxVerbosity(); break;
      case 'h': help = true; break;
      default: out.options[it->id()] = it->argument() != nullptr ? it->argument() : ""; break;
    }
  }
  if (help) {
    print(usage);
    return OK;
  }
  return std::nullopt;
}

void guardStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one, as the lower ones are open by now.
    const int placeholder = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (placeholder >= 0 && placeholder != fd) close(placeholder);
  }
}

bool readInput(const std::string& file, std::string& out, std::string& error) {
  const bool standard = file.empty() || file == "-";
  const int fd = standard ? STDIN_FILENO : open(file.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0;
  char buffer[65536];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
    }
  }
  const int reason = errno;
  if (!standard && fd >= 0) close(fd);
  if (!ok)
    error = "cannot read " + (standard ? std::string("standard input") : file) + ": " +
            XUtils::strerror(reason);
  return ok;
}

void print(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && writeError == 0)
    writeError = errno;
}

void printLine(std::string_view text) {
  print(text);
  print("\n");
}

int finishOutput(int status) {
  errno = 0;
  if (std::fflush(stdout) != 0 && writeError == 0) writeError = errno;
  if (std::ferror(stdout) == 0) return status;
  refuse("cannot write output: " + XUtils::strerror(writeError != 0 ? writeError : EIO));
  return REFUSED;
}

namespace {

// "YYYY-MM-DDTHH:MM:SS" of a second in UTC or in the zone TZ names, then "Z" or the offset.
std::string timeText(std::int64_t seconds, bool local) {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if ((local ? localtime_r(&t, &tm) : gmtime_r(&t, &tm)) == nullptr) return std::to_string(seconds);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  return text + (local ? offsetText(tm.tm_gmtoff) : std::string("Z"));
}

}  // namespace

std::string utcText(std::int64_t seconds) { return timeText(seconds, false); }

std::string localText(std::int64_t seconds) { return timeText(seconds, true); }

bool parseInt(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  value = v;
  return true;
}

// "+HH:MM" or "-HH:MM" of an offset in seconds; ":SS" follows when the seconds are not zero (a
// zone's local mean time before standard time).
std::string offsetText(long offset) {
  const long magnitude = offset < 0 ? -offset : offset;
  std::string text =
      fmt::format("{}{:02}:{:02}", offset < 0 ? '-' : '+', magnitude / 3600, magnitude / 60 % 60);
  if (magnitude % 60 != 0) text += fmt::format(":{:02}", magnitude % 60);
  return text;
}

bool parseTime(const std::string& text, std::int64_t& seconds) {
  long long whole = 0;
  if (parseInt(text, INT64_MIN, INT64_MAX, whole)) {
    seconds = whole;
    return true;
  }
  std::tm tm{};
  int length = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &length) != 6)
    return false;
  const std::string zone = text.substr(static_cast<std::size_t>(length));
  long offset = 0;
  if (zone != "Z") {
    int hours = 0, minutes = 0, used = 0;
    if (std::sscanf(zone.c_str(), "%*1[+-]%2d:%2d%n", &hours, &minutes, &used) != 2 ||
        static_cast<std::size_t>(used) != zone.size() || hours > 23 || minutes > 59)
      return false;
    offset = (zone[0] == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
    if (offsetText(offset) != zone) return false;  // "+1:00", "+01:5"
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const std::time_t local = timegm(&tm);
  // A field out of range (month 13, second 61) comes back normalised: refuse it.
  if (utcText(local).substr(0, 19) != text.substr(0, 19)) return false;
  seconds = local - offset;
  return true;
}

std::string_view trimmed(std::string_view text) {
  const char* space = " \t\n\v\f\r";
  const std::size_t first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace xtool
