#include "xcommon/xrobust_rwlock.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "xcommon/xsharedmem.h"
#include "xcommon/xutils/text.h"

using TestSupport::waitExitCode;

namespace {

std::string uniqueName() { return TestSupport::uniqueSegmentName("xrobust-rwlock-test"); }

// Shared between a test and the processes it forks: flags a child raises, counters it moves.
struct Board {
  std::atomic<int> step{0};
  std::atomic<long> first{0}, second{0};
  std::atomic<long> heartbeat[3]{};  // one per worker of the random-kill test
};

class Shared {
 public:
  Shared() : m_memory(uniqueName().c_str(), sizeof(Board)) {
    if (m_memory.is_valid()) m_board = new (m_memory.address()) Board();
  }
  Board* operator->() const { return m_board; }
  bool valid() const { return m_board != nullptr; }

 private:
  XSharedMem m_memory;
  Board* m_board = nullptr;
};

void waitForStep(const Shared& board, int step) {
  while (board->step.load() < step) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A child that takes the lock (for writing or reading), says so, and waits to be killed.
pid_t holdInChild(XRobustSharedReadWriteLock& lock, const Shared& board, bool write) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    if (!(write ? lock.lock_for_write() : lock.lock_for_read())) _exit(1);
    board->step.store(1);
    for (;;) pause();
  }
  return pid;
}

double millisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

TEST(RobustRwLock, OneHoldPerThreadAndClearTexts) {
  XRobustSharedReadWriteLock lock(uniqueName().c_str());
  ASSERT_TRUE(lock.is_valid()) << lock.error();
  EXPECT_TRUE(lock.is_consistent());
  EXPECT_FALSE(lock.unlock());
  EXPECT_EQ(lock.error(), "the calling thread does not hold the lock");
  ASSERT_TRUE(lock.lock_for_read());
  EXPECT_FALSE(lock.try_lock_for_read());
  EXPECT_FALSE(lock.lock_for_write());
  EXPECT_EQ(lock.error(), "the calling thread holds the lock already");
  std::thread([&] {
    EXPECT_TRUE(lock.try_lock_for_read());  // readers share
    EXPECT_TRUE(lock.unlock());
    EXPECT_FALSE(lock.try_lock_for_write());
    EXPECT_EQ(lock.error(), XUtils::strerror(EBUSY, "try_lock_for_write"));
    lock.mark_consistent();  // not a writer: refused
    EXPECT_EQ(lock.error(), "mark_consistent needs the lock held for writing");
  }).join();
  ASSERT_TRUE(lock.unlock());
  ASSERT_TRUE(lock.lock_for_write());
  std::thread([&] {
    EXPECT_FALSE(lock.try_lock_for_read());
    EXPECT_EQ(lock.error(), XUtils::strerror(EBUSY, "try_lock_for_read"));
  }).join();
  EXPECT_TRUE(lock.unlock());
  EXPECT_EQ(lock.dead_holders(), 0u);

  XRobustSharedReadWriteLock none(uniqueName().c_str(), 0);
  EXPECT_FALSE(none.is_valid());
  EXPECT_EQ(none.error(), "max_threads must be at least 1");
  XRobustSharedReadWriteLock bad("/no/such");
  EXPECT_EQ(bad.error().rfind("shm_open : ", 0), 0u) << bad.error();
  EXPECT_FALSE(bad.lock_for_read());
  EXPECT_EQ(bad.error(), XUtils::strerror(EINVAL, "lock_for_read"));
}

// A killed reader releases a writer that was already waiting; a killed writer leaves the lock
// inconsistent for the next holder until a writer marks it consistent.
TEST(RobustRwLockConcurrency, KilledHoldersAreReleased) {
  XRobustSharedReadWriteLock lock(uniqueName().c_str());
  Shared board;
  ASSERT_TRUE(lock.is_valid() && board.valid()) << lock.error();

  pid_t pid = holdInChild(lock, board, false);
  ASSERT_GT(pid, 0);
  waitForStep(board, 1);
  std::atomic<bool> acquired{false};
  std::thread writer([&] { acquired = lock.lock_for_write() && lock.unlock(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired.load());  // the reader holds it
  auto killed = std::chrono::steady_clock::now();
  kill(pid, SIGKILL);
  writer.join();
  EXPECT_LT(millisSince(killed), 1000.0);
  EXPECT_TRUE(acquired.load()) << lock.error();
  waitpid(pid, nullptr, 0);
  EXPECT_TRUE(lock.is_consistent());
  EXPECT_EQ(lock.dead_holders(), 1u);

  board->step.store(0);
  pid = holdInChild(lock, board, true);
  ASSERT_GT(pid, 0);
  waitForStep(board, 1);
  killed = std::chrono::steady_clock::now();
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(lock.lock_for_read());  // a later reader gets in
  EXPECT_LT(millisSince(killed), 1000.0);
  EXPECT_FALSE(lock.is_consistent());
  ASSERT_TRUE(lock.unlock());
  ASSERT_TRUE(lock.lock_for_write());
  EXPECT_FALSE(lock.is_consistent());  // until repaired
  lock.mark_consistent();
  EXPECT_TRUE(lock.unlock());
  EXPECT_TRUE(lock.is_consistent());
  EXPECT_EQ(lock.dead_holders(), 2u);
}

TEST(RobustRwLockConcurrency, ThreadsThatEndHoldingAreReleased) {
  XRobustSharedReadWriteLock lock(uniqueName().c_str());
  ASSERT_TRUE(lock.is_valid());
  std::thread([&] { ASSERT_TRUE(lock.lock_for_read()); }).join();
  ASSERT_TRUE(lock.try_lock_for_write()) << lock.error();
  EXPECT_TRUE(lock.unlock());
  EXPECT_TRUE(lock.is_consistent());
  std::thread([&] { ASSERT_TRUE(lock.lock_for_write()); }).join();
  ASSERT_TRUE(lock.try_lock_for_read()) << lock.error();
  EXPECT_FALSE(lock.is_consistent());
  EXPECT_TRUE(lock.unlock());
  EXPECT_EQ(lock.dead_holders(), 2u);
}

TEST(RobustRwLockConcurrency, ChildOfAHolderHoldsNothing) {
  XRobustSharedReadWriteLock lock(uniqueName().c_str());
  ASSERT_TRUE(lock.is_valid());
  ASSERT_TRUE(lock.lock_for_read());
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(10);
    if (lock.unlock()) _exit(1);              // the parent's hold is not the child's
    if (lock.try_lock_for_write()) _exit(2);  // the parent still reads
    if (!lock.lock_for_read()) _exit(3);      // the child registers a slot of its own
    _exit(lock.unlock() ? 0 : 4);
  }
  EXPECT_EQ(waitExitCode(pid), 0);
  EXPECT_TRUE(lock.unlock());  // untouched by the child
  ASSERT_TRUE(lock.try_lock_for_write()) << lock.error();
  EXPECT_TRUE(lock.unlock());
  EXPECT_EQ(lock.dead_holders(), 0u);
}

// With two slots taken by live threads a third reader is refused; a thread that ends, or a
// process that is killed, frees its slot.
TEST(RobustRwLockConcurrency, FullTableRefusesUntilASlotIsFree) {
  XRobustSharedReadWriteLock lock(uniqueName().c_str(), 2);
  Shared board;
  ASSERT_TRUE(lock.is_valid() && board.valid());
  std::atomic<bool> release{false};
  std::atomic<int> ready{0};
  std::thread holder([&] {
    ASSERT_TRUE(lock.lock_for_read() && lock.unlock());
    ++ready;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const pid_t pid = holdInChild(lock, board, false);
  waitForStep(board, 1);
  while (ready.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(lock.lock_for_read());
  EXPECT_EQ(lock.error(), "the lock's table of 2 threads is full");
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_TRUE(lock.lock_for_read()) << lock.error();  // the dead process's slot
  EXPECT_TRUE(lock.unlock());
  EXPECT_EQ(lock.dead_holders(), 1u);
  release = true;
  holder.join();
  std::thread([&] { EXPECT_TRUE(lock.lock_for_read() && lock.unlock()) << lock.error(); }).join();
}

// Worker processes of several threads read and write under the lock while they are killed at
// random: a writer makes two counters unequal and equal again, so a reader that ever sees them
// unequal on a consistent lock saw a writer beside it. Whoever finds the lock inconsistent
// repairs the pair. No worker may stall.
TEST(RobustRwLockConcurrency, WorkersKilledAtRandomNeverFreezeOrTearTheData) {
  XRobustSharedReadWriteLock lock(uniqueName().c_str(), 64);
  Shared board;
  ASSERT_TRUE(lock.is_valid() && board.valid());
  constexpr int WORKERS = std::extent_v<decltype(Board::heartbeat)>, THREADS = 3;
  std::atomic<long>* const heartbeat = board->heartbeat;
  auto work = [&](int w) {
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
      threads.emplace_back([&, t] {
        for (unsigned i = 0;; ++i) {
          if ((i + static_cast<unsigned>(t)) % 4 == 0) {
            if (!lock.lock_for_write()) _exit(10);
            if (!lock.is_consistent()) {
              board->second.store(board->first.load());
              lock.mark_consistent();
            }
            board->first.fetch_add(1);
            board->second.fetch_add(1);
          } else {
            if (!lock.lock_for_read()) _exit(11);
            if (lock.is_consistent() && board->first.load() != board->second.load())
              board->step.store(-1);  // torn
          }
          if (!lock.unlock()) _exit(12);
          heartbeat[w].fetch_add(1);
        }
      });
    }
    for (auto& th : threads) th.join();
  };
  pid_t workers[WORKERS];
  auto start = [&](int w) {
    workers[w] = fork();
    if (workers[w] == 0) {
      alarm(30);
      work(w);
      _exit(0);
    }
  };
  for (int w = 0; w < WORKERS; ++w) start(w);
  std::mt19937 rng(42);
  int kills = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 50000));
    const auto w = static_cast<int>(rng() % WORKERS);
    kill(workers[w], SIGKILL);
    waitpid(workers[w], nullptr, 0);
    ++kills;
    start(w);
    // Every worker moves again within the bound: nobody is frozen by the dead.
    const long before = heartbeat[(w + 1) % WORKERS].load();
    const auto since = std::chrono::steady_clock::now();
    while (heartbeat[(w + 1) % WORKERS].load() == before && millisSince(since) < 2000)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(heartbeat[(w + 1) % WORKERS].load(), before) << "a worker stalled after a kill";
  }
  for (pid_t pid : workers) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_NE(board->step.load(), -1) << "a reader saw a writer's half-done pair";
  ASSERT_TRUE(lock.lock_for_write());
  if (!lock.is_consistent()) board->second.store(board->first.load());
  EXPECT_EQ(board->first.load(), board->second.load());
  EXPECT_TRUE(lock.unlock());
  EXPECT_GT(kills, 20);
  EXPECT_GT(lock.dead_holders(), 0u);
}
