// A loaded module's use of libxcommon: the cached ids (thread-locals), coding and a schedule.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "xcommon/cron_schedule.h"
#include "xcommon/xutils/encoding.h"
#include "xcommon/xutils/ids.h"

extern "C" __attribute__((visibility("default"))) int x_plugin_run() {
  if (XUtils::get_pid() != getpid()) return 1;
  if (XUtils::get_tid() != static_cast<std::uint64_t>(syscall(SYS_gettid))) return 2;
  if (XUtils::base64Encode("ab", 2) != "YWI=") return 3;
  CronSchedule daily("0 0 12 * * *");
  if (daily.next({1709647629, 0}).seconds != 1709726400) return 4;  // 2024-03-06 12:00:00 UTC
  return 0;
}
