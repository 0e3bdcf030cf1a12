// A successful cron search allocates nothing: counted through the replaced global operator new
// of the allocation tests' program.
#include <gtest/gtest.h>

#include "alloc_hook.h"
#include "xcommon/cron_schedule.h"

TEST(CronAllocation, SuccessfulSearchesAllocateNothing) {
  const char* expressions[] = {"*/15 * * * * *", "0 30 9 * * MON-FRI", "0 0 0 13 * FRI",
                               "0 0 0 29 2 *",   "0,30 5 * * * *",     "59 59 23 31 12 ?"};
  for (const char* zone : {"", "Europe/Berlin", "Australia/Lord_Howe"}) {
    for (const char* e : expressions) {
      CronSchedule s(e);
      ASSERT_TRUE(s.is_valid());
      ASSERT_TRUE(s.set_time_zone(zone));
      XTime::Timestamp t{1709294410, 0};  // 2024-03-01 12:00:10
      const long before = AllocHook::count();
      for (int i = 0; i < 20; ++i) {  // 10 leap days each way stay within the years limit
        t = i < 10 ? s.next(t) : s.prev(t);
        ASSERT_NE(t.seconds, 0) << e << " in " << zone;
      }
      EXPECT_EQ(AllocHook::count() - before, 0) << e << " in " << zone;
    }
  }
  // The counter does count: a failing search stores an error text.
  CronSchedule never("0 0 0 30 2 *", false);
  const long before = AllocHook::count();
  never.next({1709294410, 0});
  EXPECT_GT(AllocHook::count() - before, 0);
}
