#include "internal/cron_search.h"

#include <limits>
#include <utility>

#include <fmt/format.h>

namespace XInternal {

namespace {

// First set bit at or above `from` (below 64), or -1.
int nextBit(std::uint64_t mask, int from) {
  const std::uint64_t rest = mask >> from;
  return rest == 0 ? -1 : from + __builtin_ctzll(rest);
}

// Last set bit at or below `from` (below 64), or -1; none below 0.
int prevBit(std::uint64_t mask, int from) {
  if (from < 0) return -1;
  const std::uint64_t rest = mask & (~std::uint64_t{0} >> (63 - from));
  return rest == 0 ? -1 : 63 - __builtin_clzll(rest);
}

// The calendar's conversions into and out of the search's representation.
CivilTime civilFrom(const std::tm& t) {
  return {std::int64_t{t.tm_year} + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

}  // namespace

void storeInto(std::tm& out, const CivilTime& t) {
  out.tm_year = static_cast<int>(t.year - 1900);
  out.tm_mon = t.month - 1;
  out.tm_mday = t.day;
  out.tm_hour = t.hour;
  out.tm_min = t.minute;
  out.tm_sec = t.second;
  out.tm_wday = static_cast<int>(
      weekday(daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day))));
}

std::string civilText(const CivilTime& t) {
  return fmt::format("{:d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", t.year, t.month, t.day, t.hour,
                     t.minute, t.second);
}

// What run() and runBack() do differently; the walk itself is one.
struct CronSearch::Forwards {
  static constexpr const char* NAME = "next";
  static constexpr int DAY_STEP = 1;
  static constexpr int START = 0;  // a minute's and second's first value once a larger one moved
  static int find(std::uint64_t set, int from) { return nextBit(set, from); }
  // One step of a field; false when it leaves its range (0..`last`).
  static bool step(int& value, int last) { return ++value <= last; }
  static bool inMonth(int day) { return day <= 31; }
  static void startDay(CivilTime& t) { startOfDay(t); }
  static void toMonth(const CronSearch& search, CivilTime& t) { search.toAllowedMonth(t); }
  static bool pastLimit(const CronSearch& search, const CivilTime& t) {
    return t.year > search.m_lastYear;
  }
  static void leaveMonth(CivilTime& t) { nextMonth(t); }
};

struct CronSearch::Backwards {
  static constexpr const char* NAME = "prev";
  static constexpr int DAY_STEP = -1;
  static constexpr int START = 59;
  static int find(std::uint64_t set, int from) { return prevBit(set, from); }
  static bool step(int& value, int /*last*/) { return --value >= 0; }
  static bool inMonth(int day) { return day >= 1; }
  static void startDay(CivilTime& t) { endOfDay(t); }
  static void toMonth(const CronSearch& search, CivilTime& t) { search.toAllowedMonthBack(t); }
  static bool pastLimit(const CronSearch& search, const CivilTime& t) {
    return t.year < search.m_firstYear;
  }
  static void leaveMonth(CivilTime& t) { previousMonth(t); }
};

bool CronSearch::run(CivilTime& t) {
  carry(t);
  return walk<Forwards>(t);
}

bool CronSearch::runBack(CivilTime& t) {
  borrow(t);
  return walk<Backwards>(t);
}

template <typename Direction>
bool CronSearch::walk(CivilTime& t) {
  for (;;) {
    if (++m_schedule.m_recursions > CronSchedule::MAX_RECURSIONS)
      return stop(Direction::NAME, t, "too many recursions", "too many recursions",
                  CronSchedule::MAX_RECURSIONS);
    Direction::toMonth(*this, t);
    if (Direction::pastLimit(*this, t)) {
      return stop(Direction::NAME, t, "maximum years limit reached", "too large years diff",
                  CronSchedule::MAX_YEARS_DIFF);
    }
    if (dayAndTime<Direction>(t)) return true;
    Direction::leaveMonth(t);
  }
}

// next() starts one second after the start, which may have been :59.
void CronSearch::carry(CivilTime& t) {
  if (t.second == 60) {
    t.second = 0;
    ++t.minute;
  }
  if (t.minute == 60) {
    t.minute = 0;
    ++t.hour;
  }
  if (t.hour == 24) {
    t.hour = 0;
    ++t.day;
  }
}

// prev() starts one second before the end, which may have been :00; a day of 0 means that
// nothing is left in the month.
void CronSearch::borrow(CivilTime& t) {
  if (t.second < 0) {
    t.second = 59;
    --t.minute;
  }
  if (t.minute < 0) {
    t.minute = 59;
    --t.hour;
  }
  if (t.hour < 0) {
    t.hour = 23;
    --t.day;
  }
}

void CronSearch::nextMonth(CivilTime& t) {
  t.day = 1;
  startOfDay(t);
  if (++t.month > 12) {
    t.month = 1;
    ++t.year;
  }
}

void CronSearch::toAllowedMonth(CivilTime& t) const {
  if (((m_sets.months >> (t.month - 1)) & 1u) != 0) return;
  const int later = nextBit(m_sets.months, t.month);
  if (later < 0) ++t.year;
  t.month = (later >= 0 ? later : nextBit(m_sets.months, 0)) + 1;
  t.day = 1;
  startOfDay(t);
}

std::uint64_t CronSearch::allowedDays(const CivilTime& t) const {
  const auto month = static_cast<unsigned>(t.month);
  const unsigned first = weekday(daysFromCivil(t.year, month, 1));
  const std::uint64_t rotated =
      ((m_sets.daysOfWeek >> first) | (m_sets.daysOfWeek << (7 - first))) & WEEK;
  const std::uint64_t inMonth = (std::uint64_t{1} << daysInMonth(t.year, month)) - 1;
  return m_sets.daysOfMonth & (rotated * EVERY_SEVENTH_DAY) & inMonth;
}

template <typename Direction>
bool CronSearch::dayAndTime(CivilTime& t) const {
  const std::uint64_t allowed = allowedDays(t);
  while (Direction::inMonth(t.day)) {
    const int day = Direction::find(allowed, t.day - 1);
    if (day < 0) return false;
    if (day + 1 != t.day) {
      t.day = day + 1;
      Direction::startDay(t);
    }
    if (timeOfDay<Direction>(t)) return true;
    t.day += Direction::DAY_STEP;
    Direction::startDay(t);
  }
  return false;
}

template <typename Direction>
bool CronSearch::timeOfDay(CivilTime& t) const {
  for (;;) {
    const int h = Direction::find(m_sets.hours, t.hour);
    if (h < 0) return false;
    if (h != t.hour) {
      t.hour = h;
      t.minute = t.second = Direction::START;
    }
    const int m = Direction::find(m_sets.minutes, t.minute);
    if (m < 0) {
      if (!Direction::step(t.hour, 23)) return false;
      t.minute = t.second = Direction::START;
      continue;
    }
    if (m != t.minute) {
      t.minute = m;
      t.second = Direction::START;
    }
    const int s = Direction::find(m_sets.seconds, t.second);
    if (s >= 0) {
      t.second = s;
      return true;
    }
    t.second = Direction::START;
    if (!Direction::step(t.minute, 59)) {
      t.minute = Direction::START;
      if (!Direction::step(t.hour, 23)) return false;
    }
  }
}

void CronSearch::previousMonth(CivilTime& t) {
  if (--t.month < 1) {
    t.month = 12;
    --t.year;
  }
  t.day = static_cast<int>(daysInMonth(t.year, static_cast<unsigned>(t.month)));
  endOfDay(t);
}

// To the last day of the latest allowed month before t's, 23:59:59, unless t's is allowed.
void CronSearch::toAllowedMonthBack(CivilTime& t) const {
  if (((m_sets.months >> (t.month - 1)) & 1u) != 0) return;
  const int earlier = prevBit(m_sets.months, t.month - 2);
  if (earlier < 0) --t.year;
  t.month = (earlier >= 0 ? earlier : prevBit(m_sets.months, 11)) + 1;
  t.day = static_cast<int>(daysInMonth(t.year, static_cast<unsigned>(t.month)));
  endOfDay(t);
}

bool CronSearch::stop(const char* search, const CivilTime& where, const char* error,
                      const char* why, int limit) {
  m_schedule.fail(error);
  m_schedule.logLimit(search, why, limit, civilText(where));
  return false;
}

// The second after the start is in another year only when the start is a year's last.
int searchYear(const CronSets& sets, const CivilTime& start) {
  const bool lastOfYear = start.month == 12 && start.day == 31 && start.hour == 23 &&
                          start.minute == 59 && start.second == 59;
  return static_cast<int>(start.year - 1900) + (lastOfYear && sets.allows(start) ? 1 : 0);
}

}  // namespace XInternal

using XInternal::CivilTime;

namespace {

// The first second of a year counted from 1900, like tm_year.
constexpr std::int64_t yearStart(std::int64_t tmYear) {
  return XInternal::daysFromCivil(tmYear + 1900, 1, 1) * 86400;
}

// Seconds of 0 and -1 are what timegm cannot tell from failure: refused as a start. Also
// refused: a start whose year a broken-down time cannot hold, or so far ahead (or, for prev(),
// back) that the years limit would overflow it (a zone's local year may be one more). The
// years are told by the seconds, without breaking them down.
bool refusedStart(std::int64_t seconds, bool zoned, bool backwards) {
  constexpr std::int64_t LOWEST = std::numeric_limits<int>::min();
  constexpr std::int64_t HIGHEST = std::numeric_limits<int>::max();
  constexpr std::int64_t MARGIN = CronSchedule::MAX_YEARS_DIFF + 1;
  constexpr std::int64_t FIRST = yearStart(LOWEST), FIRST_BACK = yearStart(LOWEST + MARGIN),
                         FIRST_BACK_ZONED = yearStart(LOWEST + MARGIN + 1),
                         PAST = yearStart(HIGHEST - MARGIN + 1),
                         PAST_ZONED = yearStart(HIGHEST - MARGIN);
  const std::int64_t first = backwards ? (zoned ? FIRST_BACK_ZONED : FIRST_BACK) : FIRST;
  return seconds == 0 || seconds == -1 || seconds < first || seconds >= (zoned ? PAST_ZONED : PAST);
}

// Where runs_between() goes on after next() found nothing from `at`: past the epoch's second 0,
// which no search returns, or else near the end of the years limit's span, where that search
// stopped (at least three years on whatever the zone's local year).
std::int64_t resumeAfter(std::int64_t at) {
  if (at >= -2 && at <= 0) return 1;
  const std::int64_t year = XInternal::civilFromSeconds(at).year + CronSchedule::MAX_YEARS_DIFF;
  return XInternal::secondsSinceEpoch({year, 1, 1, 0, 0, 0}) - 2 * 86400;
}

}  // namespace

XTime::Timestamp CronSchedule::next(const XTime::Timestamp& start) { return search(start, false); }

XTime::Timestamp CronSchedule::prev(const XTime::Timestamp& end) { return search(end, true); }

XTime::Timestamp CronSchedule::search(const XTime::Timestamp& from, bool back) {
  if (!m_valid) {
    fail("cron expression is not valid");
    return {};
  }
  if (refusedStart(from.seconds, m_zone != nullptr, back)) {
    fail("invalid current time");
    return {};
  }
  m_recursions = 0;
  m_start_time = from;
  std::int64_t seconds = 0;
  bool found = false;
  if (m_zone != nullptr) {
    found = back ? prevInZone(from.seconds, seconds) : nextInZone(from.seconds, seconds);
  } else {
    // The search is inclusive: it begins one second after (before) the start's whole second;
    // run() carries the second into the minute and on, runBack() borrows it.
    CivilTime t = XInternal::civilFromSeconds(from.seconds);
    if (back) {
      --t.second;
      found = XInternal::CronSearch(*this, static_cast<int>(t.year - 1900)).runBack(t);
    } else {
      const int year = XInternal::searchYear(XInternal::CronSets(*this), t);
      ++t.second;
      found = XInternal::CronSearch(*this, year).run(t);
    }
    seconds = XInternal::secondsSinceEpoch(t);
  }
  m_recursions = 0;
  if (!found) return {};
  if (seconds == 0) {
    fail(back ? "failed to find previous match" : "failed to find next match");
    return {};
  }
  return {seconds, 0};
}

CronSchedule::Runs CronSchedule::runs_between(const XTime::Timestamp& after,
                                              const XTime::Timestamp& until, std::uint32_t cap) {
  Runs runs;
  if (!m_valid) {
    fail("cron expression is not valid");
    return runs;
  }
  if (refusedStart(after.seconds, m_zone != nullptr, false)) {
    fail("invalid current time");
    return runs;
  }
  if (until.seconds <= after.seconds) return runs;
  // A limit here only means that no run is left in the span: nothing to log.
  struct Quiet {
    bool& flag;
    const bool saved;
    ~Quiet() { flag = saved; }
  } quiet{m_log_errors, std::exchange(m_log_errors, false)};
  // The latest at or before until: before the second after it (prev() refuses the last second).
  const std::int64_t end =
      until.seconds < std::numeric_limits<std::int64_t>::max() ? until.seconds + 1 : until.seconds;
  const XTime::Timestamp last = prev({end, 0});
  if (last == XTime::Timestamp{} || last.seconds <= after.seconds) return runs;
  runs.last = last;
  XTime::Timestamp at = after;
  while (runs.count < cap && at.seconds < last.seconds) {
    const XTime::Timestamp found = next(at);
    if (found == XTime::Timestamp{}) {
      at = {resumeAfter(at.seconds), 0};
      continue;
    }
    at = found;
    if (runs.count++ == 0) runs.first = at;
  }
  runs.capped = at.seconds < last.seconds;
  return runs;
}

bool CronSchedule::do_next(Calendar& cal, int start_year) {
  const int passes = m_recursions;
  CivilTime t = XInternal::civilFrom(cal.time);
  const bool found = XInternal::CronSearch(*this, start_year).run(t);
  XInternal::storeInto(cal.time, t);
  m_recursions = passes;
  return found;
}
