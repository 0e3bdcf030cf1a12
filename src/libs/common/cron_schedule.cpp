#include "xcommon/cron_schedule.h"

#include <limits>

#include <fmt/format.h>

#include "internal/civil_date.h"
#include "internal/text_scan.h"
#include "xcommon/xlogger.h"

const int CronSchedule::MAX_RECURSIONS = 50;
const int CronSchedule::MAX_YEARS_DIFF = 4;

namespace {

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

}  // namespace

// ---- Calendar

std::time_t CronSchedule::Calendar::to_time_t(std::tm& t) { return timegm(&t); }

bool CronSchedule::Calendar::from_timestamp(std::tm& t, const XTime::Timestamp& ts) {
  if (ts == XTime::Timestamp{}) return false;
  const auto seconds = static_cast<std::time_t>(ts.seconds);
  return gmtime_r(&seconds, &t) != nullptr;
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

// ---- construction

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

// ---- parsing

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

// ---- search

XTime::Timestamp CronSchedule::next(const XTime::Timestamp& start) {
  if (!m_valid) {
    fail("cron expression is not valid");
    return {};
  }
  Calendar cal(start);
  // seconds of 0 and -1 are what timegm cannot tell from failure: refused as a start.
  // Also refused: a start so far ahead that the years limit would overflow the calendar's year.
  if (!cal.valid || start.seconds == 0 || start.seconds == -1 ||
      cal.time.tm_year > std::numeric_limits<int>::max() - MAX_YEARS_DIFF - 1) {
    fail("invalid current time");
    return {};
  }
  m_recursions = 0;
  m_start_time = start;
  const int startYear = cal.time.tm_year;
  // The search is inclusive: begin one second after the start's whole second.
  ++cal.time.tm_sec;
  if (!do_next(cal, startYear)) {
    m_recursions = 0;
    return {};
  }
  m_recursions = 0;
  const std::int64_t days = daysFromCivil(std::int64_t{cal.time.tm_year} + 1900,
                                          static_cast<unsigned>(cal.time.tm_mon + 1),
                                          static_cast<unsigned>(cal.time.tm_mday));
  const std::int64_t t =
      days * 86400 + cal.time.tm_hour * 3600 + cal.time.tm_min * 60 + cal.time.tm_sec;
  if (t == 0) {
    fail("failed to find next match");
    return {};
  }
  return {t, 0};
}

// The search walks months, then the days of a month that both day sets allow, then hours,
// minutes and seconds of a day, each from the current value upwards; a field with nothing
// left moves the next higher one and starts the lower ones at their first value. It works on
// plain integers (no timegm per step), and only the move to another month starts a new pass.
bool CronSchedule::do_next(Calendar& cal, int start_year) {
  std::int64_t y = std::int64_t{cal.time.tm_year} + 1900;
  int m = cal.time.tm_mon + 1, d = cal.time.tm_mday;
  int hh = cal.time.tm_hour, mm = cal.time.tm_min, ss = cal.time.tm_sec;
  if (ss == 60) {  // next() starts one second after the start, which may have been :59
    ss = 0;
    ++mm;
  }
  if (mm == 60) {
    mm = 0;
    ++hh;
  }
  if (hh == 24) {
    hh = 0;
    ++d;
  }

  const std::uint64_t secMask = m_seconds.to_ullong(), minMask = m_minutes.to_ullong(),
                      hourMask = m_hours.to_ullong();
  const auto monMask = static_cast<std::uint32_t>(m_months.to_ulong());
  const auto domMask = static_cast<std::uint64_t>(m_days_of_month.to_ulong());
  const auto dowMask = static_cast<std::uint32_t>(m_days_of_week.to_ulong());

  auto store = [&](bool ok) {
    cal.time.tm_year = static_cast<int>(y - 1900);
    cal.time.tm_mon = m - 1;
    cal.time.tm_mday = d;
    cal.time.tm_hour = hh;
    cal.time.tm_min = mm;
    cal.time.tm_sec = ss;
    cal.time.tm_wday = static_cast<int>(
        weekday(daysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d))));
    return ok;
  };
  // The earliest allowed time of the day at or after hh:mm:ss, if any.
  auto timeInDay = [&]() {
    for (;;) {
      const int h = nextBit(hourMask, hh);
      if (h < 0) return false;
      if (h != hh) {
        hh = h;
        mm = ss = 0;
      }
      const int mi = nextBit(minMask, mm);
      if (mi < 0) {
        if (++hh > 23) return false;
        mm = ss = 0;
        continue;
      }
      if (mi != mm) {
        mm = mi;
        ss = 0;
      }
      const int s = nextBit(secMask, ss);
      if (s < 0) {
        ss = 0;
        if (++mm > 59) {
          mm = 0;
          if (++hh > 23) return false;
        }
        continue;
      }
      ss = s;
      return true;
    }
  };

  for (;;) {
    if (++m_recursions > MAX_RECURSIONS) {
      fail("too many recursions");
      store(false);
      logLimit("too many recursions", MAX_RECURSIONS, cal);
      return false;
    }
    if (((monMask >> (m - 1)) & 1u) == 0) {  // move to the next allowed month, day 1, 00:00:00
      const int later = nextBit(monMask, m);
      m = later >= 0 ? later + 1 : nextBit(monMask, 0) + 1;
      if (later < 0) ++y;
      d = 1;
      hh = mm = ss = 0;
    }
    if (y - 1900 - start_year > MAX_YEARS_DIFF) {
      fail("maximum years limit reached");
      store(false);
      logLimit("too large years diff", MAX_YEARS_DIFF, cal);
      return false;
    }
    // Days of this month that both day sets allow: the weekday pattern starts at the 1st's.
    const std::int64_t first = daysFromCivil(y, static_cast<unsigned>(m), 1);
    const unsigned w1 = weekday(first);
    const std::uint64_t rotated = ((dowMask >> w1) | (dowMask << (7 - w1))) & 0x7Fu;
    const std::uint64_t byWeekday = rotated * (1u | 1u << 7 | 1u << 14 | 1u << 21 | 1u << 28);
    const std::uint64_t allowed =
        domMask & byWeekday & ((std::uint64_t{1} << daysInMonth(y, static_cast<unsigned>(m))) - 1);
    while (d <= 31) {
      const int day = nextBit(allowed, d - 1);
      if (day < 0) break;
      if (day + 1 != d) {
        d = day + 1;
        hh = mm = ss = 0;
      }
      if (timeInDay()) return store(true);
      ++d;
      hh = mm = ss = 0;
    }
    // Nothing left in this month.
    d = 1;
    hh = mm = ss = 0;
    if (++m > 12) {
      m = 1;
      ++y;
    }
  }
}

void CronSchedule::logLimit(const char* what, int limit, const Calendar& where) {
  if (!m_log_errors) return;
  XLOG(XLogger::ERROR,
       "CronSchedule::next() stopped due to {} (>{})\n\tcron: {}\n\tstart time: {}\n\tcurrent "
       "time: {}",
       what, limit, m_expression, Calendar(m_start_time).to_string(), where.to_string());
}
