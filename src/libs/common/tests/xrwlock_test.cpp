#include "xcommon/xrwlock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <random>
#include <set>
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

std::string uniqueName() { return TestSupport::uniqueSegmentName("xrwlock-test"); }

// Readers overlap; writers keep two counters in step, which readers check. A lock that let a
// writer in beside anyone else shows up as a mismatch, a lost increment or a ThreadSanitizer race.
template <typename Lock>
void checkReadersShareWritersExclude(Lock& lock) {
  ASSERT_TRUE(lock.is_valid()) << lock.error();
  ASSERT_TRUE(lock.lock_for_read());
  std::thread([&] {
    EXPECT_TRUE(lock.try_lock_for_read());  // no writer waiting: shared
    EXPECT_TRUE(lock.unlock());
    EXPECT_FALSE(lock.try_lock_for_write());
    EXPECT_EQ(lock.error().rfind("pthread_rwlock_trywrlock : ", 0), 0u) << lock.error();
  }).join();
  ASSERT_TRUE(lock.unlock());

  constexpr int ROUNDS = 2000;
  long first = 0, second = 0;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, writer = t % 2 == 0] {
      for (int i = 0; i < ROUNDS; ++i) {
        if (writer) {
          ASSERT_TRUE(lock.lock_for_write());
          ++first;
          std::this_thread::yield();
          ++second;
        } else {
          ASSERT_TRUE(lock.lock_for_read());
          if (first != second) ++mismatches;
        }
        ASSERT_TRUE(lock.unlock());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(first, 2 * ROUNDS);
  EXPECT_EQ(second, 2 * ROUNDS);
}

// Threads fail at once on a lock held for writing; each failure rewrites the error text.
template <typename Lock>
void checkConcurrentFailures(Lock& lock) {
  ASSERT_TRUE(lock.lock_for_write());
  const std::set<std::string> expected = {XUtils::strerror(EBUSY, "pthread_rwlock_trywrlock"),
                                          XUtils::strerror(EBUSY, "pthread_rwlock_tryrdlock")};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (lock.try_lock_for_write() || lock.try_lock_for_read()) ++wrong;
        if (expected.count(lock.error()) == 0) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(lock.unlock());
}

}  // namespace

TEST(RwLockConcurrency, ReadersShareWritersExclude) {
  XReadWriteLock local;
  EXPECT_EQ(local.error(), "");
  checkReadersShareWritersExclude(local);
  XSharedReadWriteLock shared(uniqueName().c_str());
  checkReadersShareWritersExclude(shared);
}

TEST(RwLockConcurrency, FailuresFromManyThreadsAtOnce) {
  XReadWriteLock local;
  checkConcurrentFailures(local);
  XSharedReadWriteLock shared(uniqueName().c_str());
  checkConcurrentFailures(shared);
}

TEST(SharedRwLock, FailedSetupFailsEveryOperation) {
  XSharedReadWriteLock lock("/no/such");
  ASSERT_FALSE(lock.is_valid());
  EXPECT_EQ(lock.error().rfind("shm_open : ", 0), 0u) << lock.error();
  EXPECT_FALSE(lock.lock_for_read());
  EXPECT_EQ(lock.error(), XUtils::strerror(EINVAL, "pthread_rwlock_rdlock"));
  EXPECT_FALSE(lock.try_lock_for_read());
  EXPECT_EQ(lock.error(), XUtils::strerror(EINVAL, "pthread_rwlock_tryrdlock"));
  EXPECT_FALSE(lock.lock_for_write());
  EXPECT_EQ(lock.error(), XUtils::strerror(EINVAL, "pthread_rwlock_wrlock"));
  EXPECT_FALSE(lock.try_lock_for_write());
  EXPECT_EQ(lock.error(), XUtils::strerror(EINVAL, "pthread_rwlock_trywrlock"));
  EXPECT_FALSE(lock.unlock());
  EXPECT_EQ(lock.error(), XUtils::strerror(EINVAL, "pthread_rwlock_unlock"));
}

TEST(SharedRwLock, LocksUnderOneNameAreIndependent) {
  const std::string name = uniqueName();
  XSharedReadWriteLock first(name.c_str()), second(name.c_str());
  ASSERT_TRUE(first.is_valid() && second.is_valid()) << first.error() << second.error();
  ASSERT_TRUE(first.lock_for_write());
  EXPECT_TRUE(second.try_lock_for_write()) << second.error();
  EXPECT_TRUE(second.unlock());
  EXPECT_TRUE(first.unlock());
}

TEST(SharedRwLock, WriterInParentBlocksChildForkedLater) {
  XSharedReadWriteLock lock(uniqueName().c_str());
  XSharedMem flag(uniqueName().c_str(), sizeof(std::atomic<int>));
  ASSERT_TRUE(lock.is_valid() && flag.is_valid());
  auto* released = new (flag.address()) std::atomic<int>(0);
  ASSERT_TRUE(lock.lock_for_write());
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    if (lock.try_lock_for_write()) _exit(1);  // the child must see the parent's hold
    if (!lock.lock_for_write()) _exit(2);
    if (released->load() != 1) _exit(3);  // it got in before the parent let go
    _exit(lock.unlock() ? 0 : 4);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  released->store(1);
  EXPECT_TRUE(lock.unlock());
  EXPECT_EQ(waitExitCode(pid), 0);
}
