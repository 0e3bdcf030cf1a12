// Arbitrary text as a cron expression, searched from a fuzzed start. A match must be later
// than the start, and the search from the second before it must find it again.
#include "xcommon/cron_schedule.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::int64_t raw;
  std::memcpy(&raw, data, 8);
  // Starts from 1900 to 2300, where every year fits the calendar.
  const std::int64_t start =
      -2208988800 + static_cast<std::int64_t>(static_cast<std::uint64_t>(raw) % 12623040000u);
  CronSchedule s(std::string(reinterpret_cast<const char*>(data + 8), size - 8), false);
  const XTime::Timestamp t = s.next({start, 0});
  if (!s.is_valid()) {
    if (t.seconds != 0 || s.get_error().empty()) std::abort();
    return 0;
  }
  if (t.seconds == 0) {
    if (s.get_error().empty()) std::abort();
    return 0;
  }
  if (t.seconds <= start || t.nanoseconds != 0) std::abort();
  // Starts of 0 and -1 seconds are refused by design ("invalid current time"): not re-searched.
  const std::int64_t before = t.seconds - 1;
  if (before > start && before != 0 && before != -1 && s.next({before, 0}).seconds != t.seconds)
    std::abort();
  return 0;
}
