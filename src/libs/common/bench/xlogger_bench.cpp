#include "xcommon/xlogger.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "xcommon/xutils/ids.h"

namespace {

std::string benchFile(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string(name) + "." + std::to_string(getpid())))
      .string();
}

// Baseline of the suppressed statement: one load and compare of a byte.
void BM_ByteCompareBaseline(benchmark::State& state) {
  volatile std::int8_t max = XLogger::INFO;
  for (auto _ : state) {
    if (XLogger::DBG3 <= max) benchmark::DoNotOptimize(max);
  }
}
BENCHMARK(BM_ByteCompareBaseline);

void BM_XlogSuppressed(benchmark::State& state) {
  const std::string path = benchFile("suppressed_bench.log");
  XLogger::destroyInstance();
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(path), XLogger::INFO);
  int i = 0;
  for (auto _ : state) {
    XLOG(XLogger::DBG3, "request {} took {} ms", ++i, 3.5);
    benchmark::ClobberMemory();
  }
  XLogger::destroyInstance();
  std::filesystem::remove(path);
}
BENCHMARK(BM_XlogSuppressed);

// The floor of a rate limit that counts exactly over threads: one relaxed atomic addition.
void BM_FetchAddBaseline(benchmark::State& state) {
  std::atomic<std::uint64_t> calls{0};
  for (auto _ : state) benchmark::DoNotOptimize(calls.fetch_add(1, std::memory_order_relaxed));
}
BENCHMARK(BM_FetchAddBaseline);

// A limited statement whose level is logged, kept out by its limit (goal: at most 5 ns).
void BM_XlogEveryNSuppressed(benchmark::State& state) {
  const std::string path = benchFile("every_n_bench.log");
  XLogger::destroyInstance();
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(path), XLogger::INFO);
  int i = 0;
  for (auto _ : state) {
    XLOG_EVERY_N(XLogger::INFO, 1000000000, "request {} took {} ms", ++i, 3.5);
    benchmark::ClobberMemory();
  }
  XLogger::destroyInstance();
  std::filesystem::remove(path);
}
BENCHMARK(BM_XlogEveryNSuppressed);

void BM_XlogEverySuppressed(benchmark::State& state) {
  const std::string path = benchFile("every_bench.log");
  XLogger::destroyInstance();
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(path), XLogger::INFO);
  int i = 0;
  for (auto _ : state) {
    XLOG_EVERY(XLogger::INFO, std::chrono::hours(1), "request {} took {} ms", ++i, 3.5);
    benchmark::ClobberMemory();
  }
  XLogger::destroyInstance();
  std::filesystem::remove(path);
}
BENCHMARK(BM_XlogEverySuppressed);

void BM_GetpidSyscall(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(syscall(SYS_getpid));
}
BENCHMARK(BM_GetpidSyscall);

void BM_GetPid(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(XUtils::get_pid());
}
BENCHMARK(BM_GetPid);

void BM_GetTid(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(XUtils::get_tid());
}
BENCHMARK(BM_GetTid);

// The floor of a logged line: the same finished line through fputs and fflush.
void BM_FputsFflushBaseline(benchmark::State& state) {
  const std::string path = benchFile("fputs_bench.log");
  FILE* file = std::fopen(path.c_str(), "a");
  const std::string line =
      "[2024-03-05 14:07:09.042 p4711/t4712 INFO] request 12345 took 3.5 ms "
      "(xlogger_bench.cpp:77)\n";
  for (auto _ : state) {
    std::fputs(line.c_str(), file);
    std::fflush(file);
  }
  std::fclose(file);
  std::filesystem::remove(path);
}
BENCHMARK(BM_FputsFflushBaseline)->Iterations(200000);

void BM_FileSinkLine(benchmark::State& state) {
  const std::string path = benchFile("filesink_bench.log");
  XLogger::destroyInstance();
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(path), XLogger::INFO);
  int i = 0;
  for (auto _ : state) XLOG(XLogger::INFO, "request {} took {} ms", ++i, 3.5);
  XLogger::destroyInstance();
  std::filesystem::remove(path);
}
BENCHMARK(BM_FileSinkLine)->Iterations(200000);

// The same line with two context fields (goal: at most 1.15 times the line without).
void BM_FileSinkLineWithContext(benchmark::State& state) {
  const std::string path = benchFile("context_bench.log");
  XLogger::destroyInstance();
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(path), XLogger::INFO);
  const XLogger::Context job("job", 4711);
  const XLogger::Context queue("queue", "mail");
  int i = 0;
  for (auto _ : state) XLOG(XLogger::INFO, "request {} took {} ms", ++i, 3.5);
  XLogger::destroyInstance();
  std::filesystem::remove(path);
}
BENCHMARK(BM_FileSinkLineWithContext)->Iterations(200000);

// The same line as a JSON object with the two fields.
void BM_JsonLinesSinkLine(benchmark::State& state) {
  const std::string path = benchFile("json_bench.log");
  XLogger::destroyInstance();
  XLogger::instance()->addSink(std::make_unique<XLogger::JsonLinesSink>(path), XLogger::INFO);
  const XLogger::Context job("job", 4711);
  const XLogger::Context queue("queue", "mail");
  int i = 0;
  for (auto _ : state) XLOG(XLogger::INFO, "request {} took {} ms", ++i, 3.5);
  XLogger::destroyInstance();
  std::filesystem::remove(path);
}
BENCHMARK(BM_JsonLinesSinkLine)->Iterations(200000);

}  // namespace
