#include "fake_clock.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

namespace {
std::mutex g_mutex;
bool g_wallOn = false, g_monoOn = false;
FakeClock::Reading g_wall{}, g_mono{};
int g_monoReads = 0;

// The clocks are read under g_mutex by logging threads: a child forked meanwhile must not
// inherit it held.
const int g_forkSafe =
    pthread_atfork([] { g_mutex.lock(); }, [] { g_mutex.unlock(); }, [] { g_mutex.unlock(); });
}  // namespace

namespace FakeClock {

void setWall(Reading r) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_wall = r;
  g_wallOn = true;
}
void clearWall() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_wallOn = false;
}
void setMonotonic(Reading r) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mono = r;
  g_monoOn = true;
  g_monoReads = 0;
}
void advanceMonotonic(std::int64_t nanoseconds) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mono.fraction += nanoseconds;
  g_mono.seconds += g_mono.fraction / 1000000000;
  g_mono.fraction %= 1000000000;
}
void clearMonotonic() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_monoOn = false;
}
int monotonicReads() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_monoReads;
}

}  // namespace FakeClock

extern "C" [[gnu::visibility("default")]] int gettimeofday(struct timeval* __restrict tv,
                                                           void* __restrict tz) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_wallOn) {
      tv->tv_sec = static_cast<time_t>(g_wall.seconds);
      tv->tv_usec = static_cast<suseconds_t>(g_wall.fraction);
      return 0;
    }
  }
  return static_cast<int>(syscall(SYS_gettimeofday, tv, tz));
}

extern "C" [[gnu::visibility("default")]] int clock_gettime(clockid_t id, struct timespec* ts) {
  if (id == CLOCK_MONOTONIC_RAW) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_monoOn) {
      ++g_monoReads;
      ts->tv_sec = static_cast<time_t>(g_mono.seconds);
      ts->tv_nsec = static_cast<long>(g_mono.fraction);
      return 0;
    }
  }
  return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
}
