#pragma once

// Calendar arithmetic on plain integers (proleptic Gregorian, UTC), for searches that must
// not call timegm at every step. Private to the library.

#include <cstdint>

namespace XInternal {

// Days since 1970-01-01 of a civil date; m in 1..12, d in 1..31.
constexpr std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// The civil date of a count of days since 1970-01-01: the inverse of daysFromCivil.
constexpr CivilDate civilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0), month,
          doy - (153 * mp + 2) / 5 + 1};
}

constexpr bool isLeap(std::int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

constexpr unsigned daysInMonth(std::int64_t y, unsigned m) {
  constexpr unsigned DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : DAYS[m - 1];
}

// 0 = Sunday; day 0 was a Thursday.
constexpr unsigned weekday(std::int64_t days) {
  const std::int64_t w = (days + 4) % 7;
  return static_cast<unsigned>(w < 0 ? w + 7 : w);
}

// A UTC date and time of day as plain numbers: what the cron search works on from its start to
// its result, with no broken-down time in between.
struct CivilTime {
  std::int64_t year;
  int month;  // 1..12
  int day;    // from 1; past the month's last day it means that nothing is left in the month
  int hour;
  int minute;
  int second;
};

// The civil time of a count of seconds since 1970-01-01 00:00:00: the inverse of
// secondsSinceEpoch.
constexpr CivilTime civilFromSeconds(std::int64_t seconds) {
  constexpr std::int64_t DAY = 86400, HOUR = 3600, MINUTE = 60;
  std::int64_t days = seconds / DAY, second = seconds % DAY;
  if (second < 0) {
    second += DAY;
    --days;
  }
  const CivilDate date = civilFromDays(days);
  return {date.year,
          static_cast<int>(date.month),
          static_cast<int>(date.day),
          static_cast<int>(second / HOUR),
          static_cast<int>(second % HOUR / MINUTE),
          static_cast<int>(second % MINUTE)};
}

constexpr std::int64_t secondsSinceEpoch(const CivilTime& t) {
  constexpr std::int64_t DAY = 86400, HOUR = 3600, MINUTE = 60;
  return daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) * DAY +
         t.hour * HOUR + t.minute * MINUTE + t.second;
}

}  // namespace XInternal
