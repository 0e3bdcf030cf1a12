#include "xcommon/cron_schedule.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "scoped_env.h"
#include "xcommon/xlogger.h"

using XTime::Timestamp;

namespace {

Timestamp utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return {static_cast<std::int64_t>(timegm(&t)), 0};
}

std::string show(const Timestamp& t) {
  if (t == Timestamp{}) return "{0, 0}";
  const auto secs = static_cast<std::time_t>(t.seconds);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

template <std::size_t N>
std::string bits(const std::bitset<N>& b, int minimum) {
  std::string out;
  for (std::size_t i = 0; i < N; ++i)
    if (b[i]) out += (out.empty() ? "" : ",") + std::to_string(static_cast<int>(i) + minimum);
  return out;
}

// Parses one field with the schedule's own parser and lists the values it allows, or the error.
template <std::size_t N>
std::string field(const char* text, signed char minimum, signed char maximum) {
  CronSchedule s;
  std::bitset<N> b;
  return s.init_cron_field<N>(text, b, minimum, maximum) ? bits(b, minimum)
                                                         : "error: " + s.get_error();
}
// The same through one of the named-field parsers, which rewrite the text first.
template <std::size_t N>
std::string named(bool (CronSchedule::*parse)(std::string_view, std::bitset<N>&), const char* text,
                  int minimum) {
  CronSchedule s;
  std::bitset<N> b;
  return (s.*parse)(text, b) ? bits(b, minimum) : "error: " + s.get_error();
}
std::string dow(const char* text) { return named<7>(&CronSchedule::init_dow_cron_field, text, 0); }
std::string month(const char* text) {
  return named<12>(&CronSchedule::init_months_cron_field, text, 1);
}
std::string dom(const char* text) { return named<31>(&CronSchedule::init_dom_cron_field, text, 1); }

std::string parseError(const char* expression) {
  const CronSchedule s(expression);
  return s.is_valid() ? "valid" : s.get_error();
}

}  // namespace

TEST(CronParse, Fields) {
  EXPECT_EQ(field<60>("*/15", 0, 59), "0,15,30,45");
  EXPECT_EQ(field<60>("5/20", 0, 59), "5,25,45");
  EXPECT_EQ(field<60>("30/100", 0, 59), "30");
  EXPECT_EQ(field<24>("22-2", 0, 23), "0,1,2,22,23");
  EXPECT_EQ(field<60>("50-10/7", 0, 59), "0,7,50,57");
  EXPECT_EQ(field<60>("1,3-4,+5,\t6", 0, 59), "1,3,4,5,6");
  EXPECT_EQ(dom("*/10"), "1,11,21,31");
  EXPECT_EQ(dom("?"),
            "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31");
  EXPECT_EQ(month("jan-mar"), "1,2,3");
  EXPECT_EQ(month("Dec,feb"), "2,12");
  EXPECT_EQ(dow("7"), "0");
  EXPECT_EQ(dow("5-7"), "0,5,6");
  EXPECT_EQ(dow("1-7"), "0,1,2,3,4,5,6");
  EXPECT_EQ(dow("0-7"), "0");
  EXPECT_EQ(dow("mon-fri"), "1,2,3,4,5");
  EXPECT_EQ(dow("?"), "0,1,2,3,4,5,6");
}

TEST(CronParse, FieldErrors) {
  EXPECT_EQ(field<60>("*/128", 0, 59), "error: invalid incrementor value '128'");
  EXPECT_EQ(field<60>("*/0", 0, 59), "error: invalid incrementor value '0'");
  EXPECT_EQ(field<60>("*/x", 0, 59), "error: invalid incrementor value 'x'");
  EXPECT_EQ(field<60>("60", 0, 59), "error: specified range is more than maximum");
  EXPECT_EQ(field<60>("300", 0, 59), "error: specified range is more than maximum");
  EXPECT_EQ(field<60>("99999999999999999999", 0, 59),
            "error: invalid value '99999999999999999999'");
  EXPECT_EQ(dom("0"), "error: specified range is less than minumum");
  EXPECT_EQ(field<60>("1,,2", 0, 59), "error: invalid value ''");
  EXPECT_EQ(field<24>("1-2-3", 0, 23), "error: range specification requires two fields");
  EXPECT_EQ(field<60>("1/2/3", 0, 59), "error: cron expression incrementor must have 2 fields");
  EXPECT_EQ(field<60>("-5", 0, 59), "error: invalid value ''");
  EXPECT_EQ(field<60>("5\t", 0, 59), "error: invalid value '5\t'");
  EXPECT_EQ(field<60>("", 0, 59), "error: cron expression parsing error");
  EXPECT_EQ(month("?"), "error: invalid value '?'");
  EXPECT_EQ(month("January"), "error: invalid value '1UARY'");
  EXPECT_EQ(dow("*/7"), "error: invalid incrementor value '0'");
  EXPECT_EQ(dow("MON,MON"), "error: invalid value 'MON'");
  EXPECT_EQ(dow("MONDAY"), "error: invalid value '1DAY'");
  EXPECT_EQ(field<24>("?", 0, 23), "error: invalid value '?'");
}

TEST(CronParse, Expressions) {
  EXPECT_EQ(parseError("0 0 12 * * ?"), "valid");
  EXPECT_TRUE(CronSchedule("0 0 12 * * ?").compare(CronSchedule("0 0 12 1-31 1-12 0-6")));
  EXPECT_TRUE(CronSchedule("0 0 * * * *").compare(CronSchedule("0 0 0-23 * * *")));
  EXPECT_FALSE(CronSchedule("0 0 * * * *").compare(CronSchedule("0 1 * * * *")));
  EXPECT_FALSE(
      CronSchedule("x").compare(CronSchedule("y")));  // invalid schedules never compare equal
  EXPECT_EQ(parseError(""), "invalid empty cron expression");
  EXPECT_EQ(parseError("0  0 12 * * *"), "cron expression must have 6 fields");
  EXPECT_EQ(parseError(" 0 0 12 * * *"), "cron expression must have 6 fields");
  EXPECT_EQ(parseError("0 0 12 * *"), "cron expression must have 6 fields");
  EXPECT_EQ(parseError("0 0 12 * * "), "cron expression parsing error");
  EXPECT_EQ(parseError("0\t0 12 * * * *"), "invalid value '0\t0'");
  const CronSchedule s("*/5 * * * * *");
  EXPECT_EQ(s.get_expression(), "*/5 * * * * *");
  EXPECT_EQ(s.get_error(), "");
}

TEST(CronParse, InitStartsAfreshAndCopiesMove) {
  CronSchedule s("0 0 12 * * *");
  ASSERT_TRUE(s.is_valid());
  s.init("0 30 * * * *");
  EXPECT_TRUE(s.compare(CronSchedule("0 30 * * * *")));  // no bit of the first expression left
  s.init("0 99 * * * *");
  EXPECT_FALSE(s.is_valid());
  EXPECT_EQ(s.get_expression(), "");
  EXPECT_EQ(s.next(utc(2024, 1, 1)), Timestamp{});
  EXPECT_EQ(s.get_error(), "cron expression is not valid");

  CronSchedule a("0 0 12 * * *");
  a.next({});  // leaves an error text
  CronSchedule b(std::move(a));
  EXPECT_EQ(b.get_error(), "invalid current time");
  EXPECT_EQ(b.get_expression(), "0 0 12 * * *");
  EXPECT_EQ(a.get_error(), "");       // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(a.get_expression(), "");  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(a.compare(b));          // the sets were copied
  CronSchedule c;
  c = b;
  EXPECT_EQ(c.get_expression(), b.get_expression());
  std::string text = "1 2 3 4 5 6";
  c.init(std::move(text));
  EXPECT_TRUE(text.empty());
}

TEST(CronNext, KnownSchedules) {
  struct Case {
    const char* expression;
    Timestamp start, expected;
  };
  const Case cases[] = {
      {"0 * * * * *", utc(2024, 3, 1, 12, 0, 10), utc(2024, 3, 1, 12, 1, 0)},
      {"0 0 12 * * *", utc(2024, 6, 1, 12), utc(2024, 6, 2, 12)},
      {"0 0 12 * * *", {utc(2024, 6, 1, 12).seconds, 999000000}, utc(2024, 6, 2, 12)},
      {"* * * * * *", utc(2024, 12, 31, 23, 59, 59), utc(2025, 1, 1)},
      {"0 0 0 1 1 *", utc(2024, 1, 1), utc(2025, 1, 1)},
      {"0 30 9 * * MON-FRI", utc(2024, 3, 1, 10), utc(2024, 3, 4, 9, 30)},
      {"0 0 0 1 * MON", utc(2024, 1, 2), utc(2024, 4, 1)},
      {"0 0 0 13 * FRI", utc(2024, 1, 1), utc(2024, 9, 13)},
      {"0 0 0 31 * *", utc(2024, 4, 1), utc(2024, 5, 31)},
      {"0 0 0 29 2 *", utc(2024, 3, 1), utc(2028, 2, 29)},
      // Earliest allowed times, where the literal pass-by-pass steps went past them.
      {"0,30 5 * * * *", utc(2024, 3, 1, 12, 0, 10), utc(2024, 3, 1, 12, 5, 0)},
      {"30 0 0 25 * MON", utc(2024, 1, 24, 10), utc(2024, 3, 25, 0, 0, 30)},
      {"0 0 12 * 2 *", utc(2024, 1, 30, 10), utc(2024, 2, 1, 12)},
      {"59 59 23 31 12 *", utc(2024, 12, 31, 23, 59, 58), utc(2024, 12, 31, 23, 59, 59)},
      {"0 0 0 * * *", {-86400 * 365, 0}, {-86400 * 364, 0}},
      // The start second matches: the years limit counts from the year after it.
      {"59 59 23 31 12 SUN", utc(2023, 12, 31, 23, 59, 59), utc(2028, 12, 31, 23, 59, 59)},
  };
  for (const auto& c : cases) {
    CronSchedule s(c.expression);
    ASSERT_TRUE(s.is_valid()) << c.expression << ": " << s.get_error();
    EXPECT_EQ(show(s.next(c.start)), show(c.expected)) << c.expression << " from " << show(c.start);
  }
}

TEST(CronNext, LimitsAndFailures) {
  TestSupport::LogCapture capture(XLogger::ERROR);
  struct Case {
    const char* expression;
    Timestamp start;
    const char* error;
  };
  const Case cases[] = {
      {"0 0 0 1 1 MON", utc(2024, 1, 2), "maximum years limit reached"},
      {"0 0 0 30 2 *", utc(2024, 1, 15), "maximum years limit reached"},
      {"0 0 0 31 2,4,6,9,11 *", utc(2024, 1, 1), "maximum years limit reached"},
      {"0 0 0 31 12 SUN", utc(2018, 2, 10), "maximum years limit reached"},
      {"0 0 0 31 12 SUN", utc(2104, 4, 30), "maximum years limit reached"},
      {"0 0 12 * * *", {}, "invalid current time"},
      {"0 0 12 * * *", {0, 5}, "invalid current time"},
      {"* * * * * *",
       {67768036097068800, 0},
       "invalid current time"},  // two years before gmtime_r's last
  };
  for (const auto& c : cases) {
    CronSchedule s(c.expression);
    EXPECT_EQ(s.next(c.start), Timestamp{}) << c.expression;
    EXPECT_EQ(s.get_error(), c.error) << c.expression;
  }
  const std::string log = capture.take();
  EXPECT_NE(log.find("ERROR] CronSchedule::next() stopped due to too large years diff "
                     "(>4)\n\tcron: 0 0 0 1 1 MON\n"
                     "\tstart time: 2024-01-02 00:00:00\n\tcurrent time: 2029-01-01 00:00:00 "
                     "(cron_schedule.cpp:"),
            std::string::npos)
      << log;

  CronSchedule quiet("0 0 0 30 2 *", false);
  EXPECT_EQ(quiet.next(utc(2024, 1, 15)), Timestamp{});
  EXPECT_EQ(quiet.get_error(), "maximum years limit reached");
  EXPECT_EQ(capture.take(), "");  // nothing logged with log_errors off
}

TEST(CronNext, CalendarText) {
  CronSchedule::Calendar cal(utc(2024, 3, 1, 9, 5, 7));
  ASSERT_TRUE(cal.valid);
  EXPECT_EQ(cal.to_string(), "2024-03-01 09:05:07");
  EXPECT_TRUE(cal.add(CronSchedule::Calendar::day_of_week, 1));
  EXPECT_EQ(cal.to_string(), "2024-03-02 09:05:07");
  EXPECT_TRUE(cal.set(CronSchedule::Calendar::month, 1));  // February 2nd
  EXPECT_TRUE(cal.reset(CronSchedule::Calendar::hour));
  EXPECT_EQ(cal.to_string(), "2024-02-02 00:05:07");
  EXPECT_EQ(cal.to_time(), utc(2024, 2, 2, 0, 5, 7));
  EXPECT_FALSE(CronSchedule::Calendar(Timestamp{}).valid);
}

// The broken-down time is made without the C library (whose time-zone lock a forked child may
// find held); it must be what gmtime_r gives, to the year limit of the broken-down time.
TEST(CronNext, CalendarReadsTimesAsGmtimeDoes) {
  std::mt19937_64 random(7);
  std::vector<std::int64_t> times = {1,
                                     -2,
                                     86399,
                                     86400,
                                     -86400,
                                     -86401,
                                     951782400,
                                     4107542399,
                                     -62135596800,
                                     67767976233532799,
                                     67767976233532800,
                                     -67768040609740800,
                                     -67768040609740801};
  for (int i = 0; i < 100000; ++i)
    times.push_back(static_cast<std::int64_t>(random() >> (i % 2 == 0 ? 24 : 4)) *
                    (i % 3 == 0 ? -1 : 1));
  for (const std::int64_t seconds : times) {
    std::tm expected{}, got{};
    const auto t = static_cast<std::time_t>(seconds);
    const bool fits = gmtime_r(&t, &expected) != nullptr;
    ASSERT_EQ(CronSchedule::Calendar::from_timestamp(got, {seconds, 0}), fits) << seconds;
    if (!fits) continue;
    ASSERT_EQ(std::tie(got.tm_year, got.tm_mon, got.tm_mday, got.tm_hour, got.tm_min, got.tm_sec,
                       got.tm_wday, got.tm_yday, got.tm_isdst, got.tm_gmtoff),
              std::tie(expected.tm_year, expected.tm_mon, expected.tm_mday, expected.tm_hour,
                       expected.tm_min, expected.tm_sec, expected.tm_wday, expected.tm_yday,
                       expected.tm_isdst, expected.tm_gmtoff))
        << seconds;
    ASSERT_STREQ(got.tm_zone, expected.tm_zone) << seconds;
  }
}

// Expressions are read in UTC whatever the process's time zone.
TEST(CronNext, IgnoresTheLocalTimeZone) {
  CronSchedule s("0 0 12 * * *");
  CronSchedule w("0 30 9 * * MON-FRI");
  {
    const TestSupport::ScopedEnv tz("TZ", "XYZ-14");  // fourteen hours east of UTC
    EXPECT_EQ(show(s.next(utc(2024, 6, 1, 11, 59, 59))), "2024-06-01 12:00:00");
    EXPECT_EQ(show(w.next(utc(2024, 3, 1, 10))), "2024-03-04 09:30:00");
  }
  const TestSupport::ScopedEnv tz("TZ", "XYZ+11");
  EXPECT_EQ(show(s.next(utc(2024, 6, 1, 12))), "2024-06-02 12:00:00");
}

namespace {

// The six sets of a random expression, as the property test below computes them itself.
struct Oracle {
  std::bitset<60> sec, min;
  std::bitset<24> hour;
  std::bitset<31> dom;
  std::bitset<12> mon;
  std::bitset<7> dow;
};

// A random field over [lo, hi] and the set it stands for, computed here independently.
template <std::size_t N>
std::string randomField(std::mt19937& rng, int lo, int hi, std::bitset<N>& set,
                        const char* const* names) {
  std::string text;
  const int items = 1 + static_cast<int>(rng() % 3);
  std::bitset<N> named;  // a name is replaced once per field only, so each is used once
  auto number = [&](int v) {
    if (names != nullptr && rng() % 3 == 0 && !named[static_cast<std::size_t>(v - lo)]) {
      named.set(static_cast<std::size_t>(v - lo));
      std::string n = names[v - lo];
      if (rng() % 2) n[1] = static_cast<char>(std::tolower(n[1]));
      return n;
    }
    if (names != nullptr && lo == 0 && v == 0 && rng() % 2) return std::string("7");  // Sunday
    return std::to_string(v);
  };
  auto mark = [&](int f, int l, int step) {
    if (f <= l) {
      for (int p = f; p <= l; p += step) set.set(static_cast<std::size_t>(p - lo));
    } else {
      for (int p = f; p <= hi; p += step) set.set(static_cast<std::size_t>(p - lo));
      for (int p = lo; p <= l; p += step) set.set(static_cast<std::size_t>(p - lo));
    }
  };
  for (int i = 0; i < items; ++i) {
    if (i > 0) text += ',';
    const int kind = static_cast<int>(rng() % 6);
    const int a = lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1));
    const int b = lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1));
    // In the day-of-week field every '7' means Sunday, steps included: keep them below 7.
    const int step = 1 + static_cast<int>(rng() % (hi == 6 ? 6 : 20));
    if (kind == 0) {
      text += "*";
      mark(lo, hi, 1);
    } else if (kind == 1) {
      text += number(a);
      mark(a, a, 1);
    } else if (kind == 2) {
      text += number(a) + "-" + number(b);
      mark(a, b, 1);
    } else if (kind == 3) {
      text += number(a) + "-" + number(b) + "/" + std::to_string(step);
      mark(a, b, step);
    } else if (kind == 4) {
      text += "*/" + std::to_string(step);
      mark(lo, hi, step);
    } else {
      text += number(a) + "/" + std::to_string(step);
      mark(a, hi, step);
    }
  }
  return text;
}

const char* const MONTHS[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                              "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
const char* const DAYS[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};

// The first second after `start` that the sets allow, scanning day by day up to the end of
// the year four years after the start's; {0, 0} when there is none.
Timestamp bruteForce(const Oracle& o, std::int64_t start) {
  const auto t0 = static_cast<std::time_t>(start), t1 = t0 + 1;
  std::tm st{}, next{};
  gmtime_r(&t0, &st);
  gmtime_r(&t1, &next);
  // The years limit counts from the start's year, or from the next second's when the start
  // itself matches.
  const bool startMatches =
      o.mon[static_cast<std::size_t>(st.tm_mon)] &&
      o.dom[static_cast<std::size_t>(st.tm_mday - 1)] &&
      o.dow[static_cast<std::size_t>(st.tm_wday)] && o.hour[static_cast<std::size_t>(st.tm_hour)] &&
      o.min[static_cast<std::size_t>(st.tm_min)] && o.sec[static_cast<std::size_t>(st.tm_sec)];
  const int lastYear = (startMatches ? next.tm_year : st.tm_year) + 4;
  std::int64_t dayStart = start - ((start % 86400) + 86400) % 86400;
  for (bool first = true;; first = false, dayStart += 86400) {
    const auto ds = static_cast<std::time_t>(dayStart);
    std::tm d{};
    gmtime_r(&ds, &d);
    if (d.tm_year > lastYear) return {};
    if (!o.mon[static_cast<std::size_t>(d.tm_mon)] ||
        !o.dom[static_cast<std::size_t>(d.tm_mday - 1)] ||
        !o.dow[static_cast<std::size_t>(d.tm_wday)])
      continue;
    for (int s = first ? static_cast<int>(start - dayStart) + 1 : 0; s < 86400; ++s) {
      if (o.hour[static_cast<std::size_t>(s / 3600)] &&
          o.min[static_cast<std::size_t>(s / 60 % 60)] && o.sec[static_cast<std::size_t>(s % 60)])
        return {dayStart + s, 0};
    }
  }
}

// A random expression with seldom days now and then, and its sets in `o`.
std::string randomExpression(std::mt19937& rng, Oracle& o) {
  std::string expr = randomField<60>(rng, 0, 59, o.sec, nullptr) + " " +
                     randomField<60>(rng, 0, 59, o.min, nullptr) + " " +
                     randomField<24>(rng, 0, 23, o.hour, nullptr) + " ";
  const bool rare = rng() % 5 == 0;  // days that come seldom or never: leap days, 31 April
  if (rare) {
    static const char* const DOMS[] = {"29", "30", "31", "30-31", "29,31"};
    static const char* const MONS[] = {"2", "FEB", "2,4", "4,6,9,11", "feb,sep"};
    const char* d = DOMS[rng() % 5];
    const char* m = MONS[rng() % 5];
    expr += std::string(d) + " " + m + " ";
    for (int day : {29, 30, 31})
      if (std::string(d).find(std::to_string(day)) != std::string::npos ||
          (std::string(d) == "30-31" && day == 31))
        o.dom.set(static_cast<std::size_t>(day - 1));
    const std::string months = m;
    if (months.find('2') != std::string::npos || months.find("EB") != std::string::npos ||
        months.find("eb") != std::string::npos)
      o.mon.set(1);
    if (months.find('4') != std::string::npos) o.mon.set(3);
    if (months.find('6') != std::string::npos) o.mon.set(5);
    if (months.find('9') != std::string::npos || months.find("sep") != std::string::npos)
      o.mon.set(8);
    if (months.find("11") != std::string::npos) o.mon.set(10);
  } else {
    if (rng() % 8 == 0) {
      expr += "?";
      o.dom.set();
    } else {
      expr += randomField<31>(rng, 1, 31, o.dom, nullptr);
    }
    expr += " " + randomField<12>(rng, 1, 12, o.mon, MONTHS) + " ";
  }
  if (rng() % 8 == 0) {
    expr += "?";
    o.dow.set();
  } else {
    expr += randomField<7>(rng, 0, 6, o.dow, DAYS);
  }
  return expr;
}

}  // namespace

TEST(CronNext, AgreesWithABruteForceScan) {
  std::mt19937 rng(20240229);
  int found = 0, none = 0;
  for (int round = 0; round < 2000; ++round) {
    Oracle o;
    const std::string expr = randomExpression(rng, o);
    CronSchedule s(expr, false);
    ASSERT_TRUE(s.is_valid()) << expr << ": " << s.get_error();
    // Starts across leap years and year ends, 1999 to 2105.
    std::int64_t start = 915148800 + static_cast<std::int64_t>(rng() % 3345000000u);
    if (rng() % 4 == 0)
      start = utc(2000 + static_cast<int>(rng() % 100), 12, 31, 23, 59, 59).seconds -
              static_cast<std::int64_t>(rng() % 5);
    for (int k = 0; k < 3; ++k) {
      const Timestamp expected = bruteForce(o, start);
      const Timestamp got = s.next({start, static_cast<std::int32_t>(rng() % 1000000000)});
      ASSERT_EQ(show(got), show(expected))
          << expr << " from " << show({start, 0}) << ": " << s.get_error();
      if (expected == Timestamp{}) {
        ++none;
        ASSERT_EQ(s.get_error(), "maximum years limit reached") << expr;
        break;
      }
      ++found;
      start = got.seconds;  // and the match after that one
    }
  }
  RecordProperty("found", found);
  RecordProperty("none", none);
  EXPECT_GT(found, 2000);
  EXPECT_GT(none, 20);
}

namespace {

// The latest second before `end` that the sets allow, scanning back day by day to the start of
// the year four years before the end's; {0, 0} when there is none.
Timestamp bruteForceBack(const Oracle& o, std::int64_t end) {
  const auto e = static_cast<std::time_t>(end);
  std::tm et{};
  gmtime_r(&e, &et);
  const int firstYear = et.tm_year - 4;
  const std::int64_t last = end - 1;
  std::int64_t dayStart = last - ((last % 86400) + 86400) % 86400;
  for (bool first = true;; first = false, dayStart -= 86400) {
    const auto ds = static_cast<std::time_t>(dayStart);
    std::tm d{};
    gmtime_r(&ds, &d);
    if (d.tm_year < firstYear) return {};
    if (!o.mon[static_cast<std::size_t>(d.tm_mon)] ||
        !o.dom[static_cast<std::size_t>(d.tm_mday - 1)] ||
        !o.dow[static_cast<std::size_t>(d.tm_wday)])
      continue;
    for (int s = first ? static_cast<int>(last - dayStart) : 86399; s >= 0; --s) {
      if (o.hour[static_cast<std::size_t>(s / 3600)] &&
          o.min[static_cast<std::size_t>(s / 60 % 60)] && o.sec[static_cast<std::size_t>(s % 60)])
        return {dayStart + s, 0};
    }
  }
}

}  // namespace

TEST(CronPrev, AgreesWithABruteForceScanBackwards) {
  std::mt19937 rng(20240301);
  int found = 0, none = 0;
  for (int round = 0; round < 2000; ++round) {
    Oracle o;
    const std::string expr = randomExpression(rng, o);
    CronSchedule s(expr, false);
    ASSERT_TRUE(s.is_valid()) << expr << ": " << s.get_error();
    // Ends across leap years and year starts, 1999 to 2105.
    std::int64_t end = 915148800 + static_cast<std::int64_t>(rng() % 3345000000u);
    if (rng() % 4 == 0)
      end = utc(2000 + static_cast<int>(rng() % 100), 1, 1).seconds +
            static_cast<std::int64_t>(rng() % 5);
    for (int k = 0; k < 3; ++k) {
      const Timestamp expected = bruteForceBack(o, end);
      const Timestamp got = s.prev({end, static_cast<std::int32_t>(rng() % 1000000000)});
      ASSERT_EQ(show(got), show(expected))
          << expr << " before " << show({end, 0}) << ": " << s.get_error();
      if (expected == Timestamp{}) {
        ++none;
        ASSERT_EQ(s.get_error(), "maximum years limit reached") << expr;
        break;
      }
      ++found;
      end = got.seconds;  // and the match before that one
    }
  }
  RecordProperty("found", found);
  RecordProperty("none", none);
  EXPECT_GT(found, 2000);
  EXPECT_GT(none, 20);
}

TEST(CronPrev, KnownSchedulesLimitsAndFailures) {
  struct Case {
    const char* expression;
    Timestamp end, expected;
  };
  const Case cases[] = {
      // Strictly before the end's whole second.
      {"0 0 12 * * *", {utc(2024, 6, 2, 12).seconds, 999000000}, utc(2024, 6, 1, 12)},
      // The years limit reaches back to 1 January four years before the end's year.
      {"0 0 0 1 1 MON", utc(2022, 12, 31), utc(2018, 1, 1)},
      {"0 0 0 1 1 MON", utc(2023, 1, 1), {}},
      {"0 0 0 30 2 *", utc(2024, 1, 15), {}},
      {"0 0 12 * * *", {}, {}},
      {"0 0 12 * * *", {-1, 0}, {}},
      {"* * * * * *", {-67768040609740800 + 3 * 31556952, 0}, {}},  // near gmtime_r's first year
  };
  TestSupport::LogCapture capture(XLogger::ERROR);
  for (const auto& c : cases) {
    CronSchedule s(c.expression);
    EXPECT_EQ(show(s.prev(c.end)), show(c.expected)) << c.expression << " before " << show(c.end);
    if (c.expected != Timestamp{}) continue;
    EXPECT_EQ(s.get_error(),
              c.end.seconds > 0 ? "maximum years limit reached" : "invalid current time")
        << c.expression;
  }
  const std::string log = capture.take();
  EXPECT_NE(log.find("ERROR] CronSchedule::prev() stopped due to too large years diff "
                     "(>4)\n\tcron: 0 0 0 1 1 MON\n"
                     "\tstart time: 2023-01-01 00:00:00\n\tcurrent time: 2018-01-31 23:59:59 "
                     "(cron_schedule.cpp:"),
            std::string::npos)
      << log;

  CronSchedule quiet("0 0 0 30 2 *", false);
  EXPECT_EQ(quiet.prev(utc(2024, 1, 15)), Timestamp{});
  EXPECT_EQ(capture.take(), "");
  CronSchedule invalid("0 0 0 30 2");
  EXPECT_EQ(invalid.prev(utc(2024, 1, 15)), Timestamp{});
  EXPECT_EQ(invalid.get_error(), "cron expression is not valid");
}

TEST(CronRuns, ADayDownCappedAndNot) {
  CronSchedule every("* * * * * *");
  const Timestamp down = utc(2024, 3, 1, 12), up = utc(2024, 3, 2, 12);
  const Timestamp second{down.seconds + 1, 0};
  const auto all = every.runs_between(down, up, 1000000);
  EXPECT_EQ(std::tie(all.count, all.capped, all.first, all.last),
            std::make_tuple(86400u, false, second, up));
  const auto capped = every.runs_between({down.seconds, 500000000}, {up.seconds, 999}, 100);
  EXPECT_EQ(std::tie(capped.count, capped.capped, capped.first, capped.last),
            std::make_tuple(100u, true, second, up));
  const auto none = every.runs_between(down, up, 0);
  EXPECT_EQ(std::tie(none.count, none.capped, none.first, none.last),
            std::make_tuple(0u, true, Timestamp{}, up));
  EXPECT_EQ(every.runs_between(up, up, 10).last, Timestamp{});  // (up, up] is empty

  // Across the change to summer time in Berlin: 02:30 on 31 March is at 03:00.
  CronSchedule nightly("0 30 2 * * *");
  ASSERT_TRUE(nightly.set_time_zone("Europe/Berlin"));
  const auto spring = nightly.runs_between(utc(2024, 3, 29, 12), utc(2024, 4, 2, 0, 30), 10);
  EXPECT_EQ(std::tie(spring.count, spring.capped, spring.first, spring.last),
            std::make_tuple(4u, false, utc(2024, 3, 30, 1, 30), utc(2024, 4, 2, 0, 30)));
}

TEST(CronRuns, GapsLongerThanTheYearsLimitAndFailures) {
  // 29 February on a Monday: 1988, 2016 and 2044; a next() alone stops four years on, and
  // logs it, but runs_between() does not.
  TestSupport::LogCapture capture(XLogger::ERROR);
  CronSchedule leap("0 0 0 29 2 MON");
  const auto one = leap.runs_between(utc(1989, 1, 1), utc(2019, 1, 1), 10);
  EXPECT_EQ(std::tie(one.count, one.first, one.last),
            std::make_tuple(1u, utc(2016, 2, 29), utc(2016, 2, 29)));
  const auto two = leap.runs_between(utc(1980, 1, 1), utc(2019, 1, 1), 10);
  EXPECT_EQ(std::tie(two.count, two.capped, two.first, two.last),
            std::make_tuple(2u, false, utc(1988, 2, 29), utc(2016, 2, 29)));
  // prev() looks back to 2026 from 2030, so the run of 2016 is not seen.
  EXPECT_EQ(leap.runs_between(utc(2015, 1, 1), utc(2030, 1, 1), 10).last, Timestamp{});
  EXPECT_EQ(capture.take(), "");

  EXPECT_EQ(leap.runs_between({}, utc(2019, 1, 1), 10).count, 0u);
  EXPECT_EQ(leap.get_error(), "invalid current time");
  CronSchedule invalid("x");
  EXPECT_EQ(invalid.runs_between(utc(1980, 1, 1), utc(2019, 1, 1), 10).last, Timestamp{});
  EXPECT_EQ(invalid.get_error(), "cron expression is not valid");
}
