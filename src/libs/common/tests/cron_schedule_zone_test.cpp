// Schedules in time zones against an oracle that shares nothing with the library: a child
// process with TZ set reports the C library's UTC offset minute by minute around each change of
// a zone up to 2100, and the test applies cron's rules to that (interval schedules fire at every
// instant whose local time matches; fixed-time ones at the first of a repeated local time, and
// once at the end of a gap whose local times match).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "xcommon/cron_schedule.h"

namespace {

constexpr std::int64_t MINUTE = 60, HOUR = 3600;
constexpr std::int64_t WINDOW = 3 * HOUR;  // on each side of a change

// The offsets of one zone: for every change in a span of years, the minutes around it.
struct Window {
  std::int64_t first;                 // its first minute, in seconds since the epoch
  std::vector<std::int32_t> offsets;  // tm_gmtoff of each minute
};

std::int64_t gmtoff(std::int64_t t) {
  const auto at = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&at, &tm);
  return tm.tm_gmtoff;
}

std::int64_t yearStart(int year) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mday = 1;
  return timegm(&tm);
}

// In a child with TZ=zone: finds the changes from the first year to the last by a coarse scan
// and bisection, and writes each window's offsets to `fd` (first minute, count, offsets).
[[noreturn]] void reportZone(const char* zone, int fd, int firstYear, int lastYear) {
  setenv("TZ", zone, 1);
  tzset();
  const std::int64_t from = yearStart(firstYear), to = yearStart(lastYear + 1);
  std::vector<std::int64_t> changes;
  for (std::int64_t t = from; t < to; t += 3 * HOUR) {
    if (gmtoff(t) == gmtoff(t + 3 * HOUR)) continue;
    std::int64_t lo = t, hi = t + 3 * HOUR;  // the offset changes in (lo, hi]
    while (hi - lo > 1) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      (gmtoff(mid) == gmtoff(lo) ? lo : hi) = mid;
    }
    changes.push_back(hi);
  }
  std::vector<std::int64_t> out;
  for (const std::int64_t change : changes) {
    const std::int64_t first = (change - WINDOW) / MINUTE * MINUTE;
    out.push_back(first);
    out.push_back(2 * WINDOW / MINUTE);
    for (std::int64_t t = first; t < first + 2 * WINDOW; t += MINUTE) out.push_back(gmtoff(t));
  }
  const auto* data = reinterpret_cast<const char*>(out.data());
  std::size_t left = out.size() * sizeof(std::int64_t);
  while (left > 0) {
    const ssize_t n = write(fd, data, left);
    if (n <= 0) _exit(1);
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  _exit(0);
}

std::vector<Window> zoneWindows(const char* zone, int firstYear = 2005, int lastYear = 2100) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    reportZone(zone, fds[1], firstYear, lastYear);
  }
  close(fds[1]);
  std::string bytes;
  char buf[65536];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    bytes.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  std::vector<std::int64_t> words(bytes.size() / sizeof(std::int64_t));
  bytes.copy(reinterpret_cast<char*>(words.data()), words.size() * sizeof(std::int64_t));
  std::vector<Window> windows;
  for (std::size_t i = 0; i + 2 <= words.size();) {
    Window w{words[i], {}};
    const auto count = static_cast<std::size_t>(words[i + 1]);
    for (std::size_t k = 0; k < count; ++k)
      w.offsets.push_back(static_cast<std::int32_t>(words[i + 2 + k]));
    windows.push_back(std::move(w));
    i += 2 + count;
  }
  return windows;
}

// A schedule of second 0 whose day fields are "*": the minutes and hours it allows, read by a
// parser of the test's own ("*", "*/n", "a-b", "a-b/n", lists).
struct Plan {
  const char* expression;
  bool fixed;
  std::set<int> minutes, hours;
};

std::set<int> parseField(const std::string& field, int top) {
  std::set<int> out;
  std::size_t start = 0;
  while (start <= field.size()) {
    const std::size_t comma = std::min(field.find(',', start), field.size());
    const std::string item = field.substr(start, comma - start);
    const std::size_t slash = item.find('/');
    const std::string range = item.substr(0, slash);
    const int step = slash == std::string::npos ? 1 : std::stoi(item.substr(slash + 1));
    int lo = 0, hi = top;
    if (range != "*") {
      const std::size_t dash = range.find('-');
      lo = std::stoi(range.substr(0, dash));
      hi = dash == std::string::npos ? (slash == std::string::npos ? lo : top)
                                     : std::stoi(range.substr(dash + 1));
    }
    for (int v = lo; v <= hi; v += step) out.insert(v);
    start = comma + 1;
  }
  return out;
}

Plan plan(const char* expression, bool fixed) {
  const std::string text = expression;
  const std::size_t a = text.find(' ') + 1, b = text.find(' ', a), c = text.find(' ', b + 1);
  return {expression, fixed, parseField(text.substr(a, b - a), 59),
          parseField(text.substr(b + 1, c - b - 1), 23)};
}

bool matches(const Plan& p, std::int64_t wall) {
  const auto at = static_cast<std::time_t>(wall);
  std::tm tm{};
  gmtime_r(&at, &tm);  // the local time, broken down without any zone
  return p.minutes.count(tm.tm_min) != 0 && p.hours.count(tm.tm_hour) != 0;
}

// The oracle: the instants in the window at which the schedule fires.
std::vector<std::int64_t> oracle(const Plan& p, const Window& w) {
  std::vector<std::int64_t> fired;
  std::set<std::int64_t> seen;  // local times that happened already in the window
  for (std::size_t i = 0; i < w.offsets.size(); ++i) {
    const std::int64_t t = w.first + static_cast<std::int64_t>(i) * MINUTE, wall = t + w.offsets[i];
    bool fire = matches(p, wall) && (!p.fixed || seen.count(wall) == 0);
    if (p.fixed && i > 0 && w.offsets[i] > w.offsets[i - 1]) {  // a gap ends at t
      for (std::int64_t g = t + w.offsets[i - 1]; g < wall; g += MINUTE)
        fire = fire || matches(p, g);
    }
    if (fire) fired.push_back(t);
    seen.insert(wall);
  }
  return fired;
}

void checkZone(const char* zone, const std::vector<Plan>& plans, int firstYear = 2005,
               int lastYear = 2100) {
  const std::vector<Window> windows = zoneWindows(zone, firstYear, lastYear);
  ASSERT_GT(windows.size(), 0u) << zone;
  for (const Plan& p : plans) {
    CronSchedule schedule(p.expression);
    ASSERT_TRUE(schedule.set_time_zone(zone)) << schedule.get_error();
    int wrong = 0;
    for (const Window& w : windows) {
      const std::vector<std::int64_t> expected = oracle(p, w);
      const std::int64_t end = w.first + static_cast<std::int64_t>(w.offsets.size()) * MINUTE;
      std::vector<std::int64_t> got;
      for (XTime::Timestamp at{w.first - 1, 0};;) {
        const XTime::Timestamp before = at;
        at = schedule.next(at);
        if (at.seconds == 0 || at.seconds >= end || at.seconds <= before.seconds) break;
        got.push_back(at.seconds);
      }
      if (got != expected && ++wrong <= 3)
        ADD_FAILURE() << zone << " '" << p.expression << "' around " << w.first + WINDOW << ": "
                      << got.size() << " firings, oracle " << expected.size();
      // Starts just before, at and after the change itself.
      const std::int64_t change = w.first + WINDOW;
      for (std::int64_t s = change - 61; s <= change + 61; s += 61) {
        std::int64_t want = 0;
        for (const std::int64_t f : expected)
          if (f > s) {
            want = f;
            break;
          }
        if (want != 0 && schedule.next({s, 0}).seconds != want && ++wrong <= 3)
          ADD_FAILURE() << zone << " '" << p.expression << "' from " << s;
      }
    }
    EXPECT_EQ(wrong, 0) << zone << " '" << p.expression << "' over " << windows.size()
                        << " changes";
  }
}

const std::vector<Plan>& plans() {
  static const std::vector<Plan> all = {
      plan("0 30 2 * * *", true),      plan("0 0 0 * * *", true),
      plan("0 15 1,2,3 * * *", true),  plan("0 45,50 23 * * *", true),
      plan("0 */15 * * * *", false),   plan("0 * 2 * * *", false),
      plan("0 */30 0-3 * * *", false), plan("0 0 * * * *", false),
  };
  return all;
}

}  // namespace

// Lord Howe moves by 30 minutes, Troll by two hours, Havana and Santiago at midnight, Apia
// skipped a whole day in 2011, Dublin's winter time is a negative summer time in the database,
// and New York and Berlin are what most users have.
TEST(CronZones, MatchTheOracleAroundEveryChangeTo2100) {
  for (const char* zone :
       {"Australia/Lord_Howe", "Antarctica/Troll", "America/Havana", "America/Santiago",
        "Pacific/Apia", "Europe/Dublin", "America/New_York", "Europe/Berlin"}) {
    checkZone(zone, plans());
  }
  // Where the searches stop reading the zone's table and ask the zone library.
  for (const char* zone : {"Australia/Lord_Howe", "America/New_York", "Europe/Dublin"})
    checkZone(zone, plans(), 2397, 2402);
}

namespace {

// prev() against the chain of next(): from two days before a window of six hours around `at`
// (every plan fires daily), then prev() at each firing in the window, the second after it, and
// every 131 seconds. Counts the checks, and where prev() disagreed.
void checkPrev(CronSchedule& s, std::int64_t at, int& checks, int& wrong) {
  const std::int64_t from = at - WINDOW, to = at + WINDOW;
  std::vector<std::int64_t> chain;
  for (XTime::Timestamp t{from - 2 * 86400, 0}; t.seconds <= to;) {
    t = s.next(t);
    if (t.seconds == 0) break;
    chain.push_back(t.seconds);
  }
  std::vector<std::int64_t> ends;
  for (const std::int64_t f : chain)
    if (f >= from) ends.insert(ends.end(), {f, f + 1});
  for (std::int64_t e = from; e <= to; e += 131) ends.push_back(e);
  for (const std::int64_t e : ends) {
    std::int64_t want = 0;
    for (const std::int64_t f : chain)
      if (f < e) want = f;
    ++checks;
    const std::int64_t got = s.prev({e, 0}).seconds;
    if (got != want && ++wrong <= 3)
      ADD_FAILURE() << s.get_time_zone() << " '" << s.get_expression() << "' before " << e << ": "
                    << got << ", the chain " << want;
  }
}

}  // namespace

// The schedules of the oracle test around every change of offset from 2008 to 2015 and near the
// table's end in 2400, and on ordinary days ten days later; UTC on the same days.
TEST(CronZones, PrevIsTheLatestFiringOfTheNextChainBelowIt) {
  int checks = 0, wrong = 0, changes = 0;
  std::vector<std::int64_t> days;
  for (const char* zone : {"Australia/Lord_Howe", "Antarctica/Troll", "Pacific/Apia", ""}) {
    if (*zone != '\0') {
      days.clear();
      for (const auto& [first, last] : {std::pair{2008, 2015}, std::pair{2398, 2401}})
        for (const Window& w : zoneWindows(zone, first, last))
          days.insert(days.end(), {w.first + WINDOW, w.first + WINDOW + 10 * 86400});
      changes += static_cast<int>(days.size() / 2);
    }
    ASSERT_FALSE(days.empty()) << zone;
    for (const Plan& p : plans()) {
      CronSchedule s(p.expression);
      ASSERT_TRUE(s.set_time_zone(zone)) << s.get_error();
      for (const std::int64_t at : days) checkPrev(s, at, checks, wrong);
    }
  }
  RecordProperty("changes", changes);
  RecordProperty("checks", checks);
  EXPECT_EQ(wrong, 0) << "of " << checks;
  EXPECT_GT(checks, 100000);
}

TEST(CronZones, NamesAreCheckedAndARefusedNameKeepsTheZone) {
  CronSchedule s("0 30 2 * * *");
  EXPECT_EQ(s.get_time_zone(), "");
  ASSERT_TRUE(s.set_time_zone("Europe/Berlin")) << s.get_error();
  for (const char* bad :
       {"Mars/Olympus", "../../../etc/passwd", "/usr/share/zoneinfo/UTC", "Europe/../Europe/Paris",
        "Europe//Berlin", "zone.tab", "", "posixrules "}) {
    if (*bad == '\0') continue;
    EXPECT_FALSE(s.set_time_zone(bad)) << bad;
    EXPECT_NE(s.get_error().find(bad), std::string::npos) << s.get_error();
    EXPECT_EQ(s.get_time_zone(), "Europe/Berlin");
  }
  // Shown as rejected input is: control characters escaped, cut after 64 bytes.
  EXPECT_FALSE(s.set_time_zone("Europe/Berlin\n"));
  EXPECT_EQ(s.get_error(), "unknown time zone 'Europe/Berlin\\x0a'");
  EXPECT_FALSE(s.set_time_zone(std::string("Europe/Ber\0lin\x7f", 15)));
  EXPECT_EQ(s.get_error(), "unknown time zone 'Europe/Ber\\x00lin\\x7f'");
  EXPECT_FALSE(s.set_time_zone(std::string(300, 'a')));
  EXPECT_EQ(s.get_error(), "unknown time zone '" + std::string(64, 'a') + "...'");
  // 2024-06-01 00:00 UTC: the next 02:30 in Berlin (UTC+2) is 00:30 UTC.
  EXPECT_EQ(s.next({1717200000, 0}).seconds, 1717201800);
  const CronSchedule copy = s;
  EXPECT_EQ(copy.get_time_zone(), "Europe/Berlin");
  ASSERT_TRUE(s.set_time_zone("UTC"));
  EXPECT_EQ(s.next({1717200000, 0}).seconds, 1717209000);
  EXPECT_TRUE(s.set_time_zone(""));
  EXPECT_EQ(s.get_time_zone(), "");
}
