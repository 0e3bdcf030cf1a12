#include "xcommon/cron_schedule.h"

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

#include "internal/civil_date.h"
#include "internal/cron_search.h"
#include "internal/fork_guard.h"
#include "internal/text_scan.h"
#include "xcommon/xlogger.h"

// Defined here, so that the library exports them; the values are in the header.
const int CronSchedule::MAX_RECURSIONS;
const int CronSchedule::MAX_YEARS_DIFF;

namespace {

using XInternal::CivilTime;
using XInternal::countPieces;
using XInternal::daysFromCivil;
using XInternal::fitsTmYear;
using XInternal::forEachPiece;
using XInternal::readNumber;
using XInternal::storeInto;
using XInternal::upper;

void replaceFirst(std::string& text, std::string_view name, std::string_view number) {
  const std::size_t at = text.find(name);
  if (at != std::string::npos) text.replace(at, name.size(), number);
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
  return XInternal::civilText({std::int64_t{time.tm_year} + 1900, time.tm_mon + 1, time.tm_mday,
                               time.tm_hour, time.tm_min, time.tm_sec});
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
  return forEachPiece(field, ',', [&](std::string_view item) {
    std::pair<signed char, signed char> range;
    std::int64_t step = 1;
    if (item.find('/') != std::string_view::npos) {
      if (countPieces(item, '/') != 2)
        return fail("cron expression incrementor must have 2 fields");
      const std::size_t slash = item.find('/');
      const std::string_view first = item.substr(0, slash), stepText = item.substr(slash + 1);
      if (!get_range(first, range, minimum, maximum)) return false;
      if (first.find('-') == std::string_view::npos) range.second = maximum;
      if (!readNumber(stepText, step) || step < 1 || step > 127)
        return fail(fmt::format("invalid incrementor value '{}'", stepText));
    } else if (!get_range(item, range, minimum, maximum)) {
      return false;
    }
    const std::int64_t f = range.first - minimum, l = range.second - minimum,
                       top = maximum - minimum;
    if (f <= l) {
      for (std::int64_t p = f; p <= l; p += step) bits.set(static_cast<std::size_t>(p));
    } else {  // wraps past the maximum, then starts again at the minimum
      for (std::int64_t p = f; p <= top; p += step) bits.set(static_cast<std::size_t>(p));
      for (std::int64_t p = 0; p <= l; p += step) bits.set(static_cast<std::size_t>(p));
    }
    return true;
  });
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

void CronSchedule::logLimit(const char* search, const char* what, int limit,
                            const std::string& where) {
  if (!m_log_errors) return;
  XLOG(XLogger::ERROR,
       "CronSchedule::{}() stopped due to {} (>{})\n\tcron: {}\n\tstart time: {}\n\tcurrent "
       "time: {}",
       search, what, limit, m_expression, startText(), where);
}
