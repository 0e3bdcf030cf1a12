#pragma once

#include <atomic>
#include <cstdint>

// The test program interposes gettimeofday and clock_gettime(CLOCK_MONOTONIC_RAW), so that the
// library's clock readings can be pinned. While a fake is off, the real clocks answer.
namespace FakeClock {

struct Reading {
  std::int64_t seconds;
  std::int64_t fraction;  // microseconds for the wall clock, nanoseconds for the monotonic one
};

void setWall(Reading r);  // every gettimeofday() returns r until clearWall()
void clearWall();

void setMonotonic(Reading r);  // every CLOCK_MONOTONIC_RAW reading returns r until cleared
void advanceMonotonic(std::int64_t nanoseconds);
void clearMonotonic();
int monotonicReads();  // readings taken while the monotonic fake was on

}  // namespace FakeClock
