#pragma once

// The cron search over plain civil times, shared by the UTC and the zoned search of
// CronSchedule. Private to the library.

#include <cstdint>
#include <ctime>
#include <limits>
#include <string>

#include "internal/civil_date.h"
#include "xcommon/cron_schedule.h"

namespace XInternal {

// Whether a year can be a broken-down time's (counted from 1900 in an int).
constexpr bool fitsTmYear(std::int64_t year) {
  return year - 1900 >= std::numeric_limits<int>::min() &&
         year - 1900 <= std::numeric_limits<int>::max();
}

// Also sets the weekday; the members the search does not use keep their values.
void storeInto(std::tm& out, const CivilTime& t);
// "YYYY-MM-DD hh:mm:ss", as CronSchedule::Calendar::to_string() writes it.
std::string civilText(const CivilTime& t);

// The six sets of a schedule as bit masks, bit 0 for each field's lowest value.
struct CronSets {
  explicit CronSets(const CronSchedule& schedule)
      : seconds(schedule.m_seconds.to_ullong()),
        minutes(schedule.m_minutes.to_ullong()),
        hours(schedule.m_hours.to_ullong()),
        daysOfMonth(schedule.m_days_of_month.to_ulong()),
        months(static_cast<std::uint32_t>(schedule.m_months.to_ulong())),
        daysOfWeek(static_cast<std::uint32_t>(schedule.m_days_of_week.to_ulong())) {}

  // Whether all six sets allow `t`, a valid time.
  bool allows(const CivilTime& t) const {
    const auto bit = [](std::uint64_t set, int at) { return ((set >> at) & 1u) != 0; };
    if (!bit(seconds, t.second) || !bit(minutes, t.minute) || !bit(hours, t.hour) ||
        !bit(daysOfMonth, t.day - 1) || !bit(months, t.month - 1))
      return false;
    const auto day =
        daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
    return bit(daysOfWeek, static_cast<int>(weekday(day)));
  }

  const std::uint64_t seconds, minutes, hours, daysOfMonth;
  const std::uint32_t months, daysOfWeek;
};

// One search of a schedule. It walks months, then the days of a month that both day sets
// allow, then hours, minutes and seconds of a day, each from the current value upwards (or, for
// prev(), downwards); a field with nothing left moves the next higher one and starts the lower
// ones at their first (last) value. Only the move to another month starts a new pass, and only
// passes count towards the limit.
class CronSearch {
 public:
  // `startYear` counts from 1900, like tm_year; the years limit counts from it either way.
  CronSearch(CronSchedule& schedule, int startYear)
      : m_schedule(schedule),
        m_lastYear(std::int64_t{startYear} + 1900 + CronSchedule::MAX_YEARS_DIFF),
        m_firstYear(std::int64_t{startYear} + 1900 - CronSchedule::MAX_YEARS_DIFF),
        m_sets(schedule) {}

  // The earliest allowed time at or after `t`, whose second, minute and hour may each be one
  // past its range. False at a limit, with the schedule's error set and the stop logged; `t`
  // holds the match, or where the search stopped.
  bool run(CivilTime& t);
  // The latest allowed time at or before `t`, whose second, minute and hour may each be one
  // below its range; otherwise as run().
  bool runBack(CivilTime& t);

 private:
  static constexpr std::uint64_t WEEK = 0x7F;  // a bit for each day of a week
  // Bits 0, 7, 14, 21 and 28: a weekday's days in a month that starts on that weekday.
  static constexpr std::uint64_t EVERY_SEVENTH_DAY = 1u | 1u << 7 | 1u << 14 | 1u << 21 | 1u << 28;

  static void carry(CivilTime& t);
  static void startOfDay(CivilTime& t) { t.hour = t.minute = t.second = 0; }
  static void nextMonth(CivilTime& t);
  // Month and year: to the 1st of the next allowed month, 00:00:00, unless t's is allowed.
  void toAllowedMonth(CivilTime& t) const;
  // The days of t's month that both day sets allow, bit 0 for the 1st.
  std::uint64_t allowedDays(const CivilTime& t) const;
  // The same backwards, from t's value down; a move goes to the end of a month or day.
  static void endOfDay(CivilTime& t) {
    t.hour = 23;
    t.minute = t.second = 59;
  }
  static void borrow(CivilTime& t);
  static void previousMonth(CivilTime& t);
  void toAllowedMonthBack(CivilTime& t) const;

  // The walk's two directions, Forwards for run() and Backwards for runBack().
  struct Forwards;
  struct Backwards;
  // Months from t's on, in the direction, until a day of one has an allowed time or a limit.
  template <typename Direction>
  bool walk(CivilTime& t);
  // Day: the first allowed day of t's month from t.day on, in the direction, that has an
  // allowed time (from t's time on t.day itself); false when the month has none left.
  template <typename Direction>
  bool dayAndTime(CivilTime& t) const;
  // Time of day: the first allowed time from t's on, in the direction; false when the day has
  // none left.
  template <typename Direction>
  bool timeOfDay(CivilTime& t) const;
  // Sets the error, logs the stop of `search` ("next" or "prev") at `where`; returns false.
  bool stop(const char* search, const CivilTime& where, const char* error, const char* why,
            int limit);

  CronSchedule& m_schedule;
  const std::int64_t m_lastYear, m_firstYear;
  const CronSets m_sets;
};

// The year (from 1900, like tm_year) whose limit a search from `start` counts from: that of the
// start, or, when the start second itself matches, that of the second after it, where the
// search then begins.
int searchYear(const CronSets& sets, const CivilTime& start);

}  // namespace XInternal
