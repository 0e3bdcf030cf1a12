#include "xcommon/xrobust_rwlock.h"

#include <deque>
#include <memory>
#include <mutex>
#include <new>

#include <fmt/format.h>

#include "internal/failure_word.h"
#include "internal/fork_guard.h"
#include "internal/robust_segment.h"
#include "xcommon/xsharedmem.h"
#include "xcommon/xutils/text.h"

namespace {

using XInternal::NO_WRITER;
using XInternal::passWriter;
using XInternal::releaseRead;
using XInternal::releaseWrite;
using XInternal::RobustHeader;
using XInternal::RobustSegment;
using XInternal::RobustSlot;
using XInternal::takeWriter;
using XInternal::wakeWriter;
using XInternal::WRITER_HOLDS;
using XInternal::WRITER_WAITS;

// Slots a thread may hold: the kernel releases at most 2048 robust mutexes of a dying thread,
// and write holds and the caller's own robust mutexes need room too.
constexpr std::uint32_t MAX_SLOTS_PER_THREAD = 2000;

// Bumped in every forked child: registrations of an earlier generation belong to threads of
// the parent.
std::atomic<std::uint32_t> g_generation{0};

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
  RobustSegment segment;  // in `memory`
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

// The calling thread's registrations; a thread that ends lets go of them.
struct ThreadRegistrations {
  std::deque<Registration> list;
  std::uint32_t slots = 0;  // claimed in `slotsGeneration`: entries of the robust list
  std::uint32_t slotsGeneration = 0;
  ThreadRegistrations() = default;
  ThreadRegistrations(const ThreadRegistrations&) = delete;
  ThreadRegistrations& operator=(const ThreadRegistrations&) = delete;
  ~ThreadRegistrations();
  // The slots this thread holds in this process generation (a forked child holds none).
  std::uint32_t& slotCount() {
    const std::uint32_t generation = g_generation.load(std::memory_order_relaxed);
    if (slotsGeneration != generation) {
      slotsGeneration = generation;
      slots = 0;
    }
    return slots;
  }
};

thread_local ThreadRegistrations t_registrations;
thread_local Registration* t_last = nullptr;  // the one used last: the fast path's lookup

// A hold and a slot let go of by a thread that ends (or destroys the lock) holding them: a
// writer's data may be half written, so its end makes the lock inconsistent.
void leave(Registration& r) {
  RobustHeader& h = r.lock->segment.header();
  if (r.hold != Hold::NONE) h.deadHolders.fetch_add(1);
  if (r.hold == Hold::READ) {
    releaseRead(h, *r.slot);
  } else if (r.hold == Hold::WRITE) {
    h.consistent.store(0);
    releaseWrite(h);
  }
  r.hold = Hold::NONE;
  if (r.slot != nullptr) {
    r.lock->segment.release(*r.slot);
    r.slot = nullptr;
    --t_registrations.slotCount();
  }
  RobustLockState* const lock = r.lock;
  r.lock = nullptr;
  dropUser(lock, false);
}

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
  R_NOT_WRITER,
  R_TOO_MANY
};

constexpr const char* ROBUST_CALLS[] = {
    "", "lock_for_read", "try_lock_for_read", "lock_for_write", "try_lock_for_write", "unlock"};

}  // namespace

XRobustSharedReadWriteLock::XRobustSharedReadWriteLock(const char* name, unsigned max_threads) {
  if (max_threads == 0) {
    m_setupError = "max_threads must be at least 1";
    return;
  }
  auto state = std::make_unique<RobustLockState>();
  state->memory = std::make_unique<XSharedMem>(name, RobustSegment::bytes(max_threads));
  if (!state->memory->is_valid()) {
    m_setupError = state->memory->error();
    return;
  }
  if (const int rc = state->segment.create(state->memory->address(), max_threads); rc != 0) {
    m_setupError = XUtils::strerror(rc, "pthread_mutex_init");
    return;
  }
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
  if (r->slot == nullptr) {
    if (t_registrations.slotCount() >= MAX_SLOTS_PER_THREAD) return fail(R_TOO_MANY, 0);
    r->slot = m_local->segment.claim();
    if (r->slot == nullptr) return fail(R_TABLE_FULL, 0);
    ++t_registrations.slotCount();
  }
  RobustSlot& slot = *r->slot;
  RobustHeader& h = m_local->segment.header();
  // Without `wait`, one more look once a dead writer's state is released.
  for (bool retried = false;; retried = true) {
    slot.active.store(1, std::memory_order_seq_cst);
    if (h.writerState.load(std::memory_order_seq_cst) == NO_WRITER) {
      r->hold = Hold::READ;
      return true;
    }
    slot.active.store(0, std::memory_order_seq_cst);
    wakeWriter(slot);
    if (!wait && retried) return fail(call, EBUSY);
    const int rc = passWriter(h, wait);
    if (rc != 0) return fail(call, rc);
  }
}

bool XRobustSharedReadWriteLock::lockWrite(bool wait) {
  const std::uint32_t call = wait ? R_LOCK_FOR_WRITE : R_TRY_LOCK_FOR_WRITE;
  if (m_local == nullptr) return fail(call, EINVAL);
  Registration* const r = find(m_local, true);
  if (r->hold != Hold::NONE) return fail(R_HELD, 0);
  RobustHeader& h = m_local->segment.header();
  if (const int rc = takeWriter(h, wait); rc != 0) return fail(call, rc);
  h.writerState.store(WRITER_WAITS, std::memory_order_seq_cst);
  if (!m_local->segment.waitOutReaders(r->slot, wait)) {
    releaseWrite(h);
    return fail(call, EBUSY);
  }
  h.writerState.store(WRITER_HOLDS, std::memory_order_relaxed);
  r->hold = Hold::WRITE;
  return true;
}

bool XRobustSharedReadWriteLock::unlock() {
  if (m_local == nullptr) return fail(R_UNLOCK, EINVAL);
  Registration* const r = find(m_local, false);
  if (r == nullptr || r->hold == Hold::NONE) return fail(R_NOT_HELD, 0);
  RobustHeader& h = m_local->segment.header();
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
  return m_local != nullptr && m_local->segment.header().consistent.load() != 0;
}

bool XRobustSharedReadWriteLock::mark_consistent() {
  Registration* const r = m_local != nullptr ? find(m_local, false) : nullptr;
  if (r == nullptr || r->hold != Hold::WRITE) return fail(R_NOT_WRITER, 0);
  m_local->segment.header().consistent.store(1);
  return true;
}

std::uint64_t XRobustSharedReadWriteLock::dead_holders() const {
  return m_local != nullptr ? m_local->segment.header().deadHolders.load() : 0;
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
      return fmt::format("the lock's table of {} threads is full", m_local->segment.maxThreads());
    case R_NOT_WRITER: return "mark_consistent needs the lock held for writing";
    case R_TOO_MANY: return "too many robust locks held by this thread";
    default: return XUtils::strerror(err, ROBUST_CALLS[code]);
  }
}
