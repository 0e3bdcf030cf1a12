#include "internal/log_line.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>

#include <fmt/chrono.h>
#include <fmt/compile.h>

#include "internal/fork_guard.h"
#include "xcommon/xtime.h"
#include "xcommon/xutils/ids.h"

namespace XInternal {

namespace {

// What the lines of one thread repeat, kept per thread: the date of the current local second
// (localtime_r takes glibc's time-zone lock and costs more than the rest of the line), the
// whole header of the current millisecond and level. Lines come in bursts, so most lines copy
// their header instead of formatting it.
struct LineParts {
  std::int64_t second = INT64_MIN;
  std::tm tm = {};     // local time of `second`
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
thread_local ThreadContext t_context;
// The time of the line this thread is handing to the sinks, while it does.
thread_local LineTime t_current;
thread_local bool t_inLine = false;

// "NAME] " of each level, SYSTEM first.
constexpr std::string_view LEVEL_TAILS[] = {"SYSTEM] ", "ERROR] ", "WARNING] ", "INFO] ",
                                            "DBG1] ",   "DBG2] ",  "DBG3] "};

// This thread's parts, their date moved to `seconds`.
LineParts& partsAt(std::int64_t seconds) {
  LineParts& p = t_parts;
  if (p.second != seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    {
      const std::lock_guard<std::mutex> lock(XInternal::libcMutex());
      localtime_r(&t, &p.tm);
    }
    const auto end = fmt::format_to_n(p.date, sizeof p.date, "[{:%Y-%m-%d %H:%M:%S}.", p.tm);
    p.dateSize = std::min(end.size, sizeof p.date);
    p.second = seconds;
  }
  return p;
}

// The header of a line at `seconds` and `millis` in this thread.
std::string_view lineHeader(std::int64_t seconds, int millis, XLogger::Level level) {
  const int pid = XUtils::get_pid();
  const std::uint64_t tid = XUtils::get_tid();
  LineParts& p = t_parts;
  if (p.second == seconds && p.headerMillis == millis && p.headerLevel == level && p.pid == pid &&
      p.tid == tid)
    return {p.header, p.headerSize};
  partsAt(seconds);
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

}  // namespace

LineTime lineTime() {
  XTime::Timestamp t = XTime::now();
  int millis = t.nanoseconds / 1000000 + (t.nanoseconds % 1000000 > 499999 ? 1 : 0);
  if (millis >= 1000) {  // 999.5 ms and up carry into the next second
    ++t.seconds;
    millis -= 1000;
  }
  return {t.seconds, millis};
}

void appendHeader(fmt::memory_buffer& buf, XLogger::Level level, LineTime time) {
  append(buf, lineHeader(time.seconds, time.millis, level));
}

void appendHeader(fmt::memory_buffer& buf, XLogger::Level level) {
  appendHeader(buf, level, lineTime());
}

void appendRfc3339(fmt::memory_buffer& buf, LineTime time) {
  const std::tm& tm = partsAt(time.seconds).tm;
  const long offset = tm.tm_gmtoff / 60;  // RFC 3339 offsets have whole minutes
  const long minutes = offset < 0 ? -offset : offset;
  fmt::format_to(fmt::appender(buf),
                 FMT_COMPILE("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}.{:03d}{}{:02d}:{:02d}"),
                 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                 time.millis, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

ThreadContext& threadContext() { return t_context; }

LineScope::LineScope(LineTime time) {
  t_current = time;
  t_inLine = true;
}

LineScope::~LineScope() { t_inLine = false; }

LineTime currentLineTime() { return t_inLine ? t_current : lineTime(); }

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

std::int64_t monotonicSecond() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec;
}

}  // namespace XInternal
