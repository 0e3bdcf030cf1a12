#include "xcommon/xrwlock.h"

#include <pthread.h>
#include <unistd.h>

#include <string>

#include <benchmark/benchmark.h>

#include "lock_pairs.h"

// Uncontended lock/unlock pairs: the wrappers against the bare system lock they wrap.
namespace {

std::string segmentName() { return "/xrwlock-bench-" + std::to_string(getpid()); }

void BM_RawRwlockReadPair(benchmark::State& state) {
  pthread_rwlock_t lock;
  pthread_rwlock_init(&lock, nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(pthread_rwlock_rdlock(&lock));
    benchmark::DoNotOptimize(pthread_rwlock_unlock(&lock));
  }
  pthread_rwlock_destroy(&lock);
}
BENCHMARK(BM_RawRwlockReadPair);

void BM_RawRwlockWritePair(benchmark::State& state) {
  pthread_rwlock_t lock;
  pthread_rwlock_init(&lock, nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(pthread_rwlock_wrlock(&lock));
    benchmark::DoNotOptimize(pthread_rwlock_unlock(&lock));
  }
  pthread_rwlock_destroy(&lock);
}
BENCHMARK(BM_RawRwlockWritePair);

void BM_ReadWriteLockReadPair(benchmark::State& state) {
  XReadWriteLock lock;
  readPair(state, lock);
}
BENCHMARK(BM_ReadWriteLockReadPair);

void BM_ReadWriteLockWritePair(benchmark::State& state) {
  XReadWriteLock lock;
  writePair(state, lock);
}
BENCHMARK(BM_ReadWriteLockWritePair);

void BM_SharedReadWriteLockReadPair(benchmark::State& state) {
  XSharedReadWriteLock lock(segmentName().c_str());
  readPair(state, lock);
}
BENCHMARK(BM_SharedReadWriteLockReadPair);

void BM_SharedReadWriteLockWritePair(benchmark::State& state) {
  XSharedReadWriteLock lock(segmentName().c_str());
  writePair(state, lock);
}
BENCHMARK(BM_SharedReadWriteLockWritePair);

// The failure path: a busy try_ formats and stores the error text.
void BM_ReadWriteLockTryWriteBusy(benchmark::State& state) {
  XReadWriteLock lock;
  if (!lock.lock_for_read()) state.SkipWithError(lock.error().c_str());
  for (auto _ : state) benchmark::DoNotOptimize(lock.try_lock_for_write());
  benchmark::DoNotOptimize(lock.unlock());
}
BENCHMARK(BM_ReadWriteLockTryWriteBusy);

}  // namespace
