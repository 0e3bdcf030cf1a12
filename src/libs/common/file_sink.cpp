#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "internal/fork_guard.h"
#include "internal/log_line.h"
#include "xcommon/xlogger.h"
#include "xcommon/xutils/text.h"

using XInternal::appendHeader;
using XInternal::appendLocation;
using XInternal::formatLine;
using XInternal::monotonicSecond;
using XInternal::Written;

namespace {

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

void XLogger::FileSink::closeFile(FILE* file) {
  if (file != nullptr) std::fclose(file);
}

// The sink's mutex joins the fork guard last, once nothing can throw any more: a constructor
// that throws (std::bad_alloc) leaves nothing registered and no file open.
XLogger::FileSink::FileSink(const std::string& path) : FileSink("file", path) {}

XLogger::FileSink::FileSink(std::string name, const std::string& path)
    : Sink(std::move(name)), m_path(path) {
  const int err = openLog(m_path, m_file, m_state.device, m_state.inode);
  if (err != 0) std::fputs(openFailure(path, err).c_str(), stderr);
  m_state.nextCheck = monotonicSecond() + 1;
  XInternal::guardFork(m_mutex);
}

XLogger::FileSink::FileSink(FileSink&& other) noexcept
    : m_file(std::move(other.m_file)), m_path(std::move(other.m_path)) {
  takeBase(other);
  m_state = other.m_state;
  XInternal::guardFork(m_mutex);
}

XLogger::FileSink& XLogger::FileSink::operator=(FileSink&& other) noexcept {
  if (this == &other) return *this;
  takeBase(other);
  m_file = std::move(other.m_file);
  m_path = std::move(other.m_path);
  m_state = other.m_state;
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
  append(line, false);
  return true;
}

void XLogger::FileSink::append(std::string_view line, bool json) const {
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_file) return;
  // Rotation: the path is looked at again at most once a second.
  const std::int64_t now = monotonicSecond();
  if (now >= m_state.nextCheck) {
    m_state.nextCheck = now + 1;
    followPath();
  }
  if (m_state.orphaned != 0) {
    lose(m_state.orphaned);
  } else if (m_state.lost != 0) {
    writeOut(line, json);
  } else {
    // Bypass stdio: its buffer would split long lines into several writes, and with O_APPEND a
    // single write(2) is what keeps lines of concurrent processes whole.
    const Written written = XInternal::writeLine(fileno(m_file.get()), line, m_state.lineOpen);
    if (written.bytes != line.size()) lose(written.error);
  }
}

// After a loss: the report of the gap, then the line, in one write.
void XLogger::FileSink::writeOut(std::string_view line, bool json) const {
  fmt::memory_buffer buf;
  const std::string report =
      fmt::format("{} log lines lost: {}", m_state.lost, XUtils::strerror(m_state.lostError));
  constexpr std::string_view here = XInternal::baseName(__FILE__);
  if (json) {
    XInternal::appendJsonLine(buf, XInternal::lineTime(), ERROR, here.data(), __LINE__, report,
                              nullptr);
  } else {
    appendHeader(buf, ERROR);
    XInternal::append(buf, report);
    appendLocation(buf, here, __LINE__);
    buf.push_back('\n');
  }
  const std::size_t reportSize = buf.size();
  XInternal::append(buf, line);
  const Written written =
      XInternal::writeLine(fileno(m_file.get()), {buf.data(), buf.size()}, m_state.lineOpen);
  if (written.bytes >= reportSize) m_state.lost = 0;  // the gap is told
  if (written.bytes != buf.size()) lose(written.error);
}

void XLogger::FileSink::lose(int error) const {
  if (m_state.lost++ != 0) return;
  m_state.lostError = error;
  const std::int64_t now = monotonicSecond();
  if (now < m_state.quietUntil) return;
  m_state.quietUntil = now + 60;
  char text[512];
  const auto end = fmt::format_to_n(text, sizeof text - 1, "Failed to write log file {} : {}\n",
                                    m_path, XUtils::strerror(error));
  *std::min(end.out, text + sizeof text - 1) = '\0';
  std::fputs(text, stderr);
}

void XLogger::FileSink::followPath() const {
  struct stat st = {};
  if (::stat(m_path.c_str(), &st) == 0) {
    if (st.st_dev == m_state.device && st.st_ino == m_state.inode) return;
    if (st.st_dev == m_state.refusedDevice && st.st_ino == m_state.refusedInode)
      return;  // told already
  }
  reopenLocked();
}

int XLogger::FileSink::reopenLocked() const {
  const std::uint64_t device = m_state.device, inode = m_state.inode;
  const int err = openLog(m_path, m_file, m_state.device, m_state.inode);
  if (err == 0) {
    if (m_state.device != device || m_state.inode != inode)
      m_state.lineOpen = false;  // it stays in the old file
    m_state.orphaned = 0;
    m_state.refusedDevice = m_state.refusedInode = 0;
    return 0;
  }
  struct stat st = {};
  if (err == NOT_REGULAR && ::stat(m_path.c_str(), &st) == 0) {
    m_state.refusedDevice = st.st_dev;
    m_state.refusedInode = st.st_ino;
    std::fputs(openFailure(m_path, err).c_str(), stderr);
  }
  // Lines written into a deleted file are lost as surely as unwritten ones.
  if (m_file && fstat(fileno(m_file.get()), &st) == 0 && st.st_nlink == 0)
    m_state.orphaned = err == NOT_REGULAR ? ENOENT : err;
  return err;
}

bool XLogger::FileSink::reopen() {
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (m_path.empty()) return false;  // moved from
  m_state.nextCheck = monotonicSecond() + 1;
  if (reopenLocked() != 0) return m_file != nullptr && m_state.orphaned == 0;
  return true;
}
