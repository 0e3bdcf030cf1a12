#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <mutex>

#include <fmt/color.h>

#include "internal/fork_guard.h"
#include "internal/log_line.h"
#include "xcommon/xlogger.h"

using XInternal::formatLine;
using XInternal::GREY;

namespace {

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

// Whether the stream's descriptor is the one JOURNAL_STREAM ("device:inode") names.
bool isJournal(FILE* stream) {
  const char* const names = std::getenv("JOURNAL_STREAM");
  std::uintmax_t device = 0, inode = 0;
  char end = 0;
  if (stream == nullptr || names == nullptr ||
      std::sscanf(names, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &end) != 2)
    return false;
  struct stat st = {};
  const int fd = fileno(stream);
  return fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// The syslog priority of a level, as the journal reads it at the start of a line.
constexpr std::string_view JOURNAL_PRIORITY[] = {"<2>", "<3>", "<4>", "<6>", "<7>", "<7>", "<7>"};

// The stream's bit of `level` in m_unfinished and m_journal: SYSTEM's 4, ERROR's and WARNING's
// 2, the others' 1.
std::uint8_t streamBit(XLogger::Level level) {
  if (level == XLogger::SYSTEM) return 4;
  return level == XLogger::ERROR || level == XLogger::WARNING ? 2 : 1;
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
    XInternal::writeLine(fd, line, lineOpen);
  }
  funlockfile(stream);
  return lineOpen;
}

}  // namespace

XLogger::StdOutSink::StdOutSink(FILE* out, FILE* err, FILE* sys)
    : Sink("stdout"), m_out(out), m_err(err), m_sys(sys) {
  m_useColors = out != nullptr && isatty(fileno(out)) == 1;
  if (envSet("NO_COLOR")) m_useColors = false;
  if (envSet("FORCE_COLOR")) m_useColors = true;
  m_journal = static_cast<std::uint8_t>((isJournal(out) ? 1 : 0) | (isJournal(err) ? 2 : 0) |
                                        (isJournal(sys) ? 4 : 0));
  XInternal::guardFork(m_mutex);  // last: a constructor that throws leaves nothing registered
}

XLogger::StdOutSink::StdOutSink(StdOutSink&& other) noexcept
    : m_out(other.m_out), m_err(other.m_err), m_sys(other.m_sys), m_journal(other.m_journal) {
  takeBase(other);
  XInternal::guardFork(m_mutex);
}

XLogger::StdOutSink& XLogger::StdOutSink::operator=(StdOutSink&& other) noexcept {
  takeBase(other);
  m_out = other.m_out;
  m_err = other.m_err;
  m_sys = other.m_sys;
  m_unfinished = 0;
  m_journal = other.m_journal;
  return *this;
}

XLogger::StdOutSink::~StdOutSink() { XInternal::unguardFork(m_mutex); }

// SYSTEM to m_sys, ERROR and WARNING to m_err, the rest to m_out; a null stream takes nothing.
// The journal's stream gets the line after its priority, in the same write.
void XLogger::StdOutSink::emitLocked(Level level, std::string_view line) const {
  const std::uint8_t bit = streamBit(level);
  FILE* const stream = bit == 4 ? m_sys : bit == 2 ? m_err : m_out;
  if (stream == nullptr) return;
  fmt::memory_buffer prefixed;
  if ((m_journal & bit) != 0) {
    XInternal::append(prefixed, JOURNAL_PRIORITY[clampLevel(level) + 1]);
    XInternal::append(prefixed, line);
    line = {prefixed.data(), prefixed.size()};
  }
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (emit(stream, line, (m_unfinished & bit) != 0))
    m_unfinished = static_cast<std::uint8_t>(m_unfinished | bit);
  else
    m_unfinished = static_cast<std::uint8_t>(m_unfinished & ~bit);
}

bool XLogger::StdOutSink::printLine(Level level, std::string_view line) const {
  if (m_useColors && (m_journal & streamBit(level)) == 0) return false;
  emitLocked(level, line);
  return true;
}

void XLogger::StdOutSink::print(Level level, const char* file, int line, std::string_view header,
                                std::string_view message) const {
  // The whole line is built first, then written with one call under the lock.
  fmt::memory_buffer buf;
  if (m_useColors && (m_journal & streamBit(level)) == 0) {
    const fmt::text_style style = levelStyle(level);
    formatLine(buf, &style, header, message, file, line);
  } else {
    formatLine(buf, nullptr, header, message, file, line);
  }
  emitLocked(level, {buf.data(), buf.size()});
}
