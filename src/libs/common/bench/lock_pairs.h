#pragma once

// Benchmark support: uncontended lock and unlock pairs of any of the locks, or of a baseline
// with the same operations.

#include <benchmark/benchmark.h>

template <typename Lock>
void readPair(benchmark::State& state, Lock& lock) {
  if (!lock.is_valid()) state.SkipWithError(lock.error().c_str());
  for (auto _ : state) {
    benchmark::DoNotOptimize(lock.lock_for_read());
    benchmark::DoNotOptimize(lock.unlock());
  }
}

template <typename Lock>
void writePair(benchmark::State& state, Lock& lock) {
  if (!lock.is_valid()) state.SkipWithError(lock.error().c_str());
  for (auto _ : state) {
    benchmark::DoNotOptimize(lock.lock_for_write());
    benchmark::DoNotOptimize(lock.unlock());
  }
}
