#include "xcommon/xlogger.h"

#include <sys/syscall.h>
#include <unistd.h>

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

}  // namespace
