// xtool cron EXPR [--from TIME] [--count N] [--zone ZONE] [--prev] [--missed AFTER]: the next or
// previous matches of a schedule, or the runs it had between two times.
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tool.h"
#include <xcommon/cron_schedule.h>
#include <xcommon/xtime.h>

namespace xtool {

namespace {

constexpr XCmdLine::Option OPTIONS[] = {
    {'f', "from", XCmdLine::REQUIRED},   {'n', "count", XCmdLine::REQUIRED},
    {'z', "zone", XCmdLine::REQUIRED},   {'p', "prev", XCmdLine::NONE},
    {'m', "missed", XCmdLine::REQUIRED}, {0, nullptr, XCmdLine::END}};

// The time an option gives; false after saying what it takes.
bool optionTime(Args& args, char id, const char* name, std::int64_t& seconds, int& status) {
  if (!args.has(id) || parseTime(args.options[id], seconds)) return true;
  status = usageError(std::string(name) +
                      " takes YYYY-MM-DDTHH:MM:SS with Z or an offset (+02:00), or epoch "
                      "seconds, not " +
                      inQuotes(args.options[id]));
  return false;
}

// "N runs" (or "more than N runs" past the cap), then the first and the last when there are any.
int printRuns(CronSchedule& schedule, std::int64_t after, std::int64_t until, long long cap,
              std::string (*text)(std::int64_t)) {
  const CronSchedule::Runs runs =
      schedule.runs_between({after, 0}, {until, 0}, static_cast<std::uint32_t>(cap));
  if (runs.last == XTime::Timestamp{} && !schedule.get_error().empty() &&
      schedule.get_error() != "maximum years limit reached")
    return refuse(clipped(schedule.get_error()));
  printLine((runs.capped ? "more than " : "") + std::to_string(runs.count) + " runs");
  if (runs.first != XTime::Timestamp{}) printLine("first " + text(runs.first.seconds));
  if (runs.last != XTime::Timestamp{}) printLine("last " + text(runs.last.seconds));
  return OK;
}

int run(Args& args) {
  if (args.operands.size() != 1) return usageError("cron needs one expression");
  if (args.has('p') && args.has('m')) return usageError("--prev and --missed exclude each other");

  std::int64_t from = XTime::now().seconds, after = 0;
  int status = OK;
  if (!optionTime(args, 'f', "--from", from, status) ||
      !optionTime(args, 'm', "--missed", after, status))
    return status;
  long long count = 5;
  if (args.has('n') && !parseInt(args.options['n'], 0, 1000000, count))
    return usageError("--count takes a number from 0 to 1000000");

  CronSchedule schedule(args.operands[0]);
  if (!schedule.is_valid()) return refuse(clipped(schedule.get_error()));
  const bool zoned = args.has('z');
  if (zoned) {
    if (!schedule.set_time_zone(args.options['z'])) return refuse(clipped(schedule.get_error()));
    // The printed times: the same database, read by the C library for this one-thread process.
    setenv("TZ", (":" + (args.options['z'].empty() ? "UTC" : args.options['z'])).c_str(), 1);
    tzset();
  }
  std::string (*const text)(std::int64_t) = zoned ? localText : utcText;
  if (args.has('m')) return printRuns(schedule, after, from, count, text);
  XTime::Timestamp at{from, 0};
  for (long long i = 0; i < count; ++i) {
    at = args.has('p') ? schedule.prev(at) : schedule.next(at);
    if (at == XTime::Timestamp{}) return refuse(clipped(schedule.get_error()));
    printLine(text(at.seconds));
  }
  return OK;
}

// The zone names of the system's database, from its tzdata.zi (zones and links).
std::vector<std::string> zoneNames(std::string_view placeholder) {
  std::vector<std::string> names;
  if (placeholder != "ZONE") return names;
  std::ifstream in(CronSchedule::time_zone_directory() + "/tzdata.zi");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Z ", 0) == 0) {
      names.push_back(line.substr(2, line.find(' ', 2) - 2));
    } else if (line.rfind("L ", 0) == 0) {
      const std::size_t to = line.find(' ', 2);
      if (to != std::string::npos) names.push_back(line.substr(to + 1));
    }
  }
  return names;
}

const Registration REGISTRATION({
    .name = "cron",
    .synopsis = "EXPR [--from TIME] [--count N] [--zone ZONE] [--prev] [--missed AFTER]",
    .summary = "next or previous times a schedule matches",
    .description =
        "Prints the next N (default 5) times after TIME (default now) that the six-field "
        "schedule EXPR (sec min hour day-of-month month day-of-week) matches, one a line; "
        "with --prev the N times before TIME, latest first. With --missed it prints how many "
        "runs the schedule had after AFTER up to TIME, \"N runs\" or, past N, \"more than N "
        "runs\", then \"first\" and \"last\" with the times of the first counted and of the "
        "latest, as a scheduler back from downtime asks. A search looks four years ahead or "
        "back at most. The "
        "fields are read in UTC, or in ZONE, a name of the system's time-zone database "
        "(Europe/Berlin), whose times are then printed with their offset "
        "(2024-03-31T03:00:00+02:00). In a zone, a schedule whose seconds, minutes and hours "
        "are plain numbers fires once at the end of a skipped hour that holds a match, and "
        "only the first time of a repeated one; other schedules skip the skipped hour and "
        "fire in both passes of a repeated one. TIME and AFTER are YYYY-MM-DDTHH:MM:SS followed "
        "by Z or an offset, or whole seconds since the epoch.",
    .options = OPTIONS,
    .run = run,
    .values = zoneNames,
});

}  // namespace

}  // namespace xtool
