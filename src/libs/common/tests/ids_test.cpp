#include "xcommon/xutils/ids.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(CachedIdsConcurrency, ThreadsHaveTheirOwnTidAndShareThePid) {
  constexpr std::size_t THREADS = 8;
  std::vector<std::uint64_t> tids(THREADS), kernelTids(THREADS);
  std::vector<int> pids(THREADS);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < THREADS; ++i) {
    threads.emplace_back([&, i] {
      tids[i] = XUtils::get_tid();
      pids[i] = XUtils::get_pid();
      kernelTids[i] = static_cast<std::uint64_t>(syscall(SYS_gettid));
      for (int k = 0; k < 100; ++k) {
        if (XUtils::get_tid() != tids[i] || XUtils::get_pid() != pids[i]) tids[i] = 0;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < THREADS; ++i) {
    EXPECT_EQ(tids[i], kernelTids[i]);
    EXPECT_EQ(pids[i], getpid());
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(tids[i], tids[j]);
  }
  EXPECT_NE(XUtils::get_tid(), tids[0]);
}

TEST(CachedIds, ForkedChildSeesItsOwnIds) {
  const int parentPid = XUtils::get_pid();
  const std::uint64_t parentTid = XUtils::get_tid();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    const std::int64_t report[4] = {XUtils::get_pid(), static_cast<std::int64_t>(XUtils::get_tid()),
                                    getpid(), static_cast<std::int64_t>(syscall(SYS_gettid))};
    const bool ok = write(fds[1], report, sizeof report) == static_cast<ssize_t>(sizeof report);
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  std::int64_t report[4] = {};
  ASSERT_EQ(read(fds[0], report, sizeof report), static_cast<ssize_t>(sizeof report));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(report[0], report[2]);
  EXPECT_EQ(report[1], report[3]);
  EXPECT_EQ(report[0], child);
  EXPECT_NE(report[0], parentPid);
  EXPECT_NE(static_cast<std::uint64_t>(report[1]), parentTid);
  EXPECT_EQ(XUtils::get_pid(), parentPid);  // the parent's cache is untouched
}
