#pragma once

#include <cstdint>
#include <functional>

#include "xcommon/xcommon_export.h"

namespace XTime {

// A point in time or a duration. The all-zero value means "no time": a clock that cannot be
// read yields it and the cron search returns it on failure. Durations stay normalised: the
// nanoseconds lie in (-1e9, 1e9) and share the sign of non-zero seconds.
struct Timestamp {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;

  friend constexpr bool operator==(const Timestamp&, const Timestamp&) = default;
  friend constexpr bool operator<(const Timestamp& a, const Timestamp& b) {
    return a.seconds < b.seconds || (a.seconds == b.seconds && a.nanoseconds < b.nanoseconds);
  }

  // Accumulates a normalised duration; the total is normalised once afterwards.
  constexpr Timestamp& operator+=(const Timestamp& d) {
    constexpr std::int32_t NS = 1000000000;
    seconds += d.seconds;
    nanoseconds += d.nanoseconds;
    if (seconds > 0) {
      if (nanoseconds >= NS) {
        ++seconds;
        nanoseconds -= NS;
      } else if (nanoseconds < 0) {
        --seconds;
        nanoseconds += NS;
      }
    } else if (seconds < 0) {
      if (nanoseconds <= -NS) {
        --seconds;
        nanoseconds += NS;
      } else if (nanoseconds > 0) {
        ++seconds;
        nanoseconds -= NS;
      }
    } else if (nanoseconds >= NS) {
      seconds = 1;
      nanoseconds -= NS;
    } else if (nanoseconds <= -NS) {
      seconds = -1;
      nanoseconds += NS;
    }
    return *this;
  }
};

// a - b, normalised so that the nanoseconds carry the sign of the seconds.
constexpr Timestamp operator-(const Timestamp& a, const Timestamp& b) {
  constexpr std::int32_t NS = 1000000000;
  Timestamp r{a.seconds - b.seconds, a.nanoseconds - b.nanoseconds};
  if (r.seconds >= 0 && r.nanoseconds < 0) {
    --r.seconds;
    r.nanoseconds += NS;
  }
  if (r.seconds < 0 && r.nanoseconds > 0) {
    ++r.seconds;
    r.nanoseconds -= NS;
  }
  return r;
}

// Wall clock (gettimeofday): nanoseconds are always a multiple of 1000; {0, 0} on failure.
XCOMMON_EXPORT Timestamp now();

// Raw monotonic clock; only differences of two readings mean anything. {0, 0} on failure.
XCOMMON_EXPORT Timestamp monotonicClock();

// Accumulating stopwatch over the raw monotonic clock. One thread at a time per object.
class XCOMMON_EXPORT Timer {
 public:
  Timer();  // starts at once

  void start();         // new mark, total reset to zero
  Timestamp suspend();  // counts the time since the mark, moves the mark, returns the total
  void resume();        // moves the mark without counting: time since the mark is dropped
  Timestamp stop();     // counts the time since the mark and returns the total; the mark stays,
                        // so a second stop() counts the same span again

 private:
  Timestamp m_mark;
  Timestamp m_total;
};

// Measures its own lifetime and hands the elapsed time to the callback on destruction. With an
// empty callback the destructor reads no clock at all.
class XCOMMON_EXPORT ScopedTimer {
 public:
  using Callback = std::function<void(const Timestamp&)>;

  explicit ScopedTimer(Callback callback);
  ~ScopedTimer();

  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;

 private:
  Timer m_timer;
  Callback m_callback;
};

}  // namespace XTime
