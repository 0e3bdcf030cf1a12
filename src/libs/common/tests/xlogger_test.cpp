#include "xcommon/xlogger.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "file_reader.h"
#include "log_capture.h"
#include "private_tmpfs.h"
#include "scoped_env.h"
#include "temp_path.h"
#include "xcommon/xrwlock.h"
#include "xcommon/xutils/ids.h"
#include "xcommon/xutils/text.h"

namespace {

using TestSupport::MemStream;
using TestSupport::readFile;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  if (start != text.size()) lines.push_back(text.substr(start));  // an unterminated tail
  return lines;
}

// Formatting it counts, so a test can tell whether a message was formatted.
struct Counted {
  static inline int formats = 0;
};
// Formatting it throws, as a bad run-time format would.
struct Throws {};

using TestSupport::tempPath;

class Logging : public ::testing::Test {
 protected:
  void SetUp() override { XLogger::destroyInstance(); }
  void TearDown() override {
    XLogger::destroyInstance();
    FakeClock::clearWall();
    for (const auto& p : m_paths) std::filesystem::remove(p);
  }
  std::string path(const std::string& name) {
    m_paths.push_back(tempPath(name));
    std::filesystem::remove(m_paths.back());
    return m_paths.back();
  }
  XLogger::StdOutSink* addStdOut(XLogger::Level level) {
    auto sink = std::make_unique<XLogger::StdOutSink>(out.get(), err.get(), sys.get());
    auto* raw = sink.get();
    XLogger::instance()->addSink(std::move(sink), level);
    return raw;
  }

  // Colour is off unless a test asks for it; whatever a test sets is undone after it.
  TestSupport::ScopedEnv m_noColor{"NO_COLOR", nullptr};
  TestSupport::ScopedEnv m_forceColor{"FORCE_COLOR", nullptr};
  MemStream out, err, sys;
  std::vector<std::string> m_paths;
};

// The same fixture for the suite that also runs under ThreadSanitizer.
class LoggingConcurrency : public Logging {};

int sideEffects = 0;
int touch() { return ++sideEffects; }

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<int> {
  auto format(const Counted&, fmt::format_context& ctx) const {
    return fmt::formatter<int>::format(++Counted::formats, ctx);
  }
};
template <>
struct fmt::formatter<Throws> : fmt::formatter<int> {
  auto format(const Throws&, fmt::format_context&) const -> fmt::format_context::iterator {
    throw fmt::format_error("boom");
  }
};

TEST_F(Logging, NothingIsFormattedWithoutSinksOrAboveTheMaximum) {
  Counted::formats = 0;
  XLogger::instance()->printf(XLogger::SYSTEM, __FILE__, __LINE__, "{}", Counted{});
  EXPECT_EQ(Counted::formats, 0);

  addStdOut(XLogger::INFO);
  sideEffects = 0;
  XLOG(XLogger::DBG1, "{} {}", touch(), Counted{});
  XLogger::instance()->printf(XLogger::DBG2, __FILE__, __LINE__, "{}", Counted{});
  EXPECT_EQ(sideEffects, 0);
  EXPECT_EQ(Counted::formats, 0);
  EXPECT_EQ(out.text(), "");

  XLOG(XLogger::INFO, "{} {}", touch(), Counted{});
  EXPECT_EQ(sideEffects, 1);
  EXPECT_EQ(Counted::formats, 1);
}

TEST_F(Logging, StdOutSinkPicksTheStreamByLevel) {
  addStdOut(XLogger::INFO);
  XLOG(XLogger::INFO, "info {}", 1);
  XLOG(XLogger::WARNING, "warning {}", 2);
  XLOG(XLogger::ERROR, "error {}", 3);
  XLOG(XLogger::SYSTEM, "system {}", 4);
  XLOG(XLogger::DBG1, "debug {}", 5);

  const std::string ids = fmt::format("p{}/t{}", XUtils::get_pid(), XUtils::get_tid());
  const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" + ids;
  const std::regex infoLine(stamp + R"( INFO\] info 1 \(xlogger_test\.cpp:\d+\)\n)");
  EXPECT_TRUE(std::regex_match(out.text(), infoLine)) << out.text();
  const std::regex errLines(stamp + R"( WARNING\] warning 2 \(xlogger_test\.cpp:\d+\)\n)" + stamp +
                            R"( ERROR\] error 3 \(xlogger_test\.cpp:\d+\)\n)");
  EXPECT_TRUE(std::regex_match(err.text(), errLines)) << err.text();
  const std::regex sysLine(stamp + R"( SYSTEM\] system 4 \(xlogger_test\.cpp:\d+\)\n)");
  EXPECT_TRUE(std::regex_match(sys.text(), sysLine)) << sys.text();
}

TEST_F(Logging, HeaderRoundsMillisecondsAndCarriesIntoTheNextSecond) {
  const TestSupport::ScopedEnv tz("TZ", "UTC");
  addStdOut(XLogger::DBG3);
  const std::string ids = fmt::format("p{}/t{}", XUtils::get_pid(), XUtils::get_tid());
  const std::int64_t t = 1709647629;  // 2024-03-05 14:07:09 UTC
  const std::pair<std::int64_t, const char*> cases[] = {
      {42499, "14:07:09.042"},  {42500, "14:07:09.043"},  {0, "14:07:09.000"},
      {999499, "14:07:09.999"}, {999500, "14:07:10.000"}, {999999, "14:07:10.000"}};
  for (const auto& [micros, expected] : cases) {
    FakeClock::setWall({t, micros});
    XLogger::instance()->println(XLogger::INFO, nullptr, 0, "m");
    FakeClock::clearWall();
    EXPECT_EQ(splitLines(out.text()).back(),
              fmt::format("[2024-03-05 {} {} INFO] m", expected, ids));
  }
  // The carry crosses the day and year boundary too.
  FakeClock::setWall({1735689599, 999700});  // 2024-12-31 23:59:59.9997
  XLogger::instance()->println(XLogger::INFO, nullptr, 0, "m");
  FakeClock::clearWall();
  EXPECT_EQ(splitLines(out.text()).back(), fmt::format("[2025-01-01 00:00:00.000 {} INFO] m", ids));
}

TEST_F(Logging, LocationSuffixUsesTheBaseName) {
  addStdOut(XLogger::INFO);
  auto* logger = XLogger::instance();
  logger->println(XLogger::INFO, nullptr, 7, "a");
  logger->println(XLogger::INFO, "/src/deep/dir/file.cpp", 8, "b");
  logger->println(XLogger::INFO, "plain.cpp", 9, "c");
  logger->println(XLogger::INFO, "dir/", 10, "d\nsecond line");
  const auto lines = splitLines(out.text());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(lines[0].find(']')), "] a");
  EXPECT_EQ(lines[1].substr(lines[1].find(']')), "] b (file.cpp:8)");
  EXPECT_EQ(lines[2].substr(lines[2].find(']')), "] c (plain.cpp:9)");
  EXPECT_EQ(lines[3].substr(lines[3].find(']')), "] d");
  EXPECT_EQ(lines[4], "second line (:10)");
}

TEST_F(Logging, StyledLinesHaveExactEscapeSequences) {
  const TestSupport::ScopedEnv force("FORCE_COLOR", "1");
  XLogger::StdOutSink sink(out.get(), out.get(), out.get());
  const std::string grey = "\x1b[38;2;128;128;128m", reset = "\x1b[0m", bold = "\x1b[1m";
  const std::pair<XLogger::Level, std::string> cases[] = {
      {XLogger::SYSTEM, bold + "[H] msg" + reset},
      {XLogger::ERROR, bold + "\x1b[38;2;255;000;000m[H] msg" + reset},
      {XLogger::WARNING, bold + "\x1b[38;2;255;255;000m[H] msg" + reset},
      {XLogger::INFO, "[H] msg"},
      {XLogger::DBG1, grey + "[H] msg" + reset},
      {XLogger::DBG3, grey + "[H] msg" + reset},
  };
  for (const auto& [level, styled] : cases) {
    const std::size_t before = out.text().size();
    sink.print(level, "f.cpp", 12, "[H]", "msg");
    EXPECT_EQ(out.text().substr(before), styled + grey + " (f.cpp:12)" + reset + "\n")
        << int{level};
    const std::size_t mid = out.text().size();
    sink.print(level, nullptr, 12, "[H]", "msg");
    EXPECT_EQ(out.text().substr(mid), styled + "\n") << int{level};
  }
}

TEST_F(Logging, ColourFollowsTheEnvironment) {
  auto plain = [&](const char* noColor, const char* forceColor) {
    const TestSupport::ScopedEnv no("NO_COLOR", noColor), force("FORCE_COLOR", forceColor);
    MemStream stream;  // not a terminal
    XLogger::StdOutSink sink(stream.get(), stream.get(), stream.get());
    sink.print(XLogger::ERROR, nullptr, 0, "[H]", "m");
    return stream.text() == "[H] m\n";
  };
  EXPECT_TRUE(plain(nullptr, nullptr));
  EXPECT_TRUE(plain("1", nullptr));
  EXPECT_TRUE(plain(nullptr, ""));  // empty FORCE_COLOR forces nothing
  EXPECT_FALSE(plain(nullptr, "1"));
  EXPECT_FALSE(plain("1", "1"));  // FORCE_COLOR wins
  EXPECT_FALSE(plain("", "yes"));
}

TEST_F(Logging, EmptyNoColorKeepsColourOnATerminal) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  FILE* tty = std::fopen(ptsname(master), "w");
  ASSERT_NE(tty, nullptr);
  auto coloured = [&](const char* noColor) {
    const TestSupport::ScopedEnv no("NO_COLOR", noColor);
    MemStream stream;
    XLogger::StdOutSink sink(tty, stream.get(), stream.get());
    sink.print(XLogger::ERROR, nullptr, 0, "[H]", "m");
    return stream.text() != "[H] m\n";
  };
  EXPECT_TRUE(coloured(nullptr));
  EXPECT_TRUE(coloured(""));
  EXPECT_FALSE(coloured("1"));
  std::fclose(tty);
  close(master);
}

TEST_F(Logging, VerbosityBookkeeping) {
  auto* logger = XLogger::instance();
  EXPECT_EQ(logger->maxVerbosity(), XLogger::SYSTEM);
  EXPECT_EQ(logger->increaseMaxVerbosity(), XLogger::ERROR);  // no sinks yet
  auto* std = addStdOut(static_cast<XLogger::Level>(9));
  EXPECT_EQ(std->verbosity(), XLogger::DBG3);
  std->setVerbosity(static_cast<XLogger::Level>(-7));
  EXPECT_EQ(std->verbosity(), XLogger::SYSTEM);
  EXPECT_EQ(logger->maxVerbosity(), XLogger::DBG3);

  logger->setMaxVerbosity(XLogger::DBG2);
  auto file = std::make_unique<XLogger::FileSink>(path("verbosity.log"));
  auto* fileRaw = file.get();
  logger->addSink(std::move(file), XLogger::INFO);
  EXPECT_EQ(logger->maxVerbosity(), XLogger::DBG2);  // adding never lowers it

  logger->setMaxVerbosity(XLogger::WARNING);
  EXPECT_EQ(logger->maxVerbosity(), XLogger::WARNING);
  EXPECT_EQ(std->verbosity(), XLogger::WARNING);
  EXPECT_EQ(fileRaw->verbosity(), XLogger::WARNING);

  logger->setMaxVerbosity(XLogger::DBG2, "file");
  EXPECT_EQ(fileRaw->verbosity(), XLogger::DBG2);
  EXPECT_EQ(std->verbosity(), XLogger::WARNING);
  EXPECT_EQ(logger->maxVerbosity(), XLogger::DBG2);
  logger->setMaxVerbosity(XLogger::DBG3, "nobody");
  EXPECT_EQ(logger->maxVerbosity(), XLogger::DBG2);

  EXPECT_EQ(logger->increaseMaxVerbosity("nobody"), XLogger::SYSTEM);
  logger->setMaxVerbosity(XLogger::INFO);
  EXPECT_EQ(logger->increaseMaxVerbosity("stdout"), XLogger::DBG1);
  EXPECT_EQ(std->verbosity(), XLogger::DBG1);
  EXPECT_EQ(fileRaw->verbosity(), XLogger::INFO);
  EXPECT_EQ(logger->maxVerbosity(), XLogger::DBG1);
  XLOG(XLogger::DBG1, "now visible");
  EXPECT_NE(out.text().find("DBG1] now visible"), std::string::npos);

  logger->setMaxVerbosity(XLogger::DBG3);
  EXPECT_EQ(logger->increaseMaxVerbosity(), XLogger::DBG3);
  EXPECT_EQ(logger->increaseMaxVerbosity("stdout"), XLogger::DBG3);
  logger->setMaxVerbosity(XLogger::SYSTEM);
  EXPECT_EQ(logger->increaseMaxVerbosity(), XLogger::ERROR);
  EXPECT_EQ(std->verbosity(), XLogger::ERROR);
  EXPECT_EQ(fileRaw->verbosity(), XLogger::ERROR);
}

TEST_F(Logging, SystemLinesReachEverySinkAndOutOfRangeLevelsAreClamped) {
  addStdOut(XLogger::SYSTEM);
  const std::string logPath = path("system.log");
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::DBG3);
  XLOG(XLogger::SYSTEM, "to all");
  XLogger::instance()->println(static_cast<XLogger::Level>(9), nullptr, 0, "too verbose");
  XLogger::instance()->printf(static_cast<XLogger::Level>(-3), nullptr, 0, "too {}", "low");
  EXPECT_NE(sys.text().find("SYSTEM] to all"), std::string::npos);
  EXPECT_NE(sys.text().find("SYSTEM] too low"), std::string::npos);
  const std::string file = readFile(logPath);
  EXPECT_NE(file.find("SYSTEM] to all"), std::string::npos);
  EXPECT_NE(file.find("DBG3] too verbose"), std::string::npos);
  EXPECT_NE(file.find("SYSTEM] too low"), std::string::npos);
}

TEST_F(Logging, FormatFailureIsLoggedInItsPlace) {
  addStdOut(XLogger::INFO);
  XLOG(XLogger::WARNING, "value {}", Throws{});
  const auto lines = splitLines(err.text());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("WARNING] Failed to format message: boom (xlogger_test.cpp:"),
            std::string::npos)
      << lines[0];
}

TEST_F(Logging, FileSinkAppendsAndSameNameReplaces) {
  const std::string first = path("first.log"), second = path("second.log");
  { std::ofstream(first) << "kept\n"; }
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(first), XLogger::INFO);
  XLOG(XLogger::INFO, "one");
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(second), XLogger::INFO);
  XLOG(XLogger::INFO, "two");
  XLogger::destroyInstance();
  const auto a = splitLines(readFile(first)), b = splitLines(readFile(second));
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0], "kept");
  EXPECT_TRUE(a[1].ends_with("INFO] one (xlogger_test.cpp:" + a[1].substr(a[1].rfind(':') + 1)));
  ASSERT_EQ(b.size(), 1u);
  EXPECT_NE(b[0].find("INFO] two"), std::string::npos);
  EXPECT_EQ(b[0].find('\x1b'), std::string::npos);
}

TEST_F(Logging, FileSinkInAMissingDirectoryReportsAndIsSkipped) {
  const std::string errPath = path("stderr.txt");
  std::fflush(stderr);
  const int saved = dup(2);
  const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 2);
  auto sink = std::make_unique<XLogger::FileSink>("/nonexistent-dir/sub/x.log");
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  EXPECT_EQ(readFile(errPath),
            "Failed to open log file /nonexistent-dir/sub/x.log : No such file or directory\n");
  EXPECT_FALSE(sink->valid());
  addStdOut(XLogger::INFO);
  XLogger::instance()->addSink(std::move(sink), XLogger::INFO);
  XLOG(XLogger::INFO, "still logged");
  EXPECT_NE(out.text().find("still logged"), std::string::npos);
}

// Replacing the sink that set the maximum keeps the maximum, so nothing becomes unloggable.
TEST_F(Logging, ReplacingTheMostVerboseSinkKeepsTheMaximum) {
  addStdOut(XLogger::DBG3);
  addStdOut(XLogger::INFO);
  EXPECT_EQ(XLogger::instance()->maxVerbosity(), XLogger::DBG3);
  XLOG(XLogger::INFO, "after");
  EXPECT_NE(out.text().find("INFO] after"), std::string::npos);
}

TEST_F(Logging, FileSinkMoveAssignmentClosesTheTargetsFile) {
  auto openFiles = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const std::string first = path("first.log"), second = path("second.log");
  XLogger::FileSink a(first), b(second);
  const auto before = openFiles();
  b = std::move(a);
  EXPECT_EQ(openFiles(), before - 1);
  EXPECT_FALSE(a.valid());
  b.print(XLogger::INFO, nullptr, 0, "[H]", "to the first");
  EXPECT_EQ(readFile(first), "[H] to the first\n");
  EXPECT_EQ(readFile(second), "");
}

TEST_F(Logging, MovedSinksLeaveEmptyShells) {
  const std::string logPath = path("moved.log");
  XLogger::FileSink a(logPath);
  a.setVerbosity(XLogger::DBG2);
  XLogger::FileSink b(std::move(a));
  EXPECT_FALSE(a.valid());
  EXPECT_EQ(a.name(), "");
  EXPECT_EQ(a.verbosity(), XLogger::SYSTEM);
  EXPECT_TRUE(b.valid());
  EXPECT_EQ(b.name(), "file");
  EXPECT_EQ(b.verbosity(), XLogger::DBG2);
  a.print(XLogger::INFO, nullptr, 0, "[H]", "lost");  // no file: nothing happens
  b.print(XLogger::INFO, nullptr, 0, "[H]", "kept");
  EXPECT_EQ(readFile(logPath), "[H] kept\n");

  XLogger::StdOutSink s(out.get(), err.get(), sys.get());
  XLogger::StdOutSink t(std::move(s));
  t.print(XLogger::INFO, nullptr, 0, "[H]", "carried");
  EXPECT_EQ(out.text(), "[H] carried\n");
  EXPECT_EQ(s.name(), "");
}

TEST_F(LoggingConcurrency, LinesFromThreadsNeverInterleave) {
  const std::string logPath = path("threads.log");
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
  constexpr int THREADS = 8, LINES = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < LINES; ++i)
        XLOG(XLogger::INFO, "thread {} line {} {}", t, i,
             std::string(static_cast<std::size_t>(i % 97), 'x'));
    });
  for (auto& th : threads) th.join();
  const std::regex shape(
      R"(\[[^\]]+ INFO\] thread (\d) line (\d+) (x*) \(xlogger_test\.cpp:\d+\))");
  std::map<int, int> next;
  const auto lines = splitLines(readFile(logPath));
  ASSERT_EQ(lines.size(), std::size_t{THREADS * LINES});
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const int t = std::stoi(m[1]), i = std::stoi(m[2]);
    EXPECT_EQ(i, next[t]++);  // each thread's lines in order
    EXPECT_EQ(m[3].length(), i % 97);
  }
}

TEST_F(Logging, ForkedWorkersAppendingToOneFileKeepLinesWhole) {
  const std::string logPath = path("workers.log");
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
  constexpr int WORKERS = 4, LINES = 300;
  std::vector<pid_t> children;
  for (int w = 0; w < WORKERS; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Lines far beyond a stdio buffer, up to 64 KiB, must still reach the file in one piece.
      for (int i = 0; i < LINES; ++i) {
        const std::size_t len =
            (static_cast<std::size_t>(i) * 7919u + static_cast<std::size_t>(w)) % 60000u;
        XLOG(XLogger::INFO, "w{} i{} {}", w, i, std::string(len, static_cast<char>('a' + w)));
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto lines = splitLines(readFile(logPath));
  ASSERT_EQ(lines.size(), std::size_t{WORKERS * LINES});
  std::map<int, int> perWorker;
  for (const auto& line : lines) {
    const std::string head = line.substr(0, 80);
    const std::size_t p = line.find("] w");
    ASSERT_NE(p, std::string::npos) << head;
    const int w = line[p + 3] - '0';
    ASSERT_TRUE(w >= 0 && w < WORKERS) << head;
    const std::size_t iPos = line.find(" i", p);
    ASSERT_NE(iPos, std::string::npos) << head;
    const int i = std::stoi(line.substr(iPos + 2, 8));
    const std::size_t bodyStart = line.find(' ', iPos + 2) + 1;
    const std::size_t suffix = line.rfind(" (xlogger_test.cpp:");
    ASSERT_TRUE(suffix != std::string::npos && suffix >= bodyStart) << head;
    // A whole line: one worker's letter throughout, exactly as long as it was written.
    const std::string body = line.substr(bodyStart, suffix - bodyStart);
    const std::size_t len =
        (static_cast<std::size_t>(i) * 7919u + static_cast<std::size_t>(w)) % 60000u;
    ASSERT_EQ(body.size(), len) << head;
    ASSERT_EQ(body.find_first_not_of(static_cast<char>('a' + w)), std::string::npos) << head;
    ++perWorker[w];
  }
  for (int w = 0; w < WORKERS; ++w) EXPECT_EQ(perWorker[w], LINES);
}

// A forking host: children forked while threads write lines and record lock failures must
// log and read the failure at once. SIGALRM ends a child that hangs.
TEST_F(Logging, ChildrenForkedAmidLoggingAndLockFailuresNeverHang) {
  const std::string logPath = path("forks.log");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* const pipeOut = fdopen(fds[1], "w");
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
  XLogger::instance()->addSink(std::make_unique<XLogger::StdOutSink>(pipeOut, pipeOut, pipeOut),
                               XLogger::INFO);
  std::thread drain([fd = fds[0]] {
    char buf[65536];
    while (read(fd, buf, sizeof buf) > 0) {}
  });
  XReadWriteLock privateLock;
  XSharedReadWriteLock sharedLock(("/xcommon_forks." + std::to_string(getpid())).c_str());
  ASSERT_TRUE(privateLock.lock_for_read() && sharedLock.lock_for_read());  // writers now fail

  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int t = 0; t < 4; ++t)
    busy.emplace_back([&stop, t] {
      while (!stop) XLOG(XLogger::INFO, "busy {} {:>200}", t, 'x');
    });
  for (int t = 0; t < 2; ++t)
    busy.emplace_back([&] {
      while (!stop) {
        EXPECT_FALSE(privateLock.try_lock_for_write());
        EXPECT_FALSE(sharedLock.try_lock_for_write());
      }
    });
  while (privateLock.error().empty() || sharedLock.error().empty()) std::this_thread::yield();
  constexpr int FORKS = 200;
  std::vector<pid_t> children;
  for (int i = 0; i < FORKS; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(5);
      XLOG(XLogger::INFO, "child {}", i);
      const std::string busyText = XUtils::strerror(EBUSY, "pthread_rwlock_trywrlock");
      _exit(privateLock.error() == busyText && sharedLock.error() == busyText ? 0 : 2);
    }
    if (pid > 0) children.push_back(pid);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  int hung = 0, failed = 0;
  for (const pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    hung += WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? 1 : 0;
    failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
  }
  stop = true;
  for (auto& th : busy) th.join();
  XLogger::destroyInstance();
  std::fclose(pipeOut);
  drain.join();
  close(fds[0]);
  EXPECT_EQ(children.size(), std::size_t{FORKS});
  EXPECT_EQ(hung, 0);
  EXPECT_EQ(failed, 0);
  const std::string text = readFile(logPath);
  int missing = 0;
  for (int i = 0; i < FORKS; ++i)
    missing += text.find(" child " + std::to_string(i) + " (") == std::string::npos ? 1 : 0;
  EXPECT_EQ(missing, 0);
}

// Rotation by renaming and by deleting is followed within about a second, or at once on
// request; a file truncated in place goes on from its new end.
TEST_F(Logging, FileSinkFollowsRotation) {
  const std::string logPath = path("rotated.log"), old1 = path("rotated.log.1"),
                    old2 = path("rotated.log.2");
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
  const auto lines = [](const std::string& file) {
    std::string words;
    for (const auto& line : splitLines(readFile(file)))
      words += line.substr(line.find("] ") + 2, line.find(" (") - line.find("] ") - 2) + ";";
    return words;
  };
  XLOG(XLogger::INFO, "one");
  std::filesystem::rename(logPath, old1);
  XLogger::instance()->reopenFiles();
  XLOG(XLogger::INFO, "two");
  std::filesystem::rename(logPath, old2);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  XLOG(XLogger::INFO, "three");
  std::filesystem::remove(logPath);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  XLOG(XLogger::INFO, "four");
  std::filesystem::resize_file(logPath, 0);
  XLOG(XLogger::INFO, "five");
  EXPECT_EQ(lines(old1), "one;");
  EXPECT_EQ(lines(old2), "two;");
  EXPECT_EQ(lines(logPath), "five;");
}

// Neither the first open nor a reopen blocks on a FIFO or writes into anything but a regular
// file: the sink stays invalid, or goes on with the file it had.
TEST_F(Logging, FifoOrDeviceAtThePathIsRefusedWithoutBlocking) {
  const std::string logPath = path("fifo.log"), old = path("fifo.log.1");
  ASSERT_EQ(mkfifo(logPath.c_str(), 0600), 0);
  alarm(10);  // a blocking open would hang here
  EXPECT_FALSE(XLogger::FileSink(logPath).valid());
  EXPECT_FALSE(XLogger::FileSink("/dev/null").valid());
  EXPECT_FALSE(XLogger::FileSink(std::filesystem::temp_directory_path().string()).valid());
  std::filesystem::remove(logPath);
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
  XLOG(XLogger::INFO, "one");
  std::filesystem::rename(logPath, old);
  ASSERT_EQ(mkfifo(logPath.c_str(), 0600), 0);
  XLogger::instance()->reopenFiles();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the rotation check, too
  XLOG(XLogger::INFO, "two");
  alarm(0);
  EXPECT_EQ(splitLines(readFile(old)).size(), 2u);
}

// A deleted log folder loses lines until it is back; the gap is then reported in the new file
// before the next line.
TEST_F(Logging, LinesLostToADeletedFolderAreReported) {
  const std::string dir = path("gone");
  std::filesystem::create_directory(dir);
  const std::string logPath = dir + "/app.log";
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
  XLOG(XLogger::INFO, "kept");
  std::filesystem::remove_all(dir);
  XLogger::instance()->reopenFiles();
  for (int i = 0; i < 3; ++i) XLOG(XLogger::INFO, "lost {}", i);
  std::filesystem::create_directory(dir);
  XLogger::instance()->reopenFiles();
  XLOG(XLogger::INFO, "back");
  const auto lines = splitLines(readFile(logPath));
  std::filesystem::remove_all(dir);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" ERROR] 3 log lines lost: No such file or directory ("),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("] back ("), std::string::npos);
}

// A full disk: every line that does not fit is counted, and once there is room again the count
// comes first, where the lines are missing.
TEST_F(Logging, LinesLostToAFullDiskAreCountedAndReported) {
  const std::string dir = path("full");
  std::filesystem::create_directory(dir);
  const int rc = TestSupport::inPrivateTmpfs(dir, "64k", [&dir] {
    const std::string logPath = dir + "/app.log", filler = dir + "/filler";
    std::ofstream(filler) << std::string(32 << 10, 'f');
    XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
    constexpr int LINES = 100;
    for (int i = 0; i < LINES; ++i) XLOG(XLogger::INFO, "line {} {:>500}", i, 'x');
    std::filesystem::remove(filler);
    XLOG(XLogger::INFO, "room again");
    const auto lines = splitLines(readFile(logPath));
    const std::regex complete(R"(.*\] line \d+ +x \(xlogger_test\.cpp:\d+\))");
    int whole = 0;
    for (const auto& line : lines) whole += std::regex_match(line, complete) ? 1 : 0;
    std::smatch report;
    const std::regex lost(R"(\[[^\]]+ ERROR\] (\d+) log lines lost: No space left on device \(.*)");
    if (lines.size() < 2 || !std::regex_match(lines[lines.size() - 2], report, lost)) return 1;
    if (lines.back().find("] room again (") == std::string::npos) return 2;
    // Every line is in the file or in the count (a line cut short counts as lost).
    if (whole + std::stoi(report[1]) != LINES) return 3;
    return std::stoi(report[1]) > 0 ? 0 : 4;
  });
  std::filesystem::remove_all(dir);
  if (rc == TestSupport::NO_PRIVATE_MOUNT) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(rc, 0);
}

// A write cut short by the file-size limit leaves a torn line; the next one starts afresh.
TEST_F(Logging, LineAfterAFailedWriteStartsOnItsOwnLineAfterTheLossReport) {
  const std::string logPath = path("limit.log");
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
  XLOG(XLogger::INFO, "first");
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit cut = old;
  cut.rlim_cur = std::filesystem::file_size(logPath) + 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &cut), 0);
  XLOG(XLogger::INFO, "second {:>100}", 'x');
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  XLOG(XLogger::INFO, "third");
  const auto lines = splitLines(readFile(logPath));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].size(), 20u);
  // The cut line is reported where it is missing, before the next line.
  EXPECT_TRUE(std::regex_match(
      lines[2],
      std::regex(R"(\[[^\]]+ ERROR\] 1 log lines lost: File too large \(file_sink.cpp:\d+\))")))
      << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(\[[^\]]+ INFO\] third \(.*\))")))
      << lines[3];
  EXPECT_EQ(readFile(logPath).back(), '\n');
}

// Two processes of four threads each share one pipe through StdOutSink: no line is torn.
TEST_F(Logging, ProcessesSharingAPipeNeverTearLines) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  constexpr int PROCESSES = 2, THREADS = 4, LINES = 2000;
  std::vector<pid_t> children;
  for (int p = 0; p < PROCESSES; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      FILE* const stream = fdopen(fds[1], "w");
      XLogger::instance()->addSink(std::make_unique<XLogger::StdOutSink>(stream, stream, stream),
                                   XLogger::INFO);
      std::vector<std::thread> threads;
      for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([p, t] {
          for (int i = 0; i < LINES; ++i) XLOG(XLogger::INFO, "p{}t{} {:>240}", p, t, 'x');
        });
      for (auto& th : threads) th.join();
      _exit(0);
    }
    children.push_back(pid);
  }
  close(fds[1]);
  std::string text;
  char buf[65536];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  for (const pid_t pid : children) waitpid(pid, nullptr, 0);
  const std::regex shape(R"(\[[^\]]+ INFO\] p\dt\d {240}x \(xlogger_test\.cpp:\d+\))");
  const auto lines = splitLines(text);
  EXPECT_EQ(lines.size(), std::size_t{PROCESSES * THREADS * LINES});
  int torn = 0;
  for (const auto& line : lines) torn += std::regex_match(line, shape) ? 0 : 1;
  EXPECT_EQ(torn, 0);
}

TEST_F(Logging, LogFileIsClosedOnExec) {
  const std::string logPath = path("cloexec.log");
  XLogger::FileSink sink(logPath);
  int flags = -1;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(fd.path(), ec) == logPath)
      flags = fcntl(std::stoi(fd.path().filename().string()), F_GETFD);
  }
  ASSERT_NE(flags, -1);
  EXPECT_NE(flags & FD_CLOEXEC, 0);
}

// A line's first local time reads the time zone under the C library's own lock. A fork while
// one of our threads is in there must wait for it, or the child inherits the lock held and
// hangs at its first line. Run in a fresh process (the zone is read once per process) whose zone
// file is a FIFO that nobody writes until later.
TEST(ForkedChildren, ForkWhileALineReadsTheTimeZone) {
  if (const char* fifo = std::getenv("XCOMMON_TEST_TZ_FIFO")) {
    const std::string logPath = std::string(fifo) + ".log";
    XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::INFO);
    std::thread reader([] { XLOG(XLogger::INFO, "reads the zone"); });
    std::thread writer([fifo] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      close(open(fifo, O_WRONLY));  // an empty zone file: the C library falls back to UTC
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader waits on the FIFO
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(3);
      XLOG(XLogger::INFO, "child");
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    reader.join();
    writer.join();
    _exit(WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1);
  }
  const std::string fifo = tempPath("tz.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(20);
    setenv("XCOMMON_TEST_TZ_FIFO", fifo.c_str(), 1);
    setenv("TZ", (":" + fifo).c_str(), 1);
    const std::string filter = "--gtest_filter=ForkedChildren.ForkWhileALineReadsTheTimeZone";
    execl("/proc/self/exe", "xcommon_tests", filter.c_str(), static_cast<char*>(nullptr));
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  std::filesystem::remove(fifo);
  std::filesystem::remove(fifo + ".log");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
