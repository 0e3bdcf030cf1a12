// The rate-limited statements and the per-thread context of the logger.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "log_capture.h"
#include "scoped_env.h"
#include "xcommon/xlogger.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos;
       start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

// What an XLOG_EVERY statement reported: its lines, and the calls they say were suppressed.
struct Reported {
  std::size_t lines = 0;
  long suppressed = 0;
};
Reported reported(const std::string& text) {
  static const std::regex count(R"(\((\d+) similar lines? suppressed\))");
  Reported r;
  for (const std::string& line : linesOf(text)) {
    ++r.lines;
    std::smatch m;
    if (std::regex_search(line, m, count)) r.suppressed += std::stol(m[1]);
  }
  return r;
}

// One call site of each limited statement, shared by every thread and by a forked child.
std::atomic<int> g_evaluated{0};
void everySeventh() { XLOG_EVERY_N(XLogger::INFO, 7, "every 7th {}", ++g_evaluated); }
void every(std::chrono::milliseconds interval) {
  XLOG_EVERY(XLogger::INFO, interval, "storm {}", ++g_evaluated);
}
void stormN() { XLOG_EVERY_N(XLogger::INFO, 5, "n-storm"); }
void stormEvery() { XLOG_EVERY(XLogger::INFO, 40ms, "t-storm"); }

template <typename Body>
void onThreads(int threads, const Body& body) {
  std::vector<std::thread> all;
  for (int t = 0; t < threads; ++t) all.emplace_back(body);
  for (auto& th : all) th.join();
}

}  // namespace

// 40,000 calls from four threads: exactly the 1st, 8th, 15th ... log, and only they format.
TEST(LoggerLimitsConcurrency, EveryNCountsTheCallsOfAllThreads) {
  TestSupport::LogCapture log(XLogger::INFO);
  g_evaluated = 0;
  onThreads(4, [] {
    for (int i = 0; i < 10000; ++i) everySeventh();
  });
  const std::size_t expected = (40000 + 6) / 7;
  EXPECT_EQ(linesOf(log.text()).size(), expected);
  EXPECT_EQ(g_evaluated.load(), static_cast<int>(expected));
  XLOG_EVERY_N(XLogger::DBG1, 1, "above the maximum");  // neither logs nor counts
  EXPECT_EQ(linesOf(log.text()).size(), expected);
}

// Every call is either a line or counted in the next line's report, and lines keep their
// distance.
TEST(LoggerLimitsConcurrency, EveryReportsWhatItSuppressed) {
  TestSupport::LogCapture log(XLogger::INFO);
  g_evaluated = 0;
  std::atomic<long> calls{0};
  const auto start = std::chrono::steady_clock::now();
  onThreads(4, [&] {
    while (std::chrono::steady_clock::now() - start < 300ms) {
      every(50ms);
      ++calls;
    }
  });
  std::this_thread::sleep_for(60ms);
  every(50ms);  // tells the rest
  const Reported r = reported(log.text());
  EXPECT_EQ(static_cast<long>(r.lines) + r.suppressed, calls.load() + 1);
  EXPECT_EQ(g_evaluated.load(), static_cast<int>(r.lines));
  EXPECT_GE(r.lines, 3u);
  EXPECT_LE(r.lines, 9u);  // 300 ms at most one a 50 ms (of a coarse clock), and the last
  EXPECT_GT(r.suppressed, 0);
}

// A child forked while threads storm the statements counts its own calls from the first.
TEST(LoggerLimits, ChildForkedMidStormStartsItsOwnCount) {
  TestSupport::LogCapture log(XLogger::INFO);
  std::atomic<bool> stop{false};
  std::vector<std::thread> storm;
  for (int t = 0; t < 3; ++t)
    storm.emplace_back([&] {
      while (!stop) {
        stormN();
        stormEvery();
      }
    });
  std::this_thread::sleep_for(50ms);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    TestSupport::LogCapture child(XLogger::INFO);
    for (int i = 0; i < 10; ++i) stormN();  // the 1st and the 6th
    for (int i = 0; i < 4; ++i) stormEvery();
    std::this_thread::sleep_for(60ms);
    stormEvery();
    const std::vector<std::string> lines = linesOf(child.text());
    const bool right =
        lines.size() == 4 && lines[0].find("] n-storm (") != std::string::npos &&
        lines[1].find("] n-storm (") != std::string::npos &&
        lines[2].find("] t-storm (") != std::string::npos &&
        lines[3].find("] t-storm (3 similar lines suppressed) (") != std::string::npos;
    _exit(right ? 0 : 1);
  }
  stop = true;
  for (auto& th : storm) th.join();
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

namespace {

// The same statement each time, so that lines differ only by what the logger adds.
void logged() { XLOG(XLogger::INFO, "m {}", 1); }

std::string withoutContext(std::string line, const std::string& context) {
  const std::size_t at = line.find(context);
  return at == std::string::npos ? "" : line.erase(at, context.size());
}

}  // namespace

// With the clock pinned, a line in scopes is the line without them plus the fields; another
// thread's line, logged meanwhile, is the very line it logged before.
TEST(LoggerContextConcurrency, ScopesStackAndStayInTheirThread) {
  const TestSupport::ScopedEnv tz("TZ", "UTC");
  TestSupport::LogCapture log(XLogger::INFO);
  FakeClock::setWall({1709647629, 42000});
  std::atomic<int> step{0};
  const auto waitFor = [&step](int s) {
    while (step.load() != s) std::this_thread::yield();
  };
  std::thread other([&] {
    logged();
    step = 1;
    waitFor(2);
    logged();
    step = 3;
  });
  waitFor(1);
  logged();
  {
    const XLogger::Context job("job", 4711);
    {
      const XLogger::Context queue("queue", "mail");
      const XLogger::Context rate("rate", 2.5);
      logged();
      step = 2;
      waitFor(3);
    }
    logged();
  }
  logged();
  other.join();
  FakeClock::clearWall();
  const std::vector<std::string> lines = linesOf(log.text());
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], lines[0]);  // the other thread's, before and during the scopes
  EXPECT_EQ(withoutContext(lines[2], "[job=4711 queue=mail rate=2.5] "), lines[1]);
  EXPECT_EQ(withoutContext(lines[4], "[job=4711] "), lines[1]);
  EXPECT_EQ(lines[5], lines[1]);
  EXPECT_NE(lines[1].find(" INFO] m 1 ("), std::string::npos);
}

TEST(LoggerContext, ChildForkedInAScopeKeepsIt) {
  TestSupport::LogCapture log(XLogger::INFO);
  const XLogger::Context job("job", 4711);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    TestSupport::LogCapture child(XLogger::INFO);
    {
      const XLogger::Context step("step", "child");
      logged();
    }
    logged();
    const std::vector<std::string> lines = linesOf(child.text());
    _exit(lines.size() == 2 &&
                  lines[0].find("] [job=4711 step=child] m 1 (") != std::string::npos &&
                  lines[1].find("] [job=4711] m 1 (") != std::string::npos
              ? 0
              : 1);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
