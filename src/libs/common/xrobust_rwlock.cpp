#include "xcommon/xrobust_rwlock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <memory>
#include <mutex>
#include <new>

#include <fmt/format.h>

#include "internal/failure_word.h"
#include "internal/fork_guard.h"
#include "xcommon/xsharedmem.h"
#include "xcommon/xutils/ids.h"
#include "xcommon/xutils/text.h"

// The robust lock. In the segment: a header (the writer's robust mutex, the flag readers test,
// the consistency flag, the count of dead holders) and a slot of one cache line per reader
// thread (its "active" word, on which a writer waits with a futex, and a robust mutex that the
// thread keeps locked while it is registered, so that the kernel reports its death). A read is
// "active = 1, then check the writer flag"; a writer takes its mutex, raises the flag, then
// waits until every registered slot is inactive, and on each timeout of that wait asks the
// slot's mutex whether its thread has died.
namespace {

constexpr std::uint32_t NO_WRITER = 0, WRITER_WAITS = 1, WRITER_HOLDS = 2;

struct alignas(64) RobustHeader {
  pthread_mutex_t writer;                  // robust: held by the writer for its whole hold
  std::atomic<std::uint32_t> writing;      // a writer holds the lock or is taking it
  std::atomic<std::uint32_t> writerState;  // NO_WRITER, WRITER_WAITS, WRITER_HOLDS
  std::atomic<std::uint32_t> consistent;
  std::atomic<std::uint32_t> slotsUsed;  // every claimed slot lies below
  std::atomic<std::uint64_t> deadHolders;
};

struct alignas(64) RobustSlot {
  std::atomic<std::uint32_t> active;  // futex word: 1 while its thread reads or tries to
  std::atomic<std::int32_t> tid;      // who has it, for a debugger
  pthread_mutex_t alive;              // robust: locked by its thread while registered
};

static_assert(sizeof(RobustSlot) == 64 && std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free,
              "slots are cache lines; atomics in shared memory must be lock-free");

// How long a writer waits on a reader before it asks whether the reader has died.
constexpr long REAP_INTERVAL_NS = 10'000'000;

// Bumped in every forked child: registrations of an earlier generation belong to threads of
// the parent.
std::atomic<std::uint32_t> g_generation{0};

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr,
                 0);
}

void wake(std::atomic<std::uint32_t>& word) { futex(word, FUTEX_WAKE, 1, nullptr); }

int initRobust(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const int rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

// Held while registrations are made and let go and while a lock's process side is freed, never
// on a lock operation's fast path.
std::mutex& registryMutex() {
  static std::mutex* const mutex = [] {
    auto* made = new std::mutex();  // never destroyed: threads may end after static destruction
    XInternal::guardFork(*made);
    pthread_atfork(nullptr, nullptr, [] { g_generation.fetch_add(1, std::memory_order_relaxed); });
    return made;
  }();
  return *mutex;
}

enum class Hold : std::uint8_t { NONE, READ, WRITE };

}  // namespace

namespace XInternal {

struct RobustLockState {
  std::unique_ptr<XSharedMem> memory;
  RobustHeader* header = nullptr;
  RobustSlot* slots = nullptr;
  std::uint32_t maxThreads = 0;
  // Under the registry mutex: the lock object while it lives, and the threads of this process
  // registered in `generation`. The last to leave frees this and unmaps the segment, which no
  // thread's robust list may still reach.
  bool objectAlive = true;
  int users = 1;
  std::uint32_t generation = 0;
};

}  // namespace XInternal

namespace {

using XInternal::RobustLockState;

// A thread's use of one lock.
struct Registration {
  RobustLockState* lock;  // null once let go
  std::uint32_t generation;
  RobustSlot* slot = nullptr;  // claimed at the first read
  Hold hold = Hold::NONE;
};

// The users count as seen from this process's generation: a forked child starts with the
// lock object alone.
void refresh(RobustLockState& lock) {
  const std::uint32_t generation = g_generation.load(std::memory_order_relaxed);
  if (lock.generation == generation) return;
  lock.generation = generation;
  lock.users = lock.objectAlive ? 1 : 0;
}

void dropUser(RobustLockState* lock, bool object) {
  bool last = false;
  {
    const std::lock_guard<std::mutex> guard(registryMutex());
    refresh(*lock);
    if (object) lock->objectAlive = false;
    last = --lock->users == 0;
  }
  if (last) delete lock;
}

// A read hold let go of. No full fence: a writer that misses this store at its check finds it
// in the futex call, or at the latest after its wait's interval.
void releaseRead(RobustHeader& h, RobustSlot& slot) {
  slot.active.store(0, std::memory_order_release);
  if (h.writing.load(std::memory_order_relaxed) != 0) wake(slot.active);
}

// The writer's hold (or its attempt) let go of; 0 or the error of the unlock.
int releaseWrite(RobustHeader& h) {
  h.writerState.store(NO_WRITER);
  h.writing.store(0, std::memory_order_seq_cst);
  return pthread_mutex_unlock(&h.writer);
}

// A hold and a slot let go of by a thread that ends (or destroys the lock) holding them: a
// writer's data may be half written, so its end makes the lock inconsistent.
void leave(Registration& r) {
  RobustHeader& h = *r.lock->header;
  if (r.hold != Hold::NONE) h.deadHolders.fetch_add(1);
  if (r.hold == Hold::READ) {
    releaseRead(h, *r.slot);
  } else if (r.hold == Hold::WRITE) {
    h.consistent.store(0);
    releaseWrite(h);
  }
  r.hold = Hold::NONE;
  if (r.slot != nullptr) {
    r.slot->tid.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&r.slot->alive);
    r.slot = nullptr;
  }
  RobustLockState* const lock = r.lock;
  r.lock = nullptr;
  dropUser(lock, false);
}

// The calling thread's registrations; a thread that ends lets go of them.
struct ThreadRegistrations {
  std::deque<Registration> list;
  ThreadRegistrations() = default;
  ThreadRegistrations(const ThreadRegistrations&) = delete;
  ThreadRegistrations& operator=(const ThreadRegistrations&) = delete;
  ~ThreadRegistrations();
};

thread_local ThreadRegistrations t_registrations;
thread_local Registration* t_last = nullptr;  // the one used last: the fast path's lookup

ThreadRegistrations::~ThreadRegistrations() {
  t_last = nullptr;
  const std::uint32_t generation = g_generation.load(std::memory_order_relaxed);
  for (Registration& r : list) {
    if (r.lock != nullptr && r.generation == generation) leave(r);
  }
}

// The calling thread's registration with `lock` in this process generation; made when `create`.
Registration* find(RobustLockState* lock, bool create) {
  const std::uint32_t generation = g_generation.load(std::memory_order_relaxed);
  Registration* r = t_last;
  if (r != nullptr && r->lock == lock && r->generation == generation) return r;
  for (Registration& e : t_registrations.list) {
    if (e.lock == lock && e.generation == generation) return t_last = &e;
  }
  if (!create) return nullptr;
  t_registrations.list.push_back({lock, generation});
  {
    const std::lock_guard<std::mutex> guard(registryMutex());
    refresh(*lock);
    ++lock->users;
  }
  return t_last = &t_registrations.list.back();
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

// Releases the slot when its thread has died; false while it lives.
bool reapIfDead(RobustHeader& h, RobustSlot& slot) {
  if (!takeSlot(h, slot)) return false;
  pthread_mutex_unlock(&slot.alive);  // taken cleanly: its thread left, letting go of its hold
  return true;
}

// A free slot (or a dead thread's) for the calling thread; false when all are taken.
bool claimSlot(RobustLockState& lock, Registration& r) {
  for (std::uint32_t i = 0; i < lock.maxThreads; ++i) {
    RobustSlot& slot = lock.slots[i];
    if (!takeSlot(*lock.header, slot)) continue;
    slot.tid.store(static_cast<std::int32_t>(XUtils::get_tid()), std::memory_order_relaxed);
    // Raised before the slot is first active, so a writer that misses it sees no read either.
    std::uint32_t used = lock.header->slotsUsed.load();
    while (used < i + 1 && !lock.header->slotsUsed.compare_exchange_weak(used, i + 1)) {}
    r.slot = &slot;
    return true;
  }
  return false;
}

// After EOWNERDEAD on the writer's mutex: a writer that died holding the lock leaves it
// inconsistent; one that died waiting for readers had written nothing.
void recoverWriter(RobustHeader& h) {
  if (h.writerState.load() == WRITER_HOLDS) {
    h.consistent.store(0);
    h.deadHolders.fetch_add(1);
  }
  h.writerState.store(NO_WRITER);
  h.writing.store(0, std::memory_order_seq_cst);
  pthread_mutex_consistent(&h.writer);
}

// The writer's mutex, recovered when its holder died; 0 or the error.
int takeWriter(RobustHeader& h, bool wait) {
  const int rc = wait ? pthread_mutex_lock(&h.writer) : pthread_mutex_trylock(&h.writer);
  if (rc != EOWNERDEAD) return rc;
  recoverWriter(h);
  return 0;
}

// A reader's wait for the writer to finish: through the writer's mutex, which reports its death.
int waitOutWriter(RobustHeader& h) {
  const int rc = takeWriter(h, true);
  return rc != 0 ? rc : pthread_mutex_unlock(&h.writer);
}

// A writer's wait until no registered reader but `own` is active. Without `wait`, false as soon
// as a live reader is found.
bool waitOutReaders(RobustLockState& lock, const RobustSlot* own, bool wait) {
  RobustHeader& h = *lock.header;
  const std::uint32_t used = h.slotsUsed.load(std::memory_order_seq_cst);
  for (std::uint32_t i = 0; i < used; ++i) {
    RobustSlot& slot = lock.slots[i];
    if (&slot == own) continue;
    while (slot.active.load(std::memory_order_seq_cst) != 0) {
      if (!wait) {
        if (!reapIfDead(h, slot)) return false;
        continue;
      }
      const timespec interval{0, REAP_INTERVAL_NS};
      if (futex(slot.active, FUTEX_WAIT, 1, &interval) == -1 && errno == ETIMEDOUT)
        reapIfDead(h, slot);
    }
  }
  return true;
}

// Failures of the robust lock, by code; the first five name the operation.
enum RobustCall : std::uint32_t {
  R_NONE,
  R_LOCK_FOR_READ,
  R_TRY_LOCK_FOR_READ,
  R_LOCK_FOR_WRITE,
  R_TRY_LOCK_FOR_WRITE,
  R_UNLOCK,
  R_HELD,
  R_NOT_HELD,
  R_TABLE_FULL,
  R_NOT_WRITER
};

constexpr const char* ROBUST_CALLS[] = {
    "", "lock_for_read", "try_lock_for_read", "lock_for_write", "try_lock_for_write", "unlock"};

}  // namespace

XRobustSharedReadWriteLock::XRobustSharedReadWriteLock(const char* name, unsigned max_threads) {
  if (max_threads == 0) {
    m_setupError = "max_threads must be at least 1";
    return;
  }
  const unsigned long size = sizeof(RobustHeader) + sizeof(RobustSlot) * max_threads;
  auto memory = std::make_unique<XSharedMem>(name, size);
  if (!memory->is_valid()) {
    m_setupError = memory->error();
    return;
  }
  auto* header = new (memory->address()) RobustHeader();
  auto* slots = reinterpret_cast<RobustSlot*>(header + 1);
  int rc = initRobust(&header->writer);
  for (unsigned i = 0; i < max_threads && rc == 0; ++i)
    rc = initRobust(&(new (&slots[i]) RobustSlot())->alive);
  if (rc != 0) {
    m_setupError = XUtils::strerror(rc, "pthread_mutex_init");
    return;
  }
  header->consistent.store(1);
  auto state = std::make_unique<RobustLockState>();
  state->memory = std::move(memory);
  state->header = header;
  state->slots = slots;
  state->maxThreads = max_threads;
  {
    const std::lock_guard<std::mutex> guard(registryMutex());
    state->generation = g_generation.load(std::memory_order_relaxed);
  }
  m_local = state.release();
}

XRobustSharedReadWriteLock::~XRobustSharedReadWriteLock() {
  if (m_local == nullptr) return;
  if (Registration* r = find(m_local, false)) leave(*r);
  dropUser(m_local, true);
}

bool XRobustSharedReadWriteLock::lock_for_read() { return lockRead(true); }
bool XRobustSharedReadWriteLock::try_lock_for_read() { return lockRead(false); }
bool XRobustSharedReadWriteLock::lock_for_write() { return lockWrite(true); }
bool XRobustSharedReadWriteLock::try_lock_for_write() { return lockWrite(false); }

bool XRobustSharedReadWriteLock::lockRead(bool wait) {
  const std::uint32_t call = wait ? R_LOCK_FOR_READ : R_TRY_LOCK_FOR_READ;
  if (m_local == nullptr) return fail(call, EINVAL);
  Registration* const r = find(m_local, true);
  if (r->hold != Hold::NONE) return fail(R_HELD, 0);
  if (r->slot == nullptr && !claimSlot(*m_local, *r)) return fail(R_TABLE_FULL, 0);
  RobustSlot& slot = *r->slot;
  RobustHeader& h = *m_local->header;
  for (;;) {
    slot.active.store(1, std::memory_order_seq_cst);
    if (h.writing.load(std::memory_order_seq_cst) == 0) {
      r->hold = Hold::READ;
      return true;
    }
    slot.active.store(0, std::memory_order_seq_cst);
    wake(slot.active);  // the writer may be waiting on this slot
    if (!wait) return fail(call, EBUSY);
    const int rc = waitOutWriter(h);
    if (rc != 0) return fail(call, rc);
  }
}

bool XRobustSharedReadWriteLock::lockWrite(bool wait) {
  const std::uint32_t call = wait ? R_LOCK_FOR_WRITE : R_TRY_LOCK_FOR_WRITE;
  if (m_local == nullptr) return fail(call, EINVAL);
  Registration* const r = find(m_local, true);
  if (r->hold != Hold::NONE) return fail(R_HELD, 0);
  RobustHeader& h = *m_local->header;
  if (const int rc = takeWriter(h, wait); rc != 0) return fail(call, rc);
  h.writerState.store(WRITER_WAITS);
  h.writing.store(1, std::memory_order_seq_cst);
  if (!waitOutReaders(*m_local, r->slot, wait)) {
    releaseWrite(h);
    return fail(call, EBUSY);
  }
  h.writerState.store(WRITER_HOLDS);
  r->hold = Hold::WRITE;
  return true;
}

bool XRobustSharedReadWriteLock::unlock() {
  if (m_local == nullptr) return fail(R_UNLOCK, EINVAL);
  Registration* const r = find(m_local, false);
  if (r == nullptr || r->hold == Hold::NONE) return fail(R_NOT_HELD, 0);
  RobustHeader& h = *m_local->header;
  const Hold hold = r->hold;
  r->hold = Hold::NONE;
  if (hold == Hold::READ) {
    releaseRead(h, *r->slot);
    return true;
  }
  const int rc = releaseWrite(h);
  return rc == 0 || fail(R_UNLOCK, rc);
}

bool XRobustSharedReadWriteLock::is_consistent() const {
  return m_local != nullptr && m_local->header->consistent.load() != 0;
}

void XRobustSharedReadWriteLock::mark_consistent() {
  Registration* const r = m_local != nullptr ? find(m_local, false) : nullptr;
  if (r == nullptr || r->hold != Hold::WRITE) {
    fail(R_NOT_WRITER, 0);
    return;
  }
  m_local->header->consistent.store(1);
}

std::uint64_t XRobustSharedReadWriteLock::dead_holders() const {
  return m_local != nullptr ? m_local->header->deadHolders.load() : 0;
}

bool XRobustSharedReadWriteLock::fail(std::uint32_t code, int err) {
  return XInternal::recordFailure(m_failure, code, err);
}

std::string XRobustSharedReadWriteLock::error() const {
  const auto [code, err] = XInternal::readFailure(m_failure);
  switch (code) {
    case R_NONE: return m_setupError;
    case R_HELD: return "the calling thread holds the lock already";
    case R_NOT_HELD: return "the calling thread does not hold the lock";
    case R_TABLE_FULL:
      return fmt::format("the lock's table of {} threads is full", m_local->maxThreads);
    case R_NOT_WRITER: return "mark_consistent needs the lock held for writing";
    default: return XUtils::strerror(err, ROBUST_CALLS[code]);
  }
}
