#include "xcommon/xlogger.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// The header of a line at `level` logged now, with its trailing space.
void appendHeader(fmt::memory_buffer& buf, XLogger::Level level) {
  XTime::Timestamp t = XTime::now();
  int millis = t.nanoseconds / 1000000 + (t.nanoseconds % 1000000 > 499999 ? 1 : 0);
  if (millis >= 1000) {  // 999.5 ms and up carry into the next second
    ++t.seconds;
    millis -= 1000;
  }
  append(buf, lineHeader(t.seconds, millis, level));
}

// " (name:line)" with one resize and plain copies: this runs on every plain line.
void appendLocation(fmt::memory_buffer& buf, std::string_view name, int line) {
  const fmt::format_int number(line);
  const std::size_t at = buf.size();
  buf.resize(at + 2 + name.size() + 1 + number.size() + 1);
  char* out = std::copy_n(" (", 2, buf.data() + at);
  out = std::copy_n(name.data(), name.size(), out);
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

// What a write achieved: the bytes written and, when that is short, the error that stopped it.
struct Written {
  std::size_t bytes;
  int error;
};

// Writes all of `data`, going on after partial writes and EINTR.
Written writeAll(int fd, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {done, errno};
    if (n == 0) return {done, EIO};
    done += static_cast<std::size_t>(n);
  }
  return {done, 0};
}

// Ends a line left unfinished before (`lineOpen`), then writes `line`, in one write(2) when the
// descriptor takes it all; `lineOpen` tells afterwards whether a line is left unfinished.
Written writeLine(int fd, std::string_view line, bool& lineOpen) {
  if (lineOpen) {
    const Written end = writeAll(fd, "\n");
    if (end.bytes != 1) return {0, end.error};
    lineOpen = false;
  }
  const Written written = writeAll(fd, line);
  lineOpen = written.bytes != 0 && written.bytes != line.size();
  return written;
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
    writeLine(fd, line, lineOpen);
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

// openLog's refusal of a path that names something other than a regular file.
constexpr int NOT_REGULAR = -1;

std::string openFailure(const std::string& path, int err) {
  return fmt::format("Failed to open log file {} : {}\n", path,
                     err == NOT_REGULAR ? "not a regular file" : XUtils::strerror(err));
}

// Opens `path` for appending (created when missing, close-on-exec) when it names a regular
// file, and notes the file's identity; returns 0 or the error number (NOT_REGULAR). The open
// never blocks: a FIFO without a reader would hold it for ever.
int openLog(const std::string& path, std::unique_ptr<FILE, void (*)(FILE*)>& file,
            std::uint64_t& device, std::uint64_t& inode) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  struct stat st = {};
  if (fd < 0) {  // ENXIO: a FIFO (or socket) that nobody reads
    const int err = errno;
    return err == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? NOT_REGULAR
                                                                                  : err;
  }
  int err = 0;
  // A regular file is made blocking again, as a file's writes should be.
  if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && fcntl(fd, F_SETFL, O_APPEND) != 0))
    err = errno;
  else if (!S_ISREG(st.st_mode))
    err = NOT_REGULAR;
  FILE* const opened = err == 0 ? fdopen(fd, "ae") : nullptr;
  if (opened == nullptr) {
    if (err == 0) err = errno;
    ::close(fd);
    return err;
  }
  device = st.st_dev;
  inode = st.st_ino;
  file.reset(opened);
  return 0;
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
  m_useColors = out != nullptr && isatty(fileno(out)) == 1;
  if (envSet("NO_COLOR")) m_useColors = false;
  if (envSet("FORCE_COLOR")) m_useColors = true;
  XInternal::guardFork(m_mutex);  // last: a constructor that throws leaves nothing registered
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

// The sink's mutex joins the fork guard last, once nothing can throw any more: a constructor
// that throws (std::bad_alloc) leaves nothing registered and no file open.
XLogger::FileSink::FileSink(const std::string& path) : Sink("file"), m_path(path) {
  const int err = openLog(m_path, m_file, m_device, m_inode);
  if (err != 0) std::fputs(openFailure(path, err).c_str(), stderr);
  m_nextCheck = monotonicSecond() + 1;
  XInternal::guardFork(m_mutex);
}

XLogger::FileSink::FileSink(FileSink&& other) noexcept
    : m_file(std::move(other.m_file)), m_path(std::move(other.m_path)) {
  takeBase(other);
  takeState(other);
  XInternal::guardFork(m_mutex);
}

XLogger::FileSink& XLogger::FileSink::operator=(FileSink&& other) noexcept {
  if (this == &other) return *this;
  takeBase(other);
  m_file = std::move(other.m_file);
  m_path = std::move(other.m_path);
  takeState(other);
  return *this;
}

void XLogger::FileSink::takeState(const FileSink& other) noexcept {
  m_device = other.m_device;
  m_inode = other.m_inode;
  m_nextCheck = other.m_nextCheck;
  m_lineOpen = other.m_lineOpen;
  m_lost = other.m_lost;
  m_lostError = other.m_lostError;
  m_quietUntil = other.m_quietUntil;
  m_orphaned = other.m_orphaned;
  m_refusedDevice = other.m_refusedDevice;
  m_refusedInode = other.m_refusedInode;
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
    followPath();
  }
  if (m_orphaned != 0) {
    lose(m_orphaned);
  } else if (m_lost != 0) {
    writeOut(line);
  } else {
    // Bypass stdio: its buffer would split long lines into several writes, and with O_APPEND a
    // single write(2) is what keeps lines of concurrent processes whole.
    const Written written = writeLine(fileno(m_file.get()), line, m_lineOpen);
    if (written.bytes != line.size()) lose(written.error);
  }
  return true;
}

// After a loss: the report of the gap, then the line, in one write.
void XLogger::FileSink::writeOut(std::string_view line) const {
  fmt::memory_buffer buf;
  appendHeader(buf, ERROR);
  fmt::format_to(fmt::appender(buf), "{} log lines lost: {}", m_lost,
                 XUtils::strerror(m_lostError));
  appendLocation(buf, XInternal::baseName(__FILE__), __LINE__);
  buf.push_back('\n');
  const std::size_t reportSize = buf.size();
  append(buf, line);
  const Written written = writeLine(fileno(m_file.get()), {buf.data(), buf.size()}, m_lineOpen);
  if (written.bytes >= reportSize) m_lost = 0;  // the gap is told
  if (written.bytes != buf.size()) lose(written.error);
}

void XLogger::FileSink::lose(int error) const {
  if (m_lost++ != 0) return;
  m_lostError = error;
  const std::int64_t now = monotonicSecond();
  if (now < m_quietUntil) return;
  m_quietUntil = now + 60;
  char text[512];
  const auto end = fmt::format_to_n(text, sizeof text - 1, "Failed to write log file {} : {}\n",
                                    m_path, XUtils::strerror(error));
  *std::min(end.out, text + sizeof text - 1) = '\0';
  std::fputs(text, stderr);
}

void XLogger::FileSink::followPath() const {
  struct stat st = {};
  if (::stat(m_path.c_str(), &st) == 0) {
    if (st.st_dev == m_device && st.st_ino == m_inode) return;
    if (st.st_dev == m_refusedDevice && st.st_ino == m_refusedInode) return;  // told already
  }
  reopenLocked();
}

int XLogger::FileSink::reopenLocked() const {
  const std::uint64_t device = m_device, inode = m_inode;
  const int err = openLog(m_path, m_file, m_device, m_inode);
  if (err == 0) {
    if (m_device != device || m_inode != inode) m_lineOpen = false;  // it stays in the old file
    m_orphaned = 0;
    m_refusedDevice = m_refusedInode = 0;
    return 0;
  }
  struct stat st = {};
  if (err == NOT_REGULAR && ::stat(m_path.c_str(), &st) == 0) {
    m_refusedDevice = st.st_dev;
    m_refusedInode = st.st_ino;
    std::fputs(openFailure(m_path, err).c_str(), stderr);
  }
  // Lines written into a deleted file are lost as surely as unwritten ones.
  if (m_file && fstat(fileno(m_file.get()), &st) == 0 && st.st_nlink == 0)
    m_orphaned = err == NOT_REGULAR ? ENOENT : err;
  return err;
}

bool XLogger::FileSink::reopen() {
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (m_path.empty()) return false;  // moved from
  m_nextCheck = monotonicSecond() + 1;
  if (reopenLocked() != 0) return m_file != nullptr && m_orphaned == 0;
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
  fmt::memory_buffer buf;
  appendHeader(buf, level);
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
