#pragma once

/// @file
/// Not for callers: the per-statement state behind XLOG_EVERY_N and XLOG_EVERY of
/// <xcommon/xlogger.h>.

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "xcommon/xcommon_export.h"
#include "xcommon/xutils/ids.h"

// Each word holds the id of the process that wrote it above COUNT_BITS bits of count or time,
// so a child forked at any moment sees a foreign id and starts afresh. Every step is one atomic
// operation and takes no lock; the state is constant-initialised, so a statement's first call
// pays for nothing more than its others.
namespace XInternal {

constexpr int COUNT_BITS = 42;  // pids stay below 2^22
constexpr std::uint64_t COUNT_MASK = (std::uint64_t{1} << COUNT_BITS) - 1;
constexpr std::uint64_t LIMIT_MAX = std::uint64_t{1} << 32;

// XLOG_EVERY_N's count of calls, taken in 1..2^32.
template <typename N>
constexpr std::uint64_t everyCount(N n) {
  return n < 1                                       ? 1
         : static_cast<std::uint64_t>(n) > LIMIT_MAX ? LIMIT_MAX
                                                     : static_cast<std::uint64_t>(n);
}

// XLOG_EVERY's interval in whole milliseconds, rounded up, in 0..2^32.
template <typename Rep, typename Period>
constexpr std::uint64_t intervalMillis(std::chrono::duration<Rep, Period> interval) {
  const auto millis = std::chrono::ceil<std::chrono::milliseconds>(interval).count();
  return millis < 1                                       ? 0
         : static_cast<std::uint64_t>(millis) > LIMIT_MAX ? LIMIT_MAX
                                                          : static_cast<std::uint64_t>(millis);
}

// The calls of one XLOG_EVERY_N statement in this process.
class XCOMMON_EXPORT EveryN {
 public:
  // Whether this call is the 1st, (n+1)th, (2n+1)th ... of the statement in this process.
  bool pass(std::uint64_t n) noexcept {
    const auto pid = static_cast<std::uint64_t>(XUtils::get_pid());
    for (;;) {
      const std::uint64_t old = m_word.fetch_add(1, std::memory_order_relaxed);
      if ((old >> COUNT_BITS) != pid) {
        if (restart(pid)) return true;
        continue;  // another thread of this process restarted the count: count this call there
      }
      const std::uint64_t count = old & COUNT_MASK;
      if (count % n != 0) return false;
      // Long before the count reaches the id bits, the one caller in a stretch of n past
      // REBASE_AT takes its multiple of n off again.
      if (count - REBASE_AT < n) m_word.fetch_sub(count, std::memory_order_relaxed);
      return true;
    }
  }

 private:
  static constexpr std::uint64_t REBASE_AT = std::uint64_t{1} << 40;
  // After a count of another process (or none): true when this call became the first of ours.
  bool restart(std::uint64_t pid) noexcept;

  std::atomic<std::uint64_t> m_word{0};
};

// The gate of one XLOG_EVERY statement: when it opens next, and the calls it kept out since.
class XCOMMON_EXPORT EveryInterval {
 public:
  // 0 when this call is suppressed; else 1 plus the calls suppressed since the last line.
  std::uint64_t pass(std::uint64_t intervalMillis) noexcept {
    const auto pid = static_cast<std::uint64_t>(XUtils::get_pid());
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);  // no system call, a few ns
    const auto millis = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                        static_cast<std::uint64_t>(now.tv_nsec / 1000000);
    std::uint64_t gate = m_gate.load(std::memory_order_relaxed);
    for (;;) {
      if ((gate >> COUNT_BITS) == pid && millis < (gate & COUNT_MASK)) {
        if ((m_kept.fetch_add(1, std::memory_order_relaxed) >> COUNT_BITS) != pid) restart(pid);
        return 0;
      }
      const std::uint64_t next = (pid << COUNT_BITS) | ((millis + intervalMillis) & COUNT_MASK);
      if (m_gate.compare_exchange_weak(gate, next, std::memory_order_relaxed)) {
        const std::uint64_t kept = m_kept.exchange(pid << COUNT_BITS, std::memory_order_relaxed);
        return 1 + ((kept >> COUNT_BITS) == pid ? kept & COUNT_MASK : 0);
      }
    }
  }

 private:
  // A suppressed call that found another process's count: it starts ours.
  void restart(std::uint64_t pid) noexcept;

  std::atomic<std::uint64_t> m_gate{0};  // the process and the millisecond it opens again
  std::atomic<std::uint64_t> m_kept{0};  // the process and the calls suppressed since
};

}  // namespace XInternal
