#include "xcommon/xvariant.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

// Copying (and destroying) a text variant against the strdup and free it is built on.
namespace {

std::string text(benchmark::State& state) {
  return std::string(static_cast<std::size_t>(state.range(0)), 'x');
}

void BM_StrdupFree(benchmark::State& state) {
  const std::string source = text(state);
  for (auto _ : state) {
    char* copy = strdup(source.c_str());
    benchmark::DoNotOptimize(copy);
    std::free(copy);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_StrdupFree)->Arg(8)->Arg(64)->Arg(1024);

void BM_VariantCopyString(benchmark::State& state) {
  const XVariant source(text(state).c_str());
  for (auto _ : state) {
    XVariant copy(source);
    benchmark::DoNotOptimize(copy);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_VariantCopyString)->Arg(8)->Arg(64)->Arg(1024);

void BM_VariantCopyInt64(benchmark::State& state) {
  const XVariant source(INT64_MIN);
  for (auto _ : state) {
    XVariant copy(source);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_VariantCopyInt64);

void BM_VariantToStringTimestamp(benchmark::State& state) {
  const XVariant source(XTime::Timestamp{1700000000, 999999600});
  for (auto _ : state) benchmark::DoNotOptimize(source.toString());
}
BENCHMARK(BM_VariantToStringTimestamp);

}  // namespace
