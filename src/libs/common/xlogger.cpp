#include "xcommon/xlogger.h"

#include <unistd.h>

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

constexpr const char* LEVEL_NAMES[] = {"SYSTEM", "ERROR", "WARNING", "INFO", "DBG1", "DBG2", "DBG3"};
constexpr auto GREY = fmt::rgb(128, 128, 128);

const char* levelName(XLogger::Level level) { return LEVEL_NAMES[XLogger::clampLevel(level) + 1]; }

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

using LineBuffer = fmt::basic_memory_buffer<char, 500>;

// Local "YYYY-mm-dd HH:MM:SS" of a second, converted once per second per thread: localtime_r
// takes glibc's time-zone lock and costs more than the rest of the header.
struct LocalSecond {
  std::int64_t second = INT64_MIN;
  char text[32] = {};
  std::size_t size = 0;
};

std::string_view localDateTime(std::int64_t seconds) {
  thread_local LocalSecond cache;
  if (cache.second != seconds) {
    std::tm tm{};
    const auto t = static_cast<std::time_t>(seconds);
    localtime_r(&t, &tm);
    const auto end = fmt::format_to_n(cache.text, sizeof cache.text, "{:%Y-%m-%d %H:%M:%S}", tm);
    cache.size = std::min(end.size, sizeof cache.text);
    cache.second = seconds;
  }
  return {cache.text, cache.size};
}

void append(LineBuffer& buf, std::string_view text) { buf.append(text.data(), text.data() + text.size()); }

// "header message (file:line)\n"; with a style, the message part is styled and the location
// grey. The line feed is never styled.
void formatLine(LineBuffer& buf, const fmt::text_style* style, std::string_view header,
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
      fmt::format_to(fmt::appender(buf), FMT_COMPILE(" ({}:{})"), file, line);
  }
  buf.push_back('\n');
}

}  // namespace

// ---- XLogger::Sink

XLogger::Sink::Sink(std::string name) : m_name(std::move(name)) {}

XLogger::Sink::~Sink() = default;

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
  Sink::operator=(std::move(other));
  m_out = other.m_out;
  m_err = other.m_err;
  m_sys = other.m_sys;
  return *this;
}

void XLogger::StdOutSink::print(Level level, const char* file, int line, std::string_view header,
                                std::string_view message) const {
  FILE* const stream = level == SYSTEM ? m_sys : (level == ERROR || level == WARNING) ? m_err : m_out;
  if (stream == nullptr) return;
  // The whole line is built first, then written with one call under the lock.
  LineBuffer buf;
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
    } catch (const std::system_error&) {
    }
  }
}

XLogger::FileSink::FileSink(FileSink&& other) noexcept
    : Sink(std::move(other)), m_file(std::move(other.m_file)) {}

XLogger::FileSink& XLogger::FileSink::operator=(FileSink&& other) noexcept {
  Sink::operator=(std::move(other));
  m_file = std::move(other.m_file);
  return *this;
}

XLogger::FileSink::~FileSink() = default;

void XLogger::FileSink::print(Level, const char* file, int line, std::string_view header,
                              std::string_view message) const {
  if (!m_file) return;
  LineBuffer buf;
  formatLine(buf, nullptr, header, message, file, line);
  const std::lock_guard<std::mutex> lock(m_mutex);
  // Bypass stdio: its buffer would split long lines into several writes, and with O_APPEND a
  // single write(2) is what keeps lines of concurrent processes whole.
  const int fd = fileno(m_file.get());
  const char* data = buf.data();
  std::size_t left = buf.size();
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

void XLogger::println(Level level, const char* file, int line, std::string_view message) const {
  level = clampLevel(level);
  XTime::Timestamp t = XTime::now();
  int millis = t.nanoseconds / 1000000 + (t.nanoseconds % 1000000 > 499999 ? 1 : 0);
  if (millis >= 1000) {  // 999.5 ms and up carry into the next second
    ++t.seconds;
    millis -= 1000;
  }
  LineBuffer header;
  fmt::format_to(fmt::appender(header), FMT_COMPILE("[{}.{:03d} p{}/t{} {}]"), localDateTime(t.seconds),
                 millis, XUtils::get_pid(), XUtils::get_tid(), levelName(level));
  const std::string_view headerText(header.data(), header.size());
  const char* const name = file != nullptr ? baseName(file) : nullptr;
  for (const auto& [key, sink] : m_sinks) {
    if (sink->valid() && level <= sink->verbosity())
      sink->print(level, name, line, headerText, message);
  }
}
