#include "internal/cron_search.h"

#include <limits>

namespace XInternal {

namespace {

// First set bit at or above `from` (below 64), or -1.
int nextBit(std::uint64_t mask, int from) {
  const std::uint64_t rest = mask >> from;
  return rest == 0 ? -1 : from + __builtin_ctzll(rest);
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

bool CronSearch::run(CivilTime& t) {
  carry(t);
  for (;;) {
    if (++m_schedule.m_recursions > CronSchedule::MAX_RECURSIONS)
      return stop(t, "too many recursions", "too many recursions", CronSchedule::MAX_RECURSIONS);
    toAllowedMonth(t);
    if (t.year > m_lastYear) {
      return stop(t, "maximum years limit reached", "too large years diff",
                  CronSchedule::MAX_YEARS_DIFF);
    }
    if (dayAndTime(t)) return true;
    nextMonth(t);
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

void CronSearch::nextMonth(CivilTime& t) {
  t.day = 1;
  startOfDay(t);
  if (++t.month > 12) {
    t.month = 1;
    ++t.year;
  }
}

void CronSearch::toAllowedMonth(CivilTime& t) const {
  if (((m_months >> (t.month - 1)) & 1u) != 0) return;
  const int later = nextBit(m_months, t.month);
  if (later < 0) ++t.year;
  t.month = (later >= 0 ? later : nextBit(m_months, 0)) + 1;
  t.day = 1;
  startOfDay(t);
}

std::uint64_t CronSearch::allowedDays(const CivilTime& t) const {
  const auto month = static_cast<unsigned>(t.month);
  const unsigned first = weekday(daysFromCivil(t.year, month, 1));
  const std::uint64_t rotated = ((m_daysOfWeek >> first) | (m_daysOfWeek << (7 - first))) & WEEK;
  const std::uint64_t inMonth = (std::uint64_t{1} << daysInMonth(t.year, month)) - 1;
  return m_daysOfMonth & (rotated * EVERY_SEVENTH_DAY) & inMonth;
}

bool CronSearch::dayAndTime(CivilTime& t) const {
  const std::uint64_t allowed = allowedDays(t);
  while (t.day <= 31) {
    const int day = nextBit(allowed, t.day - 1);
    if (day < 0) return false;
    if (day + 1 != t.day) {
      t.day = day + 1;
      startOfDay(t);
    }
    if (timeOfDay(t)) return true;
    ++t.day;
    startOfDay(t);
  }
  return false;
}

bool CronSearch::timeOfDay(CivilTime& t) const {
  for (;;) {
    const int h = nextBit(m_hours, t.hour);
    if (h < 0) return false;
    if (h != t.hour) {
      t.hour = h;
      t.minute = t.second = 0;
    }
    const int m = nextBit(m_minutes, t.minute);
    if (m < 0) {
      if (++t.hour > 23) return false;
      t.minute = t.second = 0;
      continue;
    }
    if (m != t.minute) {
      t.minute = m;
      t.second = 0;
    }
    const int s = nextBit(m_seconds, t.second);
    if (s >= 0) {
      t.second = s;
      return true;
    }
    t.second = 0;
    if (++t.minute > 59) {
      t.minute = 0;
      if (++t.hour > 23) return false;
    }
  }
}

bool CronSearch::stop(const CivilTime& where, const char* error, const char* why, int limit) {
  m_schedule.fail(error);
  CronSchedule::Calendar at(XTime::Timestamp{});  // only its text is wanted
  storeInto(at.time, where);
  m_schedule.logLimit(why, limit, at);
  return false;
}

int searchYear(const CronSearch& search, const CivilTime& start) {
  if (!search.allows(start)) return static_cast<int>(start.year - 1900);
  return static_cast<int>(civilFromSeconds(secondsSinceEpoch(start) + 1).year - 1900);
}

}  // namespace XInternal

using XInternal::CivilTime;
using XInternal::fitsTmYear;

XTime::Timestamp CronSchedule::next(const XTime::Timestamp& start) {
  if (!m_valid) {
    fail("cron expression is not valid");
    return {};
  }
  // seconds of 0 and -1 are what timegm cannot tell from failure: refused as a start.
  // Also refused: a start whose year a broken-down time cannot hold, or so far ahead that the
  // years limit would overflow it (a zone's local year may be one more).
  const CivilTime startTime = XInternal::civilFromSeconds(start.seconds);
  if (start.seconds == 0 || start.seconds == -1 || !fitsTmYear(startTime.year) ||
      startTime.year - 1900 > std::numeric_limits<int>::max() - MAX_YEARS_DIFF - (m_zone ? 2 : 1)) {
    fail("invalid current time");
    return {};
  }
  m_recursions = 0;
  m_start_time = start;
  std::int64_t seconds = 0;
  bool found = false;
  if (m_zone != nullptr) {
    found = nextInZone(start.seconds, seconds);
  } else {
    // The search is inclusive: it begins one second after the start's whole second (run()
    // carries the second into the minute and on).
    CivilTime t = startTime;
    const int year = XInternal::searchYear(XInternal::CronSearch(*this, 0), t);
    ++t.second;
    found = XInternal::CronSearch(*this, year).run(t);
    seconds = XInternal::secondsSinceEpoch(t);
  }
  m_recursions = 0;
  if (!found) return {};
  if (seconds == 0) {
    fail("failed to find next match");
    return {};
  }
  return {seconds, 0};
}

bool CronSchedule::do_next(Calendar& cal, int start_year) {
  const int passes = m_recursions;
  CivilTime t = XInternal::civilFrom(cal.time);
  const bool found = XInternal::CronSearch(*this, start_year).run(t);
  XInternal::storeInto(cal.time, t);
  m_recursions = passes;
  return found;
}
