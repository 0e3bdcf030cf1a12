#include "xcommon/cron_schedule.h"

#include <benchmark/benchmark.h>

namespace {

constexpr XTime::Timestamp START{1709294410, 0};  // 2024-03-01 12:00:10 UTC, a Friday

void next(benchmark::State& state, const char* expression) {
  CronSchedule s(expression);
  for (auto _ : state) benchmark::DoNotOptimize(s.next(START));
}
BENCHMARK_CAPTURE(next, every_15_seconds, "*/15 * * * * *");
BENCHMARK_CAPTURE(next, weekdays_0930, "0 30 9 * * MON-FRI");
BENCHMARK_CAPTURE(next, friday_13th, "0 0 0 13 * FRI");
BENCHMARK_CAPTURE(next, leap_day, "0 0 0 29 2 *");

void BM_CronParse(benchmark::State& state) {
  for (auto _ : state) {
    CronSchedule s("0 30 9 * * MON-FRI");
    benchmark::DoNotOptimize(s.is_valid());
  }
}
BENCHMARK(BM_CronParse);

// Baseline: the C library's conversions that a calendar search would otherwise lean on.
void BM_GmtimeTimegmBaseline(benchmark::State& state) {
  std::time_t t = START.seconds;
  for (auto _ : state) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    benchmark::DoNotOptimize(timegm(&tm));
  }
}
BENCHMARK(BM_GmtimeTimegmBaseline);

}  // namespace
