#include "xcommon/xtime.h"

#include <sys/time.h>
#include <time.h>

#include <utility>

namespace XTime {

Timestamp now() {
  timeval tv{};
  if (gettimeofday(&tv, nullptr) != 0) return {};
  return {static_cast<std::int64_t>(tv.tv_sec), static_cast<std::int32_t>(tv.tv_usec * 1000)};
}

Timestamp monotonicClock() {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC_RAW, &ts) != 0) return {};
  return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int32_t>(ts.tv_nsec)};
}

Timer::Timer() { start(); }

void Timer::start() {
  m_mark = monotonicClock();
  m_total = {};
}

Timestamp Timer::suspend() {
  const Timestamp t = monotonicClock();
  m_total += t - m_mark;
  m_mark = t;
  return m_total;
}

void Timer::resume() { m_mark = monotonicClock(); }

Timestamp Timer::stop() {
  m_total += monotonicClock() - m_mark;
  return m_total;
}

ScopedTimer::ScopedTimer(Callback callback) : m_callback(std::move(callback)) {}

ScopedTimer::~ScopedTimer() {
  if (!m_callback) return;
  m_callback(m_timer.stop());
}

}  // namespace XTime
