#include "xcommon/xlogger.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include <fmt/chrono.h>
#include <fmt/color.h>
#include <fmt/compile.h>

#include "xcommon/xtime.h"
#include "xcommon/xutils/ids.h"
#include "xcommon/xutils/text.h"

std::unique_ptr<XLogger> XLogger::s_instance;

namespace {

constexpr auto GREY = fmt::rgb(128, 128, 128);

fmt::text_style levelStyle(XLogger::Level level) {
  switch (level) {
    case XLogger::SYSTEM: return fmt::emphasis::bold;
    case XLogger::ERROR: return fmt::emphasis::bold | fmt::fg(fmt::rgb(255, 0, 0));
    case XLogger::WARNING: return fmt::emphasis::bold | fmt::fg(fmt::rgb(255, 255, 0));
    case XLogger::INFO: return {};
    default: return fmt::fg(GREY);
  }
}

bool envSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// What the lines of one thread repeat, kept per thread: the date of the current local second
// (localtime_r takes glibc's time-zone lock and costs more than the rest of the line), the
// whole header of the current millisecond and level. Lines come in bursts, so most lines copy
// their header instead of formatting it.
struct LineParts {
  std::int64_t second = INT64_MIN;
  char date[32] = {};  // "[YYYY-mm-dd HH:MM:SS."
  std::size_t dateSize = 0;

  // The header belongs to `second` too: both change together.
  int headerMillis = -1;
  int headerLevel = -2;
  int pid = -1;
  std::uint64_t tid = 0;
  char header[128] = {};  // "[... pP/tT LEVEL] "
  std::size_t headerSize = 0;
};

thread_local LineParts t_parts;

// "NAME] " of each level, SYSTEM first.
constexpr std::string_view LEVEL_TAILS[] = {"SYSTEM] ", "ERROR] ", "WARNING] ", "INFO] ",
                                            "DBG1] ",   "DBG2] ",  "DBG3] "};

// The header of a line at `seconds` and `millis` in this thread.
std::string_view lineHeader(std::int64_t seconds, int millis, XLogger::Level level) {
  LineParts& p = t_parts;
  const int pid = XUtils::get_pid();
  const std::uint64_t tid = XUtils::get_tid();
  if (p.second == seconds && p.headerMillis == millis && p.headerLevel == level && p.pid == pid &&
      p.tid == tid)
    return {p.header, p.headerSize};
  if (p.second != seconds) {
    std::tm tm{};
    const auto t = static_cast<std::time_t>(seconds);
    localtime_r(&t, &tm);
    const auto end = fmt::format_to_n(p.date, sizeof p.date, "[{:%Y-%m-%d %H:%M:%S}.", tm);
    p.dateSize = std::min(end.size, sizeof p.date);
    p.second = seconds;
  }
  const auto end = fmt::format_to_n(p.header, sizeof p.header, FMT_COMPILE("{}{:03d} p{}/t{} {}"),
                                    std::string_view(p.date, p.dateSize), millis, pid, tid,
                                    LEVEL_TAILS[level + 1]);
  p.headerSize = std::min(end.size, sizeof p.header);
  p.headerMillis = millis;
  p.headerLevel = level;
  p.pid = pid;
  p.tid = tid;
  return {p.header, p.headerSize};
}

void append(fmt::memory_buffer& buf, std::string_view text) {
  buf.append(text.data(), text.data() + text.size());
}

// " (name:line)" with one resize and plain copies: this runs on every plain line.
void appendLocation(fmt::memory_buffer& buf, const char* name, int line) {
  const fmt::format_int number(line);
  const std::size_t nameSize = std::strlen(name), at = buf.size();
  buf.resize(at + 2 + nameSize + 1 + number.size() + 1);
  char* out = std::copy_n(" (", 2, buf.data() + at);
  out = std::copy_n(name, nameSize, out);
  *out++ = ':';
  out = std::copy_n(number.data(), number.size(), out);
  *out = ')';
}

// "header message (file:line)\n"; with a style, the message part is styled and the location
// grey. The line feed is never styled.
void formatLine(fmt::memory_buffer& buf, const fmt::text_style* style, std::string_view header,
                std::string_view message, const char* file, int line) {
  if (style != nullptr) {
    fmt::format_to(fmt::appender(buf), *style, "{} {}", header, message);
  } else {
    append(buf, header);
    buf.push_back(' ');
    append(buf, message);
  }
  if (file != nullptr) {
    if (style != nullptr)
      fmt::format_to(fmt::appender(buf), fmt::fg(GREY), " ({}:{})", file, line);
    else
      appendLocation(buf, file, line);
  }
  buf.push_back('\n');
}

}  // namespace

// ---- XLogger::Sink

XLogger::Sink::Sink(std::string name) : m_name(std::move(name)) {}

XLogger::Sink::~Sink() = default;

bool XLogger::Sink::printLine(Level, std::string_view) const { return false; }

XLogger::Sink::Sink(Sink&& other) noexcept
    : m_useColors(other.m_useColors),
      m_verbosity(other.m_verbosity.exchange(SYSTEM, std::memory_order_relaxed)),
      m_name(std::move(other.m_name)) {
  other.m_name.clear();
}

XLogger::Sink& XLogger::Sink::operator=(Sink&& other) noexcept {
  if (this != &other) {
    m_useColors = other.m_useColors;
    m_verbosity.store(other.m_verbosity.exchange(SYSTEM, std::memory_order_relaxed),
                      std::memory_order_relaxed);
    m_name = std::move(other.m_name);
    other.m_name.clear();
  }
  return *this;
}

// ---- XLogger::StdOutSink

XLogger::StdOutSink::StdOutSink(FILE* out, FILE* err, FILE* sys)
    : Sink("stdout"), m_out(out), m_err(err), m_sys(sys) {
  m_useColors = out != nullptr && isatty(fileno(out)) == 1;
  if (envSet("NO_COLOR")) m_useColors = false;
  if (envSet("FORCE_COLOR")) m_useColors = true;
}

XLogger::StdOutSink::StdOutSink(StdOutSink&& other) noexcept
    : Sink(std::move(other)), m_out(other.m_out), m_err(other.m_err), m_sys(other.m_sys) {}

XLogger::StdOutSink& XLogger::StdOutSink::operator=(StdOutSink&& other) noexcept {
  Sink::operator=(std::move(other));  // moves only the base part
  m_out = other.m_out;                // NOLINT(bugprone-use-after-move)
  m_err = other.m_err;
  m_sys = other.m_sys;
  return *this;
}

FILE* XLogger::StdOutSink::stream(Level level) const {
  return level == SYSTEM ? m_sys : (level == ERROR || level == WARNING) ? m_err : m_out;
}

bool XLogger::StdOutSink::printLine(Level level, std::string_view line) const {
  if (m_useColors) return false;
  FILE* const out = stream(level);
  if (out == nullptr) return true;
  const std::lock_guard<std::mutex> lock(m_mutex);
  std::fwrite(line.data(), 1, line.size(), out);
  return true;
}

void XLogger::StdOutSink::print(Level level, const char* file, int line, std::string_view header,
                                std::string_view message) const {
  FILE* const stream = this->stream(level);
  if (stream == nullptr) return;
  // The whole line is built first, then written with one call under the lock.
  fmt::memory_buffer buf;
  if (m_useColors) {
    const fmt::text_style style = levelStyle(level);
    formatLine(buf, &style, header, message, file, line);
  } else {
    formatLine(buf, nullptr, header, message, file, line);
  }
  const std::lock_guard<std::mutex> lock(m_mutex);
  std::fwrite(buf.data(), 1, buf.size(), stream);
}

// ---- XLogger::FileSink

void XLogger::FileSink::closeFile(FILE* file) {
  if (file != nullptr) std::fclose(file);
}

XLogger::FileSink::FileSink(const std::string& path) : Sink("file") {
  m_file.reset(std::fopen(path.c_str(), "a"));
  if (!m_file) {
    const int err = errno;
    try {
      fmt::print(stderr, "Failed to open log file {} : {}\n", path, XUtils::strerror(err));
    } catch (const std::system_error&) {}
  }
}

XLogger::FileSink::FileSink(FileSink&& other) noexcept
    : Sink(std::move(other)), m_file(std::move(other.m_file)) {}

XLogger::FileSink& XLogger::FileSink::operator=(FileSink&& other) noexcept {
  Sink::operator=(std::move(other));  // moves only the base part
  m_file = std::move(other.m_file);   // NOLINT(bugprone-use-after-move)
  return *this;
}

XLogger::FileSink::~FileSink() = default;

void XLogger::FileSink::print(Level, const char* file, int line, std::string_view header,
                              std::string_view message) const {
  if (!m_file) return;
  fmt::memory_buffer buf;
  formatLine(buf, nullptr, header, message, file, line);
  write({buf.data(), buf.size()});
}

bool XLogger::FileSink::printLine(Level, std::string_view line) const {
  if (m_file) write(line);
  return true;
}

void XLogger::FileSink::write(std::string_view line) const {
  const std::lock_guard<std::mutex> lock(m_mutex);
  // Bypass stdio: its buffer would split long lines into several writes, and with O_APPEND a
  // single write(2) is what keeps lines of concurrent processes whole.
  const int fd = fileno(m_file.get());
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a failed write drops the rest of the line; logging goes on
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

// ---- XLogger

XLogger::~XLogger() = default;

XLogger* XLogger::createInstance() {
  s_instance.reset(new XLogger());
  return s_instance.get();
}

void XLogger::destroyInstance() { s_instance.reset(); }

void XLogger::raiseMaxVerbosity(Level level) {
  if (level > maxVerbosity()) m_maxVerbosity.store(level, std::memory_order_relaxed);
}

void XLogger::addSink(std::unique_ptr<Sink> sink, Level level) {
  if (!sink) return;
  level = clampLevel(level);
  sink->setVerbosity(level);
  auto it = m_sinks.find(sink->name());
  if (it != m_sinks.end())
    it->second = std::move(sink);
  else
    m_sinks.emplace(sink->name(), std::move(sink));
  raiseMaxVerbosity(level);
}

void XLogger::setMaxVerbosity(Level level, const std::string& name) {
  level = clampLevel(level);
  if (name.empty()) {
    m_maxVerbosity.store(level, std::memory_order_relaxed);
    for (auto& [key, sink] : m_sinks) sink->setVerbosity(level);
    return;
  }
  auto it = m_sinks.find(name);
  if (it == m_sinks.end()) return;
  it->second->setVerbosity(level);
  raiseMaxVerbosity(level);
}

XLogger::Level XLogger::increaseMaxVerbosity(const std::string& name) {
  if (name.empty()) {
    const Level current = maxVerbosity();
    if (current >= DBG3) return current;
    const Level raised = clampLevel(current + 1);
    m_maxVerbosity.store(raised, std::memory_order_relaxed);
    for (auto& [key, sink] : m_sinks) sink->setVerbosity(raised);
    return raised;
  }
  auto it = m_sinks.find(name);
  if (it == m_sinks.end()) return SYSTEM;
  const Level current = it->second->verbosity();
  if (current >= DBG3) return current;
  const Level raised = clampLevel(current + 1);
  it->second->setVerbosity(raised);
  raiseMaxVerbosity(raised);
  return raised;
}

std::size_t XLogger::beginLine(fmt::memory_buffer& buf, Level level) {
  XTime::Timestamp t = XTime::now();
  int millis = t.nanoseconds / 1000000 + (t.nanoseconds % 1000000 > 499999 ? 1 : 0);
  if (millis >= 1000) {  // 999.5 ms and up carry into the next second
    ++t.seconds;
    millis -= 1000;
  }
  const std::string_view header = lineHeader(t.seconds, millis, level);
  buf.append(header.data(), header.data() + header.size());
  return buf.size();
}

void XLogger::formatFailure(fmt::memory_buffer& buf, const char* what) {
  fmt::format_to(fmt::appender(buf), "Failed to format message: {}", what);
}

void XLogger::endLine(fmt::memory_buffer& buf, std::size_t start, Level level, const char* file,
                      int line) const {
  const std::size_t messageEnd = buf.size();
  const char* const name = file != nullptr ? baseName(file) : nullptr;
  if (name != nullptr) appendLocation(buf, name, line);
  buf.push_back('\n');
  // Views into the buffer, taken once it no longer grows.
  const std::string_view whole(buf.data(), buf.size());
  const std::string_view header = whole.substr(0, start - 1);
  const std::string_view message = whole.substr(start, messageEnd - start);
  for (const auto& [key, sink] : m_sinks) {
    if (sink->valid() && level <= sink->verbosity() && !sink->printLine(level, whole))
      sink->print(level, name, line, header, message);
  }
}

void XLogger::println(Level level, const char* file, int line, std::string_view message) const {
  level = clampLevel(level);
  fmt::memory_buffer buf;
  const std::size_t start = beginLine(buf, level);
  buf.append(message.data(), message.data() + message.size());
  endLine(buf, start, level, file, line);
}
