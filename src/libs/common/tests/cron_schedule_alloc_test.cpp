// A successful cron search allocates nothing: counted through a replaced global operator new,
// which is why this test is a program of its own.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "xcommon/cron_schedule.h"

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST(CronAllocation, SuccessfulSearchesAllocateNothing) {
  const char* expressions[] = {"*/15 * * * * *", "0 30 9 * * MON-FRI", "0 0 0 13 * FRI",
                               "0 0 0 29 2 *",   "0,30 5 * * * *",     "59 59 23 31 12 ?"};
  for (const char* e : expressions) {
    CronSchedule s(e);
    ASSERT_TRUE(s.is_valid());
    XTime::Timestamp t{1709294410, 0};  // 2024-03-01 12:00:10
    const long before = g_allocations.load();
    for (int i = 0; i < 10; ++i) {  // 10 leap days from 2024 stay within the years limit
      t = s.next(t);
      ASSERT_NE(t.seconds, 0) << e;
    }
    EXPECT_EQ(g_allocations.load() - before, 0) << e;
  }
  // The counter does count: a failing search stores an error text.
  CronSchedule never("0 0 0 30 2 *", false);
  const long before = g_allocations.load();
  never.next({1709294410, 0});
  EXPECT_GT(g_allocations.load() - before, 0);
}
