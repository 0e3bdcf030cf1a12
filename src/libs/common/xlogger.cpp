#include "xcommon/xlogger.h"

#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/color.h>
#include <fmt/compile.h>

#include "internal/fork_guard.h"
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
    {
      const std::lock_guard<std::mutex> lock(XInternal::libcMutex());
      localtime_r(&t, &tm);
    }
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

// Writes all of `data`, going on after partial writes and EINTR; returns the bytes written.
std::size_t writeAll(int fd, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the rest is dropped; logging goes on
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// Ends a line left unfinished before (`lineOpen`), then writes `line`, in one write(2) when the
// descriptor takes it all. Returns whether a line is left unfinished now.
bool writeLine(int fd, std::string_view line, bool lineOpen) {
  if (lineOpen && writeAll(fd, "\n") != 1) return true;
  const std::size_t written = writeAll(fd, line);
  return written != 0 && written != line.size();
}

// Hands `line` to the stream's descriptor in one write after whatever the stream held, so that
// lines of processes sharing the descriptor never tear. A stream without a descriptor (a memory
// stream) takes it through stdio.
bool emit(FILE* stream, std::string_view line, bool lineOpen) {
  flockfile(stream);
  const int fd = fileno(stream);
  if (fd < 0) {
    if (lineOpen) fputc_unlocked('\n', stream);
    lineOpen = fwrite_unlocked(line.data(), 1, line.size(), stream) != line.size();
    fflush_unlocked(stream);
  } else {
    fflush_unlocked(stream);
    lineOpen = writeLine(fd, line, lineOpen);
  }
  funlockfile(stream);
  return lineOpen;
}

// The stream of `level` and its bit in `unfinished`: SYSTEM to `sys`, ERROR and WARNING to
// `err`, the rest to `out`. A null stream takes nothing.
void emitLocked(std::mutex& mutex, std::uint8_t& unfinished, XLogger::Level level, FILE* out,
                FILE* err, FILE* sys, std::string_view line) {
  const bool system = level == XLogger::SYSTEM;
  const bool error = level == XLogger::ERROR || level == XLogger::WARNING;
  FILE* const stream = system ? sys : error ? err : out;
  if (stream == nullptr) return;
  const auto bit = static_cast<std::uint8_t>(system ? 4 : error ? 2 : 1);
  const std::lock_guard<std::mutex> lock(mutex);
  if (emit(stream, line, (unfinished & bit) != 0))
    unfinished = static_cast<std::uint8_t>(unfinished | bit);
  else
    unfinished = static_cast<std::uint8_t>(unfinished & ~bit);
}

std::int64_t monotonicSecond() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec;
}

// Opens `path` for appending, close-on-exec, and notes the file's identity; returns 0 or the
// error number.
int openLog(const std::string& path, std::unique_ptr<FILE, void (*)(FILE*)>& file,
            std::uint64_t& device, std::uint64_t& inode) {
  FILE* const opened = std::fopen(path.c_str(), "ae");
  if (opened == nullptr) return errno;
  struct stat st = {};
  if (fstat(fileno(opened), &st) == 0) {
    device = st.st_dev;
    inode = st.st_ino;
  }
  file.reset(opened);
  return 0;
}

// Whether `path` no longer names the file of `device` and `inode`: renamed away or deleted.
bool pathMoved(const std::string& path, std::uint64_t device, std::uint64_t inode) {
  struct stat st = {};
  return ::stat(path.c_str(), &st) != 0 || st.st_dev != device || st.st_ino != inode;
}

}  // namespace

XLogger::Sink::Sink(std::string name) : m_name(std::move(name)) {}

XLogger::Sink::~Sink() = default;

bool XLogger::Sink::printLine(Level, std::string_view) const { return false; }

bool XLogger::Sink::reopen() { return valid(); }

XLogger::Sink::Sink(Sink&& other) noexcept { takeBase(other); }

XLogger::Sink& XLogger::Sink::operator=(Sink&& other) noexcept {
  takeBase(other);
  return *this;
}

void XLogger::Sink::takeBase(Sink& other) noexcept {
  if (this == &other) return;
  m_useColors = other.m_useColors;
  m_verbosity.store(other.m_verbosity.exchange(SYSTEM, std::memory_order_relaxed),
                    std::memory_order_relaxed);
  m_name.swap(other.m_name);
  other.m_name.clear();
}

XLogger::StdOutSink::StdOutSink(FILE* out, FILE* err, FILE* sys)
    : Sink("stdout"), m_out(out), m_err(err), m_sys(sys) {
  XInternal::guardFork(m_mutex);
  m_useColors = out != nullptr && isatty(fileno(out)) == 1;
  if (envSet("NO_COLOR")) m_useColors = false;
  if (envSet("FORCE_COLOR")) m_useColors = true;
}

XLogger::StdOutSink::StdOutSink(StdOutSink&& other) noexcept
    : m_out(other.m_out), m_err(other.m_err), m_sys(other.m_sys) {
  takeBase(other);
  XInternal::guardFork(m_mutex);
}

XLogger::StdOutSink& XLogger::StdOutSink::operator=(StdOutSink&& other) noexcept {
  takeBase(other);
  m_out = other.m_out;
  m_err = other.m_err;
  m_sys = other.m_sys;
  m_unfinished = 0;
  return *this;
}

XLogger::StdOutSink::~StdOutSink() { XInternal::unguardFork(m_mutex); }

bool XLogger::StdOutSink::printLine(Level level, std::string_view line) const {
  if (m_useColors) return false;
  emitLocked(m_mutex, m_unfinished, level, m_out, m_err, m_sys, line);
  return true;
}

void XLogger::StdOutSink::print(Level level, const char* file, int line, std::string_view header,
                                std::string_view message) const {
  // The whole line is built first, then written with one call under the lock.
  fmt::memory_buffer buf;
  if (m_useColors) {
    const fmt::text_style style = levelStyle(level);
    formatLine(buf, &style, header, message, file, line);
  } else {
    formatLine(buf, nullptr, header, message, file, line);
  }
  emitLocked(m_mutex, m_unfinished, level, m_out, m_err, m_sys, {buf.data(), buf.size()});
}

void XLogger::FileSink::closeFile(FILE* file) {
  if (file != nullptr) std::fclose(file);
}

XLogger::FileSink::FileSink(const std::string& path) : Sink("file"), m_path(path) {
  XInternal::guardFork(m_mutex);
  const int err = openLog(m_path, m_file, m_device, m_inode);
  if (err != 0) {
    try {
      fmt::print(stderr, "Failed to open log file {} : {}\n", path, XUtils::strerror(err));
    } catch (const std::system_error&) {}
  }
  m_nextCheck = monotonicSecond() + 1;
}

XLogger::FileSink::FileSink(FileSink&& other) noexcept
    : m_file(std::move(other.m_file)),
      m_path(std::move(other.m_path)),
      m_device(other.m_device),
      m_inode(other.m_inode),
      m_nextCheck(other.m_nextCheck),
      m_lineOpen(other.m_lineOpen) {
  takeBase(other);
  XInternal::guardFork(m_mutex);
}

XLogger::FileSink& XLogger::FileSink::operator=(FileSink&& other) noexcept {
  takeBase(other);
  m_file = std::move(other.m_file);
  m_path = std::move(other.m_path);
  m_device = other.m_device;
  m_inode = other.m_inode;
  m_nextCheck = other.m_nextCheck;
  m_lineOpen = other.m_lineOpen;
  return *this;
}

XLogger::FileSink::~FileSink() { XInternal::unguardFork(m_mutex); }

void XLogger::FileSink::print(Level level, const char* file, int line, std::string_view header,
                              std::string_view message) const {
  if (!m_file) return;
  fmt::memory_buffer buf;
  formatLine(buf, nullptr, header, message, file, line);
  printLine(level, {buf.data(), buf.size()});
}

bool XLogger::FileSink::printLine(Level, std::string_view line) const {
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_file) return true;
  // Rotation: the path is looked at again at most once a second.
  const std::int64_t now = monotonicSecond();
  if (now >= m_nextCheck) {
    m_nextCheck = now + 1;
    if (pathMoved(m_path, m_device, m_inode) && openLog(m_path, m_file, m_device, m_inode) == 0)
      m_lineOpen = false;  // an unfinished line stays in the old file
  }
  // Bypass stdio: its buffer would split long lines into several writes, and with O_APPEND a
  // single write(2) is what keeps lines of concurrent processes whole.
  m_lineOpen = writeLine(fileno(m_file.get()), line, m_lineOpen);
  return true;
}

bool XLogger::FileSink::reopen() {
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (m_path.empty()) return false;  // moved from
  const std::uint64_t device = m_device, inode = m_inode;
  if (openLog(m_path, m_file, m_device, m_inode) != 0) return m_file != nullptr;
  if (m_device != device || m_inode != inode) m_lineOpen = false;
  m_nextCheck = monotonicSecond() + 1;
  return true;
}

XLogger::~XLogger() = default;

XLogger* XLogger::createInstance() {
  s_instance.reset(new XLogger());
  return s_instance.get();
}

void XLogger::destroyInstance() { s_instance.reset(); }

namespace {

void raise(std::atomic<XLogger::Level>& maximum, XLogger::Level level) {
  if (level > maximum.load(std::memory_order_relaxed))
    maximum.store(level, std::memory_order_relaxed);
}

}  // namespace

void XLogger::addSink(std::unique_ptr<Sink> sink, Level level) {
  if (!sink) return;
  level = clampLevel(level);
  sink->setVerbosity(level);
  auto it = m_sinks.find(sink->name());
  if (it != m_sinks.end())
    it->second = std::move(sink);
  else
    m_sinks.emplace(sink->name(), std::move(sink));
  raise(m_maxVerbosity, level);
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
  raise(m_maxVerbosity, level);
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
  raise(m_maxVerbosity, raised);
  return raised;
}

void XLogger::reopenFiles() {
  for (auto& [key, sink] : m_sinks) sink->reopen();
}

void XLogger::println(Level level, const char* file, int line, std::string_view message) const {
  level = clampLevel(level);
  XTime::Timestamp t = XTime::now();
  int millis = t.nanoseconds / 1000000 + (t.nanoseconds % 1000000 > 499999 ? 1 : 0);
  if (millis >= 1000) {  // 999.5 ms and up carry into the next second
    ++t.seconds;
    millis -= 1000;
  }
  fmt::memory_buffer buf;
  append(buf, lineHeader(t.seconds, millis, level));
  const std::size_t start = buf.size();
  append(buf, message);
  const std::size_t messageEnd = buf.size();
  const char* const name = file != nullptr ? XInternal::baseName(file).data() : nullptr;
  if (name != nullptr) appendLocation(buf, name, line);
  buf.push_back('\n');
  // Views into the buffer, taken once it no longer grows.
  const std::string_view whole(buf.data(), buf.size());
  const std::string_view header = whole.substr(0, start - 1);
  const std::string_view text = whole.substr(start, messageEnd - start);
  for (const auto& [key, sink] : m_sinks) {
    if (sink->valid() && level <= sink->verbosity() && !sink->printLine(level, whole))
      sink->print(level, name, line, header, text);
  }
}
