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

// The same schedules read in a time zone, beside their UTC figures.
void zoned(benchmark::State& state, const char* expression, const char* zone) {
  CronSchedule s(expression);
  if (!s.set_time_zone(zone)) state.SkipWithError(s.get_error().c_str());
  for (auto _ : state) benchmark::DoNotOptimize(s.next(START));
}
BENCHMARK_CAPTURE(next, every_15_minutes, "0 */15 * * * *");
BENCHMARK_CAPTURE(zoned, every_15_minutes_berlin, "0 */15 * * * *", "Europe/Berlin");
BENCHMARK_CAPTURE(next, nightly_0230, "0 30 2 * * *");
BENCHMARK_CAPTURE(zoned, nightly_0230_berlin, "0 30 2 * * *", "Europe/Berlin");
BENCHMARK_CAPTURE(zoned, friday_13th_berlin, "0 0 0 13 * FRI", "Europe/Berlin");
BENCHMARK_CAPTURE(zoned, weekdays_0930_new_york, "0 30 9 * * MON-FRI", "America/New_York");

// Starts in three stretches of one offset in turn: the schedule remembers two, so every search
// looks its offsets up in the zone.
void zonedCold(benchmark::State& state, const char* expression) {
  CronSchedule s(expression);
  s.set_time_zone("Europe/Berlin");
  const XTime::Timestamp starts[] = {START, {1719835200, 0}, {1731672000, 0}};  // Mar, Jul, Nov
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(s.next(starts[i++ % 3]));
}
BENCHMARK_CAPTURE(zonedCold, every_15_minutes_berlin, "0 */15 * * * *");

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
