#pragma once

/// @file
/// Timestamp, a saturating seconds-and-nanoseconds value, with the wall and monotonic clocks
/// and stopwatches over them.

#include <cstdint>
#include <functional>

#include "xcommon/xcommon_export.h"

/// Time points, durations, clocks and stopwatches, all as Timestamp values.
namespace XTime {

/// A point in time or a duration. The all-zero value means "no time": a clock that cannot be
/// read yields it and the cron search returns it on failure. Durations stay normalised: the
/// nanoseconds lie in (-1e9, 1e9) and share the sign of non-zero seconds. The arithmetic never
/// overflows: a result beyond the range saturates at {INT64_MAX, 999999999} or
/// {INT64_MIN, -999999999}.
struct Timestamp {
  std::int64_t seconds = 0;      ///< Whole seconds; since the epoch for a point in time.
  std::int32_t nanoseconds = 0;  ///< The fraction, with the sign of non-zero seconds.

  /// Member by member, so only normalised values compare equal when they mean the same.
  friend constexpr bool operator==(const Timestamp&, const Timestamp&) = default;
  /// Orders by seconds, then nanoseconds: chronological for normalised values.
  friend constexpr bool operator<(const Timestamp& a, const Timestamp& b) {
    return a.seconds < b.seconds || (a.seconds == b.seconds && a.nanoseconds < b.nanoseconds);
  }

  /// Accumulates a normalised duration; the total is normalised once afterwards.
  constexpr Timestamp& operator+=(const Timestamp& d);
};

}  // namespace XTime

namespace XInternal {

__extension__ using WideSeconds = __int128;

// The operators' result from seconds and nanoseconds computed without overflow: nanoseconds
// beyond 32 bits (from operands out of range) carry whole seconds first, then seconds beyond
// 64 bits saturate.
constexpr XTime::Timestamp saturate(WideSeconds seconds, std::int64_t nanoseconds) {
  constexpr std::int64_t NS = 1000000000;
  if (nanoseconds > INT32_MAX || nanoseconds < INT32_MIN) {
    seconds += nanoseconds / NS;
    nanoseconds %= NS;
  }
  if (seconds > INT64_MAX) return {INT64_MAX, NS - 1};
  if (seconds < INT64_MIN) return {INT64_MIN, -(NS - 1)};
  return {static_cast<std::int64_t>(seconds), static_cast<std::int32_t>(nanoseconds)};
}

}  // namespace XInternal

namespace XTime {

constexpr Timestamp& Timestamp::operator+=(const Timestamp& d) {
  constexpr std::int64_t NS = 1000000000;
  XInternal::WideSeconds s = XInternal::WideSeconds{seconds} + d.seconds;
  std::int64_t ns = std::int64_t{nanoseconds} + d.nanoseconds;
  if (s > 0) {
    if (ns >= NS) {
      ++s;
      ns -= NS;
    } else if (ns < 0) {
      --s;
      ns += NS;
    }
  } else if (s < 0) {
    if (ns <= -NS) {
      --s;
      ns += NS;
    } else if (ns > 0) {
      ++s;
      ns -= NS;
    }
  } else if (ns >= NS) {
    s = 1;
    ns -= NS;
  } else if (ns <= -NS) {
    s = -1;
    ns += NS;
  }
  return *this = XInternal::saturate(s, ns);
}

/// a - b, normalised so that the nanoseconds carry the sign of the seconds; saturates.
constexpr Timestamp operator-(const Timestamp& a, const Timestamp& b) {
  constexpr std::int64_t NS = 1000000000;
  XInternal::WideSeconds s = XInternal::WideSeconds{a.seconds} - b.seconds;
  std::int64_t ns = std::int64_t{a.nanoseconds} - b.nanoseconds;
  if (s >= 0 && ns < 0) {
    --s;
    ns += NS;
  }
  if (s < 0 && ns > 0) {
    ++s;
    ns -= NS;
  }
  return XInternal::saturate(s, ns);
}

/// Wall clock (gettimeofday): nanoseconds are always a multiple of 1000; {0, 0} on failure.
XCOMMON_EXPORT Timestamp now();

/// Raw monotonic clock; only differences of two readings mean anything. {0, 0} on failure.
XCOMMON_EXPORT Timestamp monotonicClock();

/// Accumulating stopwatch over the raw monotonic clock. One thread at a time per object.
class XCOMMON_EXPORT Timer {
 public:
  Timer();  ///< starts at once

  void start();         ///< new mark, total reset to zero
  Timestamp suspend();  ///< counts the time since the mark, moves the mark, returns the total
  void resume();        ///< moves the mark without counting: time since the mark is dropped
  /// Counts the time since the mark and returns the total; the mark stays, so a second stop()
  /// counts the same span again.
  Timestamp stop();

 private:
  Timestamp m_mark;
  Timestamp m_total;
};

/// Measures its own lifetime and hands the elapsed time to the callback on destruction. With an
/// empty callback the destructor reads no clock at all.
class XCOMMON_EXPORT ScopedTimer {
 public:
  /// Receives the elapsed time; runs in the destructor, so it should not throw.
  using Callback = std::function<void(const Timestamp&)>;

  /// Starts timing now; the callback is kept until destruction.
  explicit ScopedTimer(Callback callback);
  ~ScopedTimer();  ///< Calls a non-empty callback with the time since construction.

  ScopedTimer(const ScopedTimer&) = delete;             ///< Times one scope only.
  ScopedTimer& operator=(const ScopedTimer&) = delete;  ///< Times one scope only.

 private:
  Timer m_timer;
  Callback m_callback;
};

}  // namespace XTime
