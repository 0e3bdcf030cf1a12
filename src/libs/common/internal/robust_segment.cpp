#include "internal/robust_segment.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "xcommon/xutils/ids.h"

namespace XInternal {

namespace {

// How long a writer waits on readers before it asks whether they have died.
constexpr long REAP_INTERVAL_NS = 10'000'000;

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr,
                 FUTEX_BITSET_MATCH_ANY);
}

timespec monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec reapDeadline() {
  timespec t = monotonicNow();
  t.tv_nsec += REAP_INTERVAL_NS;
  if (t.tv_nsec >= 1'000'000'000) {
    t.tv_nsec -= 1'000'000'000;
    ++t.tv_sec;
  }
  return t;
}

bool passed(const timespec& deadline) {
  const timespec now = monotonicNow();
  return now.tv_sec != deadline.tv_sec ? now.tv_sec > deadline.tv_sec
                                       : now.tv_nsec >= deadline.tv_nsec;
}

int initRobust(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const int rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

// Bitmap words, rounded up to whole cache lines so registrations never write the header's.
std::size_t bitmapBytes(std::uint32_t maxThreads) {
  return ((maxThreads + 63) / 64 * sizeof(std::uint64_t) + 63) / 64 * 64;
}

// After EOWNERDEAD on a slot's mutex, now held by the caller: the dead thread's read hold, if
// it had one, is released and counted.
void reclaim(RobustHeader& h, RobustSlot& slot) {
  if (slot.active.exchange(0) != 0) h.deadHolders.fetch_add(1);
  slot.tid.store(0, std::memory_order_relaxed);
  pthread_mutex_consistent(&slot.alive);
}

// Takes a slot's mutex unless a live thread has it, releasing a dead thread's hold first.
bool takeSlot(RobustHeader& h, RobustSlot& slot) {
  const int rc = pthread_mutex_trylock(&slot.alive);
  if (rc == EOWNERDEAD) reclaim(h, slot);
  return rc == 0 || rc == EOWNERDEAD;
}

// After EOWNERDEAD on the writer's mutex: a writer that died holding the lock leaves it
// inconsistent; one that died waiting for readers had written nothing.
void recoverWriter(RobustHeader& h) {
  if (h.writerState.load() == WRITER_HOLDS) {
    h.consistent.store(0);
    h.deadHolders.fetch_add(1);
  }
  h.writerState.store(NO_WRITER);
  pthread_mutex_consistent(&h.writer);
}

}  // namespace

std::size_t RobustSegment::bytes(std::uint32_t maxThreads) {
  return sizeof(RobustHeader) + bitmapBytes(maxThreads) + sizeof(RobustSlot) * maxThreads;
}

int RobustSegment::create(void* base, std::uint32_t maxThreads) {
  auto* const bytes = static_cast<unsigned char*>(base);
  m_maxThreads = maxThreads;
  m_usedWords = (maxThreads + 63) / 64;
  m_header = new (bytes) RobustHeader();
  m_used = new (bytes + sizeof(RobustHeader)) std::atomic<std::uint64_t>[m_usedWords]();
  m_slots = reinterpret_cast<RobustSlot*>(bytes + sizeof(RobustHeader) + bitmapBytes(maxThreads));
  int rc = initRobust(&m_header->writer);
  for (std::uint32_t i = 0; i < maxThreads && rc == 0; ++i)
    rc = initRobust(&(new (&m_slots[i]) RobustSlot())->alive);
  m_header->consistent.store(1);
  return rc;
}

void RobustSegment::markUsed(const RobustSlot& slot, bool used) {
  const auto index = static_cast<std::uint32_t>(&slot - m_slots);
  const std::uint64_t bit = std::uint64_t{1} << (index % 64);
  if (used) {
    m_used[index / 64].fetch_or(bit);
  } else {
    m_used[index / 64].fetch_and(~bit);
  }
}

// Calls `visit` on every registered slot; stops at, and returns, the first false.
template <typename Visit>
bool RobustSegment::forEachUsed(Visit visit) {
  for (std::uint32_t w = 0; w < m_usedWords; ++w) {
    for (std::uint64_t bits = m_used[w].load(); bits != 0; bits &= bits - 1) {
      if (!visit(m_slots[w * 64 + static_cast<std::uint32_t>(__builtin_ctzll(bits))])) return false;
    }
  }
  return true;
}

RobustSlot* RobustSegment::claim() {
  for (std::uint32_t i = 0; i < m_maxThreads; ++i) {
    RobustSlot& slot = m_slots[i];
    if (!takeSlot(*m_header, slot)) continue;
    slot.tid.store(static_cast<std::int32_t>(XUtils::get_tid()), std::memory_order_relaxed);
    // Marked before the slot is first active, so a writer that misses it sees no read either.
    markUsed(slot, true);
    return &slot;
  }
  return nullptr;
}

void RobustSegment::release(RobustSlot& slot) {
  slot.tid.store(0, std::memory_order_relaxed);
  markUsed(slot, false);
  pthread_mutex_unlock(&slot.alive);
}

// Frees the slot when its thread has died; false while it lives.
bool RobustSegment::reapIfDead(RobustSlot& slot) {
  if (!takeSlot(*m_header, slot)) return false;
  release(slot);  // taken cleanly: its thread left, letting go of its hold
  return true;
}

void RobustSegment::reapDead(const RobustSlot* own) {
  forEachUsed([&](RobustSlot& slot) {
    if (&slot != own && slot.active.load() != 0) reapIfDead(slot);
    return true;
  });
}

// Waits run to a deadline that signals do not move; at each deadline every slot still active is
// asked whether its thread died, so any number of dead readers cost one interval.
bool RobustSegment::waitOutReaders(const RobustSlot* own, bool wait) {
  timespec deadline{};  // set at the first wait: an uncontended writer reads no clock
  return forEachUsed([&](RobustSlot& slot) {
    if (&slot == own) return true;
    while (slot.active.load() != 0) {
      if (!wait) {
        if (!reapIfDead(slot)) return false;
        continue;
      }
      if (deadline.tv_sec == 0) deadline = reapDeadline();
      futex(slot.active, FUTEX_WAIT_BITSET, 1, &deadline);
      if (!passed(deadline)) continue;
      reapDead(own);
      deadline = reapDeadline();
    }
    return true;
  });
}

// No full fence: a writer that misses this store at its check finds it in the futex call, or at
// the latest at its wait's deadline.
void releaseRead(RobustHeader& h, RobustSlot& slot) {
  slot.active.store(0, std::memory_order_release);
  if (h.writerState.load(std::memory_order_relaxed) != NO_WRITER) wakeWriter(slot);
}

int releaseWrite(RobustHeader& h) {
  h.writerState.store(NO_WRITER, std::memory_order_release);
  return pthread_mutex_unlock(&h.writer);
}

int takeWriter(RobustHeader& h, bool wait) {
  const int rc = wait ? pthread_mutex_lock(&h.writer) : pthread_mutex_trylock(&h.writer);
  if (rc != EOWNERDEAD) return rc;
  recoverWriter(h);
  return 0;
}

int passWriter(RobustHeader& h, bool wait) {
  const int rc = takeWriter(h, wait);
  return rc != 0 ? rc : pthread_mutex_unlock(&h.writer);
}

void wakeWriter(RobustSlot& slot) { futex(slot.active, FUTEX_WAKE, 1, nullptr); }

}  // namespace XInternal
