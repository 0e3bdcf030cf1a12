#include "xcommon/cron_schedule.h"

#include <random>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

constexpr XTime::Timestamp START{1709294410, 0};  // 2024-03-01 12:00:10 UTC, a Friday

void next(benchmark::State& state, const char* expression) {
  CronSchedule s(expression);
  for (auto _ : state) benchmark::DoNotOptimize(s.next(START));
}
// prev() beside next(), from the same start.
void prev(benchmark::State& state, const char* expression) {
  CronSchedule s(expression);
  for (auto _ : state) benchmark::DoNotOptimize(s.prev(START));
}
BENCHMARK_CAPTURE(next, every_15_seconds, "*/15 * * * * *");
BENCHMARK_CAPTURE(prev, every_15_seconds, "*/15 * * * * *");
BENCHMARK_CAPTURE(next, weekdays_0930, "0 30 9 * * MON-FRI");
BENCHMARK_CAPTURE(prev, weekdays_0930, "0 30 9 * * MON-FRI");
BENCHMARK_CAPTURE(next, friday_13th, "0 0 0 13 * FRI");
BENCHMARK_CAPTURE(prev, friday_13th, "0 0 0 13 * FRI");
BENCHMARK_CAPTURE(next, leap_day, "0 0 0 29 2 *");
BENCHMARK_CAPTURE(prev, leap_day, "0 0 0 29 2 *");

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

// 4096 starts drawn uniformly from 1970 to 2100, the same in every run.
constexpr std::int64_t FIRST = 1, LAST = 4102444800;  // 2100-01-01
const std::vector<XTime::Timestamp>& randomStarts() {
  static const std::vector<XTime::Timestamp> starts = [] {
    std::mt19937_64 random(42);
    std::uniform_int_distribution<std::int64_t> within(FIRST, LAST);
    std::vector<XTime::Timestamp> made(4096);
    for (auto& t : made) t = {within(random), 0};
    return made;
  }();
  return starts;
}

// A search from a random start each time: in a zone the stretch of one offset the schedule
// remembers seldom holds it, so the zone's table is searched.
void fromRandom(benchmark::State& state, const char* expression, const char* zone, bool back) {
  CronSchedule s(expression);
  if (!s.set_time_zone(zone)) state.SkipWithError(s.get_error().c_str());
  const std::vector<XTime::Timestamp>& starts = randomStarts();
  std::size_t i = 0;
  for (auto _ : state) {
    const XTime::Timestamp& t = starts[i++ % starts.size()];
    benchmark::DoNotOptimize(back ? s.prev(t) : s.next(t));
  }
}

// Each search from the last one's match, across 1970 to 2100 and round again.
void chained(benchmark::State& state, const char* expression, const char* zone, bool back) {
  CronSchedule s(expression);
  if (!s.set_time_zone(zone)) state.SkipWithError(s.get_error().c_str());
  XTime::Timestamp t = START;
  for (auto _ : state) {
    t = back ? s.prev(t) : s.next(t);
    if (t.seconds < FIRST || t.seconds > LAST) t = START;
    benchmark::DoNotOptimize(t);
  }
}

// Side by side: next() and prev(), each in UTC and in Berlin, from random starts and chained.
const bool SIDE_BY_SIDE = [] {
  using Bench = void (*)(benchmark::State&, const char*, const char*, bool);
  const std::pair<const char*, Bench> hows[] = {{"fromRandom", fromRandom}, {"chained", chained}};
  const std::pair<const char*, const char*> schedules[] = {{"every_15_minutes", "0 */15 * * * *"},
                                                           {"nightly_0230", "0 30 2 * * *"},
                                                           {"weekdays_0930", "0 30 9 * * MON-FRI"}};
  for (const auto& [how, bench] : hows)
    for (const auto& [name, expression] : schedules)
      for (const bool back : {false, true})
        for (const char* zone : {"", "Europe/Berlin"}) {
          const std::string title = std::string(how) + (back ? "/prev_" : "/next_") + name +
                                    (*zone != '\0' ? "_berlin" : "_utc");
          benchmark::RegisterBenchmark(title.c_str(), bench, expression, zone, back);
        }
  return true;
}();

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
