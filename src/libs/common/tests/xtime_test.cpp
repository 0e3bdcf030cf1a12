#include "xcommon/xtime.h"

#include <gtest/gtest.h>

#include "fake_clock.h"

using XTime::Timestamp;

namespace {

constexpr std::int64_t MS = 1000000;

class Timers : public ::testing::Test {
 protected:
  void SetUp() override { FakeClock::setMonotonic({100, 0}); }
  void TearDown() override { FakeClock::clearMonotonic(); }
};

}  // namespace

TEST(TimestampArithmetic, DifferenceBorrowsTowardsTheSignOfTheSeconds) {
  EXPECT_EQ((Timestamp{5, 0} - Timestamp{3, 1}), (Timestamp{1, 999999999}));
  EXPECT_EQ((Timestamp{3, 1} - Timestamp{5, 0}), (Timestamp{-1, -999999999}));
  EXPECT_EQ((Timestamp{0, 0} - Timestamp{0, 1}), (Timestamp{0, -1}));
  EXPECT_EQ((Timestamp{7, 500} - Timestamp{7, 500}), (Timestamp{0, 0}));
}

TEST(TimestampArithmetic, AccumulationStaysNormalised) {
  Timestamp total;
  for (int i = 0; i < 4; ++i) total += Timestamp{0, 600 * MS};
  EXPECT_EQ(total, (Timestamp{2, 400 * MS}));

  // Many sub-second pieces while the seconds are still zero.
  Timestamp many;
  for (int i = 0; i < 1000; ++i) {
    many += Timestamp{0, 999999999};
    ASSERT_GT(many.nanoseconds, -1000000000);
    ASSERT_LT(many.nanoseconds, 1000000000);
    ASSERT_GE(many.nanoseconds, 0);
  }
  EXPECT_EQ(many, (Timestamp{999, 1000000000 - 1000}));

  Timestamp negative;
  for (int i = 0; i < 3; ++i) negative += Timestamp{0, -700 * MS};
  EXPECT_EQ(negative, (Timestamp{-2, -100 * MS}));

  Timestamp mixed{2, 100 * MS};
  mixed += Timestamp{-1, -300 * MS};
  EXPECT_EQ(mixed, (Timestamp{0, 800 * MS}));
}

// Run under UBSan: no signed overflow anywhere, the results saturate.
TEST(TimestampArithmetic, SaturatesAtTheLimits) {
  constexpr Timestamp MAX{INT64_MAX, 999999999}, MIN{INT64_MIN, -999999999};
  EXPECT_EQ((Timestamp{INT64_MAX, 0} - Timestamp{INT64_MIN, 0}), MAX);
  EXPECT_EQ((Timestamp{INT64_MIN, 0} - Timestamp{INT64_MAX, 0}), MIN);
  Timestamp total = MAX;
  total += Timestamp{0, 1};
  EXPECT_EQ(total, MAX);
  total = MIN;
  total += Timestamp{-1, 0};
  EXPECT_EQ(total, MIN);
  // Nanoseconds far out of range carry whole seconds rather than overflow.
  EXPECT_EQ((Timestamp{0, INT32_MAX} - Timestamp{0, INT32_MIN}), (Timestamp{4, 294967295}));
  total = Timestamp{0, INT32_MAX};
  total += Timestamp{0, INT32_MAX};
  EXPECT_EQ(total, (Timestamp{4, 294967294}));
}

TEST(TimestampArithmetic, Ordering) {
  EXPECT_LT((Timestamp{1, 5}), (Timestamp{1, 6}));
  EXPECT_LT((Timestamp{1, 999}), (Timestamp{2, 0}));
  EXPECT_FALSE((Timestamp{2, 0}) < (Timestamp{2, 0}));
  EXPECT_NE((Timestamp{2, 0}), (Timestamp{2, 1}));
}

TEST(Clocks, MonotonicClockNeverGoesBack) {
  Timestamp last = XTime::monotonicClock();
  for (int i = 0; i < 1000; ++i) {
    const Timestamp t = XTime::monotonicClock();
    ASSERT_FALSE(t < last);
    last = t;
  }
}

TEST_F(Timers, CountsOnlyRunningIntervals) {
  XTime::Timer timer;
  for (int i = 0; i < 4; ++i) {
    FakeClock::advanceMonotonic(600 * MS);
    timer.suspend();
    FakeClock::advanceMonotonic(5000 * MS);  // paused: not counted
    timer.resume();
  }
  EXPECT_EQ(timer.stop(), (Timestamp{2, 400 * MS}));
}

TEST_F(Timers, MarkMovesOnResumeAndSuspendButNotOnStop) {
  XTime::Timer timer;
  FakeClock::advanceMonotonic(300 * MS);
  timer.resume();  // without suspend: the 0.3 s are dropped
  FakeClock::advanceMonotonic(200 * MS);
  EXPECT_EQ(timer.suspend(), (Timestamp{0, 200 * MS}));
  FakeClock::advanceMonotonic(100 * MS);
  EXPECT_EQ(timer.suspend(),
            (Timestamp{0, 300 * MS}));  // second suspend adds the time since the first
  FakeClock::advanceMonotonic(400 * MS);
  EXPECT_EQ(timer.stop(), (Timestamp{0, 700 * MS}));
  EXPECT_EQ(timer.stop(), (Timestamp{1, 100 * MS}));  // the same 0.4 s once more
  timer.start();
  FakeClock::advanceMonotonic(50 * MS);
  EXPECT_EQ(timer.stop(), (Timestamp{0, 50 * MS}));
}

TEST_F(Timers, ScopedTimerReportsItsLifetime) {
  Timestamp seen{-1, -1};
  {
    XTime::ScopedTimer scoped([&seen](const Timestamp& elapsed) { seen = elapsed; });
    FakeClock::advanceMonotonic(1500 * MS);
  }
  EXPECT_EQ(seen, (Timestamp{1, 500 * MS}));
}

TEST_F(Timers, ScopedTimerWithoutCallbackReadsNoClockWhenDestroyed) {
  auto* scoped = new XTime::ScopedTimer(nullptr);
  const int readsAfterStart = FakeClock::monotonicReads();
  delete scoped;
  EXPECT_EQ(FakeClock::monotonicReads(), readsAfterStart);
}
