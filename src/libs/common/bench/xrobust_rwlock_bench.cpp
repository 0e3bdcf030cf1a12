#include "xcommon/xrobust_rwlock.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "lock_pairs.h"

// Uncontended and shared pairs of the robust lock against the process-shared system lock it
// stands in for.
namespace {

std::string segmentName() { return "/xrobust-rwlock-bench-" + std::to_string(getpid()); }

class SharedRawLock {
 public:
  SharedRawLock() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_rwlock_init(&m_lock, &attr);
    pthread_rwlockattr_destroy(&attr);
  }
  ~SharedRawLock() { pthread_rwlock_destroy(&m_lock); }
  SharedRawLock(const SharedRawLock&) = delete;
  SharedRawLock& operator=(const SharedRawLock&) = delete;
  bool is_valid() const { return true; }
  std::string error() const { return {}; }
  bool lock_for_read() { return pthread_rwlock_rdlock(&m_lock) == 0; }
  bool lock_for_write() { return pthread_rwlock_wrlock(&m_lock) == 0; }
  bool unlock() { return pthread_rwlock_unlock(&m_lock) == 0; }

 private:
  alignas(64) pthread_rwlock_t m_lock;
};

void BM_SharedRawRwlockReadPair(benchmark::State& state) {
  SharedRawLock lock;
  readPair(state, lock);
}
BENCHMARK(BM_SharedRawRwlockReadPair);

void BM_SharedRawRwlockWritePair(benchmark::State& state) {
  SharedRawLock lock;
  writePair(state, lock);
}
BENCHMARK(BM_SharedRawRwlockWritePair);

void BM_RobustReadPair(benchmark::State& state) {
  XRobustSharedReadWriteLock lock(segmentName().c_str());
  readPair(state, lock);
}
BENCHMARK(BM_RobustReadPair);

void BM_RobustWritePair(benchmark::State& state) {
  XRobustSharedReadWriteLock lock(segmentName().c_str());
  writePair(state, lock);
}
BENCHMARK(BM_RobustWritePair);

// The write pair once 256 reader threads have registered together and ended: a writer scans the
// threads registered now, not every slot ever used.
void BM_RobustWritePairAfter256Threads(benchmark::State& state) {
  XRobustSharedReadWriteLock lock(segmentName().c_str());
  std::mutex mutex;
  std::condition_variable changed;
  int registered = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 256; ++i) {
    threads.emplace_back([&] {
      const bool ok = lock.lock_for_read() && lock.unlock();
      std::unique_lock<std::mutex> guard(mutex);
      registered += ok ? 1 : 1000;
      changed.notify_all();
      changed.wait(guard, [&] { return registered >= 256; });
    });
  }
  for (auto& thread : threads) thread.join();
  if (registered != 256) state.SkipWithError("a reader thread failed");
  writePair(state, lock);
}
BENCHMARK(BM_RobustWritePairAfter256Threads);

// Two reader threads on the two cores: their pairs per second together (items_per_second).
template <typename Lock>
void readersTogether(benchmark::State& state, Lock& lock) {
  readPair(state, lock);
  state.SetItemsProcessed(state.iterations());
}

// One lock for all runs: the benchmark's threads start together only inside the loop.
void BM_SharedRawRwlockTwoReaders(benchmark::State& state) {
  static SharedRawLock lock;
  readersTogether(state, lock);
}
BENCHMARK(BM_SharedRawRwlockTwoReaders)->Threads(2)->UseRealTime();

void BM_RobustTwoReaders(benchmark::State& state) {
  static XRobustSharedReadWriteLock lock(segmentName().c_str());
  readersTogether(state, lock);
}
BENCHMARK(BM_RobustTwoReaders)->Threads(2)->UseRealTime();

}  // namespace
