#pragma once

/// @file
/// CronSchedule: six-field schedules with seconds, searched for their next or previous match in
/// UTC or in a time zone, and the runs between two times.

#include <bitset>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

#include "xcommon/xcommon_export.h"
#include "xcommon/xtime.h"

namespace XInternal {
class CronSearch;
struct CronSets;
struct CronZone;  // not for callers: a loaded time zone, kept for the life of the process
// Not for callers: a stretch of time with one UTC offset in a schedule's zone, in seconds.
// Empty (start == end) until looked up.
struct CronStretch {
  std::int64_t start;   // its first second; INT64_MIN when not looked up
  std::int64_t end;     // the first second after it; INT64_MAX when none is known
  std::int64_t offset;  // of local time from UTC
  std::int64_t before;  // the offset before `start` (`offset` when not looked up)
};
}  // namespace XInternal

/// A six-field cron schedule with seconds: "sec min hour day-of-month month day-of-week", in UTC
/// or in a time zone. Parsing never throws or logs: a bad expression leaves an invalid schedule
/// and an error text. The searches change the schedule's search state, so one thread at a time
/// per object.
class XCOMMON_EXPORT CronSchedule {
 public:
  /// A guard on the search's passes; a search that can match within the years limit never
  /// reaches it.
  static const int MAX_RECURSIONS = 50;
  /// A match more than this many years after the start's year (before it, for prev()) is not
  /// returned.
  static const int MAX_YEARS_DIFF = 4;

  /// The firings in (after, until] that runs_between() found. A scheduler back from downtime
  /// runs the job once for them all (at `last`), runs it for each up to the cap (from `first`
  /// on, with next()), or skips them; `capped` says that more were due than it counted.
  struct Runs {
    std::uint32_t count = 0;  ///< firings counted from `first` on, at most the cap
    bool capped = false;      ///< more than `count` firings: counting stopped at the cap
    XTime::Timestamp first;   ///< the earliest; {0, 0} when none or with a cap of 0
    XTime::Timestamp last;    ///< the latest, exact whatever the cap; {0, 0} when none
  };

  /// A broken-down UTC time with timegm/gmtime_r conversions.
  class XCOMMON_EXPORT Calendar {
   public:
    /// A member of the broken-down time, in std::tm's units.
    enum Field : std::uint8_t {
      second,        ///< tm_sec
      minute,        ///< tm_min
      hour,          ///< tm_hour
      day_of_month,  ///< tm_mday, from 1
      month,         ///< tm_mon, from 0
      year,          ///< tm_year, from 1900
      day_of_week    ///< tm_wday, from Sunday = 0; derived from the date
    };

    /// timegm: normalises `t` in place; -1 on failure.
    static std::time_t to_time_t(std::tm& t);
    /// gmtime_r of the seconds; false for {0, 0} or when the time cannot be broken down.
    [[nodiscard]] static bool from_timestamp(std::tm& t, const XTime::Timestamp& ts);

    /// Breaks down the whole seconds of `ts`; `valid` says whether that worked.
    explicit Calendar(const XTime::Timestamp& ts);

    /// Normalises `time` after a change; false when it cannot be converted back.
    [[nodiscard]] bool update();
    XTime::Timestamp to_time();  ///< {0, 0} when invalid or when the time converts to -1
    /// Sets the field to its lowest value and normalises; false as update() is. Field values
    /// above day_of_week change nothing but still normalise, and so does day_of_week itself.
    [[nodiscard]] bool reset(Field field);
    /// Stores `value` in std::tm's units and normalises, so an overflow carries into the
    /// larger fields; false as update() is.
    [[nodiscard]] bool set(Field field, int value);
    /// Adds `value` and normalises; day_of_week adds days. False as update() is.
    [[nodiscard]] bool add(Field field, int value);
    std::string to_string() const;  ///< "YYYY-MM-DD hh:mm:ss"

    std::tm time;  ///< The broken-down time; zeroed when the timestamp could not be broken down.
    bool valid;    ///< Whether the timestamp given to the constructor could be broken down.
  };

  CronSchedule();  ///< invalid, log_errors true
  /// Parses `expression` as init() does; see is_valid(). `log_errors` lets next() and prev() log
  /// an ERROR line when a search stops at a limit (runs_between() logs nothing).
  explicit CronSchedule(std::string expression, bool log_errors = true);
  /// Copies everything, the zone included.
  CronSchedule(const CronSchedule& other) = default;
  CronSchedule(
      CronSchedule&& other) noexcept;  ///< member by member; the source's texts are left empty
  /// Copies everything, the zone included.
  CronSchedule& operator=(const CronSchedule& other) = default;
  /// Member by member, as the move constructor.
  CronSchedule& operator=(CronSchedule&& other) noexcept;
  ~CronSchedule() = default;  ///< The zone, shared by the process, stays loaded.

  /// Both valid and all six sets equal; texts and search state are not compared.
  bool compare(const CronSchedule& other) const;

  /// Parses an expression, starting from empty sets and an invalid schedule. On success the
  /// text is moved into the schedule (the argument is left empty); on failure see get_error().
  void init(std::string&& expression);

  /// The earliest second strictly after the start's whole second that all six sets allow, as
  /// {seconds, 0}. {0, 0} on failure with get_error() set; at the years or depth limit one ERROR
  /// line is logged when log_errors is set. A successful search allocates nothing and takes no
  /// lock.
  ///
  /// In a time zone the sets are read in its local time. A schedule is fixed-time when its
  /// second, minute and hour fields hold only numbers and comma lists, else interval. Local
  /// times that a change to summer time skips: a fixed-time schedule that matches one fires
  /// once, at the first second of the new offset; an interval schedule skips them. Local times
  /// that happen twice: a fixed-time schedule fires at the first only, an interval schedule at
  /// both. The limits count local years.
  XTime::Timestamp next(const XTime::Timestamp& start);

  /// The latest second strictly before the end's whole second that the schedule allows, by the
  /// rules of next(): for every `end`, the largest firing of the chain of next() below it. {0, 0}
  /// on failure with get_error() set, and "maximum years limit reached" when there is none since
  /// the start of the year MAX_YEARS_DIFF years before the end's (local) year; at a limit one
  /// ERROR line is logged when log_errors is set. A successful search allocates nothing and
  /// takes no lock.
  XTime::Timestamp prev(const XTime::Timestamp& end);

  /// The firings in (after, until], for catch-up after downtime: their count, stopping at `cap`,
  /// the first and the last. `last` comes from one prev() and so sees back to MAX_YEARS_DIFF
  /// years before until's year; the count takes one next() a firing (and one more for each gap
  /// between firings longer than the years limit). Nothing found for an empty range or a
  /// refused time (get_error() says which).
  Runs runs_between(const XTime::Timestamp& after, const XTime::Timestamp& until,
                    std::uint32_t cap);

  /// The zone the sets are read in: a name of the system's time-zone database
  /// ("Europe/Berlin"); "" and "UTC" mean UTC. False for an unknown or malformed name (one that
  /// is not a zone file under the database), with get_error() naming it (control characters
  /// escaped, cut after 64 bytes); the schedule keeps the zone it had. A zone is read once per
  /// process, at its first use, into a table of its changes that every schedule in it shares;
  /// copies and moves carry it, and children forked later inherit it.
  [[nodiscard]] bool set_time_zone(const std::string& name);
  const std::string& get_time_zone() const { return m_time_zone; }  ///< "" until set
  /// The folder of the time-zone database that set_time_zone() reads: $TZDIR when set and not
  /// empty, else /usr/share/zoneinfo.
  static std::string time_zone_directory();

  /// True once an expression parsed; init() resets it before parsing.
  [[nodiscard]] bool is_valid() const { return m_valid; }
  const std::string& get_error() const { return m_error; }  ///< the last failure; kept on success
  /// The parsed expression; empty while the schedule is invalid.
  const std::string& get_expression() const { return m_expression; }

  /// The field parsers, public so that a caller can validate a single field. Each returns
  /// false with get_error() set. This one sets in `bits` (offset by `minimum`, without clearing
  /// it) every value of a comma list of "*", "n" or "a-b" items, each optionally followed by
  /// "/step" (1..127); "n/step" runs to `maximum`, and "a-b" with a > b wraps past it.
  template <std::size_t N>
  bool init_cron_field(std::string_view field, std::bitset<N>& bits, signed char minimum,
                       signed char maximum);
  /// Reads "*", "n" or "a-b" within [minimum, maximum] into `range`; false with get_error() set.
  bool get_range(std::string_view text, std::pair<signed char, signed char>& range,
                 signed char minimum, signed char maximum);
  /// Days 1..31, "?" meaning "*"; bit 0 is the 1st. False with get_error() set.
  bool init_dom_cron_field(std::string_view field, std::bitset<31>& bits);
  /// Months 1..12 or JAN..DEC in any case; bit 0 is January. False with get_error() set.
  bool init_months_cron_field(std::string_view field, std::bitset<12>& bits);
  /// Weekdays 0..6 from Sunday, 7 also Sunday, or SUN..SAT in any case, "?" meaning "*"; bit 0
  /// is Sunday. False with get_error() set.
  bool init_dow_cron_field(std::string_view field, std::bitset<7>& bits);
  /// The day-of-month field with "?" replaced by "*".
  std::string normalize_dom_field(std::string_view field) const;
  /// The month field upper-cased, with month names replaced by their numbers.
  std::string normalize_months_field(std::string_view field) const;
  /// The day-of-week field upper-cased, with 7 and day names replaced by numbers from Sunday = 0
  /// and "?" by "*".
  std::string normalize_dow_field(std::string_view field) const;

 private:
  friend class XInternal::CronSearch;  // the searches, private to the library
  friend struct XInternal::CronSets;

  // The whole search from the calendar's time (inclusive), as next() runs it; leaves the match,
  // or where a limit stopped the search, in `cal`. `start_year` counts from 1900, like tm_year.
  bool do_next(Calendar& cal, int start_year);
  XCOMMON_NO_EXPORT bool fail(std::string text);  // stores the text, returns false
  // `search` is "next" or "prev".
  XCOMMON_NO_EXPORT void logLimit(const char* search, const char* what, int limit,
                                  const std::string& where);
  XCOMMON_NO_EXPORT std::string startText() const;  // the start in the schedule's time
  // next(), or with `back` prev().
  XCOMMON_NO_EXPORT XTime::Timestamp search(const XTime::Timestamp& from, bool back);
  // next() and prev() after their checks, in the schedule's zone: the result's seconds, or false.
  XCOMMON_NO_EXPORT bool nextInZone(std::int64_t start, std::int64_t& result);
  XCOMMON_NO_EXPORT bool prevInZone(std::int64_t end, std::int64_t& result);

  bool m_valid = false;
  bool m_log_errors = true;
  std::string m_error;
  std::string m_expression;
  int m_recursions = 0;  // passes of the running search; 0 at rest
  XTime::Timestamp m_start_time;
  std::bitset<60> m_seconds;
  std::bitset<60> m_minutes;
  std::bitset<24> m_hours;
  std::bitset<7> m_days_of_week;    // bit 0 = Sunday
  std::bitset<31> m_days_of_month;  // bit 0 = the 1st
  std::bitset<12> m_months;         // bit 0 = January
  bool m_fixed_time = false;        // seconds, minutes and hours are numbers and lists only
  std::string m_time_zone;
  const XInternal::CronZone* m_zone = nullptr;  // null for UTC
  // Stretches of one UTC offset in the zone, where the last search began and where it ended:
  // chained searches need no look-up in the zone's table.
  XInternal::CronStretch m_stretches[2] = {};
};
