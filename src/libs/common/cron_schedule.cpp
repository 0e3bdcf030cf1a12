#include "xcommon/cron_schedule.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include <fmt/format.h>

#include "internal/civil_date.h"
#include "internal/fork_guard.h"
#include "internal/text_scan.h"
#include "xcommon/xlogger.h"
#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

// Defined here, so that the library exports them; the values are in the header.
const int CronSchedule::MAX_RECURSIONS;
const int CronSchedule::MAX_YEARS_DIFF;

namespace {

using XInternal::CivilTime;
using XInternal::countPieces;
using XInternal::daysFromCivil;
using XInternal::daysInMonth;
using XInternal::forEachPiece;
using XInternal::readNumber;
using XInternal::upper;
using XInternal::weekday;

void replaceFirst(std::string& text, std::string_view name, std::string_view number) {
  const std::size_t at = text.find(name);
  if (at != std::string::npos) text.replace(at, name.size(), number);
}

// First set bit at or above `from` (below 64), or -1.
int nextBit(std::uint64_t mask, int from) {
  const std::uint64_t rest = mask >> from;
  return rest == 0 ? -1 : from + __builtin_ctzll(rest);
}

// The calendar's conversions into and out of the search's representation.
CivilTime civilFrom(const std::tm& t) {
  return {std::int64_t{t.tm_year} + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

// Whether a year can be a broken-down time's (counted from 1900 in an int).
constexpr bool fitsTmYear(std::int64_t year) {
  return year - 1900 >= std::numeric_limits<int>::min() &&
         year - 1900 <= std::numeric_limits<int>::max();
}

// Also sets the weekday; the members the search does not use keep their values.
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

}  // namespace

// timegm holds the C library's time-zone lock while it runs.
std::time_t CronSchedule::Calendar::to_time_t(std::tm& t) {
  const std::lock_guard<std::mutex> lock(XInternal::libcMutex());
  return timegm(&t);
}

// What gmtime_r gives, by arithmetic: gmtime_r takes the C library's time-zone lock, which a
// child forked while another thread held it could never take again. Fails, as gmtime_r does,
// when the year does not fit the broken-down time.
bool CronSchedule::Calendar::from_timestamp(std::tm& t, const XTime::Timestamp& ts) {
  if (ts == XTime::Timestamp{}) return false;
  const CivilTime civil = XInternal::civilFromSeconds(ts.seconds);
  if (!fitsTmYear(civil.year)) return false;
  t = std::tm{};
  storeInto(t, civil);
  t.tm_yday = static_cast<int>(daysFromCivil(civil.year, static_cast<unsigned>(civil.month),
                                             static_cast<unsigned>(civil.day)) -
                               daysFromCivil(civil.year, 1, 1));
  t.tm_zone = "GMT";
  return true;
}

CronSchedule::Calendar::Calendar(const XTime::Timestamp& ts)
    : time{}, valid(from_timestamp(time, ts)) {}

bool CronSchedule::Calendar::update() { return to_time_t(time) != -1; }

XTime::Timestamp CronSchedule::Calendar::to_time() {
  if (!valid) return {};
  const std::time_t t = to_time_t(time);
  return {t == -1 ? 0 : static_cast<std::int64_t>(t), 0};
}

bool CronSchedule::Calendar::reset(Field field) {
  switch (field) {
    case second: time.tm_sec = 0; break;
    case minute: time.tm_min = 0; break;
    case hour: time.tm_hour = 0; break;
    case day_of_month: time.tm_mday = 1; break;
    case month: time.tm_mon = 0; break;
    case year: time.tm_year = 0; break;
    case day_of_week: time.tm_wday = 0; break;
  }
  return update();
}

bool CronSchedule::Calendar::set(Field field, int value) {
  switch (field) {
    case second: time.tm_sec = value; break;
    case minute: time.tm_min = value; break;
    case hour: time.tm_hour = value; break;
    case day_of_month: time.tm_mday = value; break;
    case month: time.tm_mon = value; break;
    case year: time.tm_year = value; break;
    case day_of_week: time.tm_wday = value; break;
  }
  return update();
}

bool CronSchedule::Calendar::add(Field field, int value) {
  switch (field) {
    case second: time.tm_sec += value; break;
    case minute: time.tm_min += value; break;
    case hour: time.tm_hour += value; break;
    case day_of_month:
    case day_of_week: time.tm_mday += value; break;  // a day of week is a day
    case month: time.tm_mon += value; break;
    case year: time.tm_year += value; break;
  }
  return update();
}

std::string CronSchedule::Calendar::to_string() const {
  return fmt::format("{:d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", time.tm_year + 1900,
                     time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
}

CronSchedule::CronSchedule() = default;

CronSchedule::CronSchedule(std::string expression, bool log_errors) : m_log_errors(log_errors) {
  init(std::move(expression));
}

CronSchedule::CronSchedule(CronSchedule&& other) noexcept = default;
CronSchedule& CronSchedule::operator=(CronSchedule&& other) noexcept = default;

bool CronSchedule::compare(const CronSchedule& other) const {
  return m_valid && other.m_valid && m_seconds == other.m_seconds && m_minutes == other.m_minutes &&
         m_hours == other.m_hours && m_days_of_week == other.m_days_of_week &&
         m_days_of_month == other.m_days_of_month && m_months == other.m_months;
}

bool CronSchedule::fail(std::string text) {
  m_error = std::move(text);
  return false;
}

void CronSchedule::init(std::string&& text) {
  // A new expression never inherits bits or validity from an earlier one.
  m_valid = false;
  m_expression.clear();
  m_seconds.reset();
  m_minutes.reset();
  m_hours.reset();
  m_days_of_week.reset();
  m_days_of_month.reset();
  m_months.reset();

  if (text.empty()) {
    fail("invalid empty cron expression");
    return;
  }
  if (countPieces(text, ' ') != 6) {
    fail("cron expression must have 6 fields");
    return;
  }
  std::string_view pieces[6];
  std::size_t n = 0;
  forEachPiece(text, ' ', [&](std::string_view piece) { pieces[n++] = piece; });
  const bool parsed = init_cron_field<60>(pieces[0], m_seconds, 0, 59) &&
                      init_cron_field<60>(pieces[1], m_minutes, 0, 59) &&
                      init_cron_field<24>(pieces[2], m_hours, 0, 23) &&
                      init_dom_cron_field(pieces[3], m_days_of_month) &&
                      init_months_cron_field(pieces[4], m_months) &&
                      init_dow_cron_field(pieces[5], m_days_of_week);
  if (!parsed) return;
  // Fixed-time: seconds, minutes and hours are numbers and comma lists only.
  m_fixed_time = true;
  for (int i = 0; i < 3; ++i)
    m_fixed_time =
        m_fixed_time && pieces[i].find_first_not_of("0123456789,") == std::string_view::npos;
  m_expression = std::move(text);
  text.clear();
  m_valid = true;
}

template <std::size_t N>
bool CronSchedule::init_cron_field(std::string_view field, std::bitset<N>& bits,
                                   signed char minimum, signed char maximum) {
  if (field.empty()) return fail("cron expression parsing error");
  bool ok = true;
  forEachPiece(field, ',', [&](std::string_view item) {
    if (!ok) return;
    std::pair<signed char, signed char> range;
    std::int64_t step = 1;
    if (item.find('/') != std::string_view::npos) {
      if (countPieces(item, '/') != 2) {
        ok = fail("cron expression incrementor must have 2 fields");
        return;
      }
      const std::size_t slash = item.find('/');
      const std::string_view first = item.substr(0, slash), stepText = item.substr(slash + 1);
      if (!get_range(first, range, minimum, maximum)) {
        ok = false;
        return;
      }
      if (first.find('-') == std::string_view::npos) range.second = maximum;
      if (!readNumber(stepText, step) || step < 1 || step > 127) {
        ok = fail(fmt::format("invalid incrementor value '{}'", stepText));
        return;
      }
    } else if (!get_range(item, range, minimum, maximum)) {
      ok = false;
      return;
    }
    const std::int64_t f = range.first - minimum, l = range.second - minimum,
                       top = maximum - minimum;
    if (f <= l) {
      for (std::int64_t p = f; p <= l; p += step) bits.set(static_cast<std::size_t>(p));
    } else {  // wraps past the maximum, then starts again at the minimum
      for (std::int64_t p = f; p <= top; p += step) bits.set(static_cast<std::size_t>(p));
      for (std::int64_t p = 0; p <= l; p += step) bits.set(static_cast<std::size_t>(p));
    }
  });
  return ok;
}

template XCOMMON_EXPORT bool CronSchedule::init_cron_field<60>(std::string_view, std::bitset<60>&,
                                                               signed char, signed char);
template XCOMMON_EXPORT bool CronSchedule::init_cron_field<31>(std::string_view, std::bitset<31>&,
                                                               signed char, signed char);
template XCOMMON_EXPORT bool CronSchedule::init_cron_field<24>(std::string_view, std::bitset<24>&,
                                                               signed char, signed char);
template XCOMMON_EXPORT bool CronSchedule::init_cron_field<12>(std::string_view, std::bitset<12>&,
                                                               signed char, signed char);
template XCOMMON_EXPORT bool CronSchedule::init_cron_field<7>(std::string_view, std::bitset<7>&,
                                                              signed char, signed char);

bool CronSchedule::get_range(std::string_view text, std::pair<signed char, signed char>& range,
                             signed char minimum, signed char maximum) {
  std::int64_t first = 0, last = 0;
  if (text == "*") {
    first = minimum;
    last = maximum;
  } else if (text.find('-') != std::string_view::npos) {
    if (countPieces(text, '-') != 2) return fail("range specification requires two fields");
    const std::size_t dash = text.find('-');
    const std::string_view a = text.substr(0, dash), b = text.substr(dash + 1);
    if (!readNumber(a, first)) return fail(fmt::format("invalid value '{}'", a));
    if (!readNumber(b, last)) return fail(fmt::format("invalid value '{}'", b));
  } else {
    if (!readNumber(text, first)) return fail(fmt::format("invalid value '{}'", text));
    last = first;
  }
  if (std::max(first, last) > maximum) return fail("specified range is more than maximum");
  if (std::min(first, last) < minimum) return fail("specified range is less than minumum");
  range = {static_cast<signed char>(first), static_cast<signed char>(last)};
  return true;
}

bool CronSchedule::init_dom_cron_field(std::string_view field, std::bitset<31>& bits) {
  return init_cron_field<31>(normalize_dom_field(field), bits, 1, 31);
}

bool CronSchedule::init_months_cron_field(std::string_view field, std::bitset<12>& bits) {
  return init_cron_field<12>(normalize_months_field(field), bits, 1, 12);
}

bool CronSchedule::init_dow_cron_field(std::string_view field, std::bitset<7>& bits) {
  return init_cron_field<7>(normalize_dow_field(field), bits, 0, 6);
}

std::string CronSchedule::normalize_dom_field(std::string_view field) const {
  return field == "?" ? std::string("*") : std::string(field);
}

std::string CronSchedule::normalize_months_field(std::string_view field) const {
  static constexpr const char* NAMES[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  static constexpr const char* NUMBERS[] = {"1", "2", "3", "4",  "5",  "6",
                                            "7", "8", "9", "10", "11", "12"};
  std::string text = upper(field);
  if (text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos) return text;
  for (int i = 0; i < 12; ++i) replaceFirst(text, NAMES[i], NUMBERS[i]);
  return text;
}

std::string CronSchedule::normalize_dow_field(std::string_view field) const {
  static constexpr const char* NAMES[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
  static constexpr const char* NUMBERS[] = {"0", "1", "2", "3", "4", "5", "6"};
  std::string text = upper(field);
  for (char& c : text) {
    if (c == '7') c = '0';
  }
  if (text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos) {
    for (int i = 0; i < 7; ++i) replaceFirst(text, NAMES[i], NUMBERS[i]);
  }
  if (text == "?") text = "*";
  return text;
}

namespace XInternal {

// One search of a schedule. It walks months, then the days of a month that both day sets
// allow, then hours, minutes and seconds of a day, each from the current value upwards; a field
// with nothing left moves the next higher one and starts the lower ones at their first value.
// Only the move to another month starts a new pass, and only passes count towards the limit.
class CronSearch {
 public:
  // `startYear` counts from 1900, like tm_year.
  CronSearch(CronSchedule& schedule, int startYear)
      : m_schedule(schedule),
        m_lastYear(std::int64_t{startYear} + 1900 + CronSchedule::MAX_YEARS_DIFF),
        m_seconds(schedule.m_seconds.to_ullong()),
        m_minutes(schedule.m_minutes.to_ullong()),
        m_hours(schedule.m_hours.to_ullong()),
        m_daysOfMonth(schedule.m_days_of_month.to_ulong()),
        m_months(static_cast<std::uint32_t>(schedule.m_months.to_ulong())),
        m_daysOfWeek(static_cast<std::uint32_t>(schedule.m_days_of_week.to_ulong())) {}

  // Whether all six sets allow `t`, a valid time.
  bool allows(const CivilTime& t) const {
    const auto bit = [](std::uint64_t set, int at) { return ((set >> at) & 1u) != 0; };
    if (!bit(m_seconds, t.second) || !bit(m_minutes, t.minute) || !bit(m_hours, t.hour) ||
        !bit(m_daysOfMonth, t.day - 1) || !bit(m_months, t.month - 1))
      return false;
    const auto day =
        daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
    return bit(m_daysOfWeek, static_cast<int>(weekday(day)));
  }

  // The earliest allowed time at or after `t`, whose second, minute and hour may each be one
  // past its range. False at a limit, with the schedule's error set and the stop logged; `t`
  // holds the match, or where the search stopped.
  bool run(CivilTime& t) {
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

 private:
  static constexpr std::uint64_t WEEK = 0x7F;  // a bit for each day of a week
  // Bits 0, 7, 14, 21 and 28: a weekday's days in a month that starts on that weekday.
  static constexpr std::uint64_t EVERY_SEVENTH_DAY = 1u | 1u << 7 | 1u << 14 | 1u << 21 | 1u << 28;

  // next() starts one second after the start, which may have been :59.
  static void carry(CivilTime& t) {
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

  static void startOfDay(CivilTime& t) { t.hour = t.minute = t.second = 0; }

  static void nextMonth(CivilTime& t) {
    t.day = 1;
    startOfDay(t);
    if (++t.month > 12) {
      t.month = 1;
      ++t.year;
    }
  }

  // Month and year: to the 1st of the next allowed month, 00:00:00, unless t's is allowed.
  void toAllowedMonth(CivilTime& t) const {
    if (((m_months >> (t.month - 1)) & 1u) != 0) return;
    const int later = nextBit(m_months, t.month);
    if (later < 0) ++t.year;
    t.month = (later >= 0 ? later : nextBit(m_months, 0)) + 1;
    t.day = 1;
    startOfDay(t);
  }

  // The days of t's month that both day sets allow, bit 0 for the 1st.
  std::uint64_t allowedDays(const CivilTime& t) const {
    const auto month = static_cast<unsigned>(t.month);
    const unsigned first = weekday(daysFromCivil(t.year, month, 1));
    const std::uint64_t rotated = ((m_daysOfWeek >> first) | (m_daysOfWeek << (7 - first))) & WEEK;
    const std::uint64_t inMonth = (std::uint64_t{1} << daysInMonth(t.year, month)) - 1;
    return m_daysOfMonth & (rotated * EVERY_SEVENTH_DAY) & inMonth;
  }

  // Day: the earliest allowed day of t's month from t.day on that has an allowed time (from t's
  // time on t.day itself); false when the month has none left.
  bool dayAndTime(CivilTime& t) const {
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

  // Time of day: the earliest allowed time at or after t's; false when the day has none left.
  bool timeOfDay(CivilTime& t) const {
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

  bool stop(const CivilTime& where, const char* error, const char* why, int limit) {
    m_schedule.fail(error);
    CronSchedule::Calendar at(XTime::Timestamp{});  // only its text is wanted
    storeInto(at.time, where);
    m_schedule.logLimit(why, limit, at);
    return false;
  }

  CronSchedule& m_schedule;
  const std::int64_t m_lastYear;
  const std::uint64_t m_seconds, m_minutes, m_hours, m_daysOfMonth;
  const std::uint32_t m_months, m_daysOfWeek;
};

}  // namespace XInternal

namespace {

// The year (from 1900, like tm_year) whose limit a search from `start` counts from: that of the
// start, or, when the start second itself matches, that of the second after it, where the
// search then begins.
int searchYear(const XInternal::CronSearch& search, const CivilTime& start) {
  if (!search.allows(start)) return static_cast<int>(start.year - 1900);
  return static_cast<int>(
      XInternal::civilFromSeconds(XInternal::secondsSinceEpoch(start) + 1).year - 1900);
}

}  // namespace

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
    const int year = searchYear(XInternal::CronSearch(*this, 0), t);
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
  CivilTime t = civilFrom(cal.time);
  const bool found = XInternal::CronSearch(*this, start_year).run(t);
  storeInto(cal.time, t);
  m_recursions = passes;
  return found;
}

// Time zones: loaded once per name with cctz from the system's database and kept for the life
// of the process; a search reads offsets and transitions through the handle, with no lock and
// no allocation.
namespace XInternal {

struct CronZone {
  cctz::time_zone zone;
};

}  // namespace XInternal

namespace {

using Instant = cctz::time_point<cctz::seconds>;

Instant instant(std::int64_t seconds) { return Instant(cctz::seconds(seconds)); }

std::int64_t wallSeconds(const cctz::civil_second& c) {
  return XInternal::secondsSinceEpoch(
      {c.year(), c.month(), c.day(), c.hour(), c.minute(), c.second()});
}

std::int64_t offsetAt(const cctz::time_zone& zone, std::int64_t seconds) {
  return zone.lookup(instant(seconds)).offset;
}

using Stretch = XInternal::CronStretch;

// The stretch that holds `seconds`; its start only when `withStart`.
Stretch stretchAt(const cctz::time_zone& zone, std::int64_t seconds, bool withStart) {
  Stretch s{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
            offsetAt(zone, seconds), 0};
  s.before = s.offset;
  cctz::time_zone::civil_transition change;
  if (zone.next_transition(instant(seconds), &change)) s.end = wallSeconds(change.from) - s.offset;
  if (withStart && zone.prev_transition(instant(seconds + 1), &change)) {
    s.start = wallSeconds(change.to) - s.offset;
    s.before = wallSeconds(change.from) - s.start;
  }
  return s;
}

Stretch following(const cctz::time_zone& zone, const Stretch& s) {
  Stretch next = stretchAt(zone, s.end, false);
  next.start = s.end;
  next.before = s.offset;
  return next;
}

// The remembered stretch that holds `seconds`, or an empty one.
Stretch remembered(const Stretch (&stretches)[2], std::int64_t seconds) {
  for (const Stretch& s : stretches) {
    if (s.start <= seconds && seconds < s.end) return s;
  }
  return {};
}

std::mutex& zoneMutex() {
  static std::mutex* const mutex = [] {
    auto* made = new std::mutex();  // never destroyed, like the zones
    XInternal::guardFork(*made);
    return made;
  }();
  return *mutex;
}

// Components of letters, digits and "_-+", joined by single slashes: no "..", no absolute path.
bool wellFormedZoneName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '/' || name.back() == '/') return false;
  std::size_t component = 0;
  for (const char c : name) {
    if (c == '/') {
      if (component == 0) return false;
      component = 0;
    } else if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' ||
               c == '+') {
      ++component;
    } else {
      return false;
    }
  }
  return true;
}

// A zone file of the database that cctz reads (TZDIR, else /usr/share/zoneinfo).
bool isZoneFile(const std::string& name) {
  const char* dir = std::getenv("TZDIR");
  const std::string path =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + name;
  struct stat st = {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The loaded zone of `name`, or null. Loads run under the fork guard: a child forked meanwhile
// never inherits cctz's own lock held.
const XInternal::CronZone* loadZone(const std::string& name) {
  static auto* const loaded = new std::map<std::string, const XInternal::CronZone*, std::less<>>();
  const std::lock_guard<std::mutex> lock(zoneMutex());
  const auto it = loaded->find(name);
  if (it != loaded->end()) return it->second;
  if (!wellFormedZoneName(name) || !isZoneFile(name)) return nullptr;
  auto zone = std::make_unique<XInternal::CronZone>();
  if (!cctz::load_time_zone(name, &zone->zone)) return nullptr;
  return loaded->emplace(name, zone.release()).first->second;
}

}  // namespace

bool CronSchedule::set_time_zone(const std::string& name) {
  if (name.empty() || name == "UTC") {
    m_zone = nullptr;
    m_time_zone = name;
    return true;
  }
  const XInternal::CronZone* zone = loadZone(name);
  if (zone == nullptr) {
    const std::string_view shown = std::string_view(name).substr(0, 100);
    return fail(
        fmt::format("unknown time zone '{}{}'", shown, shown.size() < name.size() ? "..." : ""));
  }
  m_time_zone = name;
  m_zone = zone;
  m_stretches[0] = m_stretches[1] = {};  // of another zone
  return true;
}

// The search walks the stretches of one offset in order from the start, applying the rules for
// skipped and repeated local times at their edges; the first stretch is mostly one remembered
// from the search before.
bool CronSchedule::nextInZone(std::int64_t start, std::int64_t& result) {
  const cctz::time_zone& zone = m_zone->zone;
  const std::int64_t from = start + 1;
  Stretch s = remembered(m_stretches, from);
  if (s.end == s.start) {
    s = stretchAt(zone, from, true);
    m_stretches[0] = s;
  }
  // The local year of the start, exactly only near a year's end, where it matters.
  CivilTime local = XInternal::civilFromSeconds(start + s.offset);
  if ((local.month == 12 && local.day == 31) || (local.month == 1 && local.day == 1))
    local = XInternal::civilFromSeconds(start + offsetAt(zone, start));
  const int year = searchYear(XInternal::CronSearch(*this, 0), local);
  for (std::int64_t at = from;;) {
    std::int64_t wall = at + s.offset;
    // Fixed-time: local times skipped just before this stretch fire at its start; those it
    // repeats fired in the stretch before.
    const bool afterGap = m_fixed_time && at == s.start && s.before < s.offset;
    if (afterGap) wall = s.start + s.before;
    if (m_fixed_time && s.before > s.offset) wall = std::max(wall, s.start + s.before);
    CivilTime t = XInternal::civilFromSeconds(wall);
    m_recursions = 0;
    if (!XInternal::CronSearch(*this, year).run(t)) return false;
    wall = XInternal::secondsSinceEpoch(t);
    if (afterGap && wall < s.start + s.offset) {
      result = s.start;
      break;
    }
    if (wall - s.offset < s.end) {
      result = wall - s.offset;
      break;
    }
    at = s.end;
    const Stretch known = remembered(m_stretches, at);
    s = known.end != known.start ? known : following(zone, s);
  }
  m_stretches[1] = s;
  return true;
}

// The start as the search saw it: in the schedule's local time.
std::string CronSchedule::startText() const {
  if (m_zone == nullptr) return Calendar(m_start_time).to_string();
  const std::int64_t local = m_start_time.seconds + offsetAt(m_zone->zone, m_start_time.seconds);
  CronSchedule::Calendar at(XTime::Timestamp{});
  storeInto(at.time, XInternal::civilFromSeconds(local));
  return at.to_string();
}

void CronSchedule::logLimit(const char* what, int limit, const Calendar& where) {
  if (!m_log_errors) return;
  XLOG(XLogger::ERROR,
       "CronSchedule::next() stopped due to {} (>{})\n\tcron: {}\n\tstart time: {}\n\tcurrent "
       "time: {}",
       what, limit, m_expression, startText(), where.to_string());
}
