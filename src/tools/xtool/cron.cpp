// xtool cron EXPR [--from TIME] [--count N]: the next matches of a schedule.
#include <string>

#include "tool.h"
#include <xcommon/cron_schedule.h>
#include <xcommon/xtime.h>

namespace xtool {

namespace {

constexpr XCmdLine::Option OPTIONS[] = {{'f', "from", XCmdLine::REQUIRED},
                                        {'n', "count", XCmdLine::REQUIRED},
                                        {0, nullptr, XCmdLine::END}};

int run(Args& args) {
  if (args.operands.size() != 1) return usageError("cron needs one expression");

  std::int64_t from = XTime::now().seconds;
  if (args.has('f') && !parseTime(args.options['f'], from))
    return usageError("--from takes YYYY-MM-DDTHH:MM:SSZ or epoch seconds, not " +
                      quoted(args.options['f']));
  long long count = 5;
  if (args.has('n') && !parseInt(args.options['n'], 0, 1000000, count))
    return usageError("--count takes a number from 0 to 1000000");

  CronSchedule schedule(args.operands[0]);
  if (!schedule.is_valid()) return refuse(clipped(schedule.get_error()));
  XTime::Timestamp at{from, 0};
  for (long long i = 0; i < count; ++i) {
    at = schedule.next(at);
    if (at == XTime::Timestamp{}) return refuse(clipped(schedule.get_error()));
    printLine(utcText(at.seconds));
  }
  return OK;
}

const Registration REGISTRATION({
    .name = "cron",
    .synopsis = "EXPR [--from TIME] [--count N]",
    .summary = "next times a schedule matches",
    .description = "Prints the next N (default 5) times after TIME (default now) that the "
                   "six-field schedule EXPR (sec min hour day-of-month month day-of-week, UTC) "
                   "matches, one a line. TIME is YYYY-MM-DDTHH:MM:SSZ or whole seconds since the "
                   "epoch.",
    .options = OPTIONS,
    .run = run,
});

}  // namespace

}  // namespace xtool
