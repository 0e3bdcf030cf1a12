#pragma once

// The robust lock's shared segment and the protocol on it, apart from any thread's bookkeeping.
// In the segment: a header (the writer's robust mutex, the state readers test, the consistency
// flag, the count of dead holders), a bitmap of the registered slots, and a slot of one cache
// line per reader thread (its "active" word, on which a writer waits with a futex, and a robust
// mutex that the thread keeps locked while it is registered, so that the kernel reports its
// death). A read is "active = 1, then check the writer state"; a writer takes its mutex, raises
// the state, then waits until every registered slot is inactive, and at each deadline of that
// wait asks the mutexes of all slots still active whether their threads have died.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace XInternal {

// The writer state; readers keep out while it is not NO_WRITER.
constexpr std::uint32_t NO_WRITER = 0, WRITER_WAITS = 1, WRITER_HOLDS = 2;

struct alignas(64) RobustHeader {
  pthread_mutex_t writer;                  // robust: held by the writer for its whole hold
  std::atomic<std::uint32_t> writerState;  // NO_WRITER, WRITER_WAITS, WRITER_HOLDS
  std::atomic<std::uint32_t> consistent;
  std::atomic<std::uint64_t> deadHolders;
};

struct alignas(64) RobustSlot {
  std::atomic<std::uint32_t> active;  // futex word: 1 while its thread reads or tries to
  std::atomic<std::int32_t> tid;      // who has it, for a debugger
  pthread_mutex_t alive;              // robust: locked by its thread while registered
};

static_assert(sizeof(RobustHeader) == 64 && sizeof(RobustSlot) == 64 &&
                  std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free,
              "slots are cache lines; atomics in shared memory must be lock-free");

// A lock's segment as this process maps it.
class RobustSegment {
 public:
  static std::size_t bytes(std::uint32_t maxThreads);
  // Lays out a new segment at `base`, of bytes(maxThreads); 0 or the error of
  // pthread_mutex_init.
  int create(void* base, std::uint32_t maxThreads);

  RobustHeader& header() const { return *m_header; }
  std::uint32_t maxThreads() const { return m_maxThreads; }

  // A free slot, or a dead thread's, now held by the calling thread; null when all are taken.
  RobustSlot* claim();
  // The calling thread's slot let go of, after its hold.
  void release(RobustSlot& slot);
  // A writer's wait until no registered reader but `own` is active. Without `wait`, false as
  // soon as a live reader is found.
  bool waitOutReaders(const RobustSlot* own, bool wait);

 private:
  void markUsed(const RobustSlot& slot, bool used);
  bool reapIfDead(RobustSlot& slot);
  void reapDead(const RobustSlot* own);
  template <typename Visit>
  bool forEachUsed(Visit visit);

  RobustHeader* m_header = nullptr;
  std::atomic<std::uint64_t>* m_used = nullptr;  // a bit per slot whose mutex a thread holds
  RobustSlot* m_slots = nullptr;
  std::uint32_t m_maxThreads = 0;
  std::uint32_t m_usedWords = 0;
};

// A read hold let go of.
void releaseRead(RobustHeader& h, RobustSlot& slot);
// The writer's hold (or its attempt) let go of; 0 or the error of the unlock.
int releaseWrite(RobustHeader& h);
// The writer's mutex, recovered when its holder died; 0 or the error.
int takeWriter(RobustHeader& h, bool wait);
// A reader's way past a raised writer state: waiting through the writer's mutex, which reports
// a dead writer, or without `wait` only releasing a dead writer's state; 0, EBUSY while a live
// writer has the mutex, or the error.
int passWriter(RobustHeader& h, bool wait);
// Wakes a writer that may wait on the slot.
void wakeWriter(RobustSlot& slot);

}  // namespace XInternal
