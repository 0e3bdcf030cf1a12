#include "xcommon/xaccesstoken.h"

#include <sys/random.h>

#include <benchmark/benchmark.h>

namespace {

// The floor of a token: the one getrandom(2) call that supplies its random bytes.
void BM_GetrandomBaseline(benchmark::State& state) {
  unsigned char bytes[16];
  for (auto _ : state) benchmark::DoNotOptimize(getrandom(bytes, sizeof bytes, 0));
}
BENCHMARK(BM_GetrandomBaseline);

// A whole token: the draw, the record and its text (goal: at most 2 us).
void BM_TokenGenerate(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(XAccessToken(60, 0));
}
BENCHMARK(BM_TokenGenerate);

}  // namespace
