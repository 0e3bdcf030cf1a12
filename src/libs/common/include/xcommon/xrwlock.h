#pragma once

/// @file
/// Read-write locks: one private to a process, one shared with the processes it forks after
/// creating it (through an XSharedMem segment), and a shared one that survives the death of its
/// holders.

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "xcommon/xcommon_export.h"
#include "xcommon/xsharedmem.h"

namespace XInternal {

// Not for callers: the one implementation of both locks, over a system lock that its owner
// keeps (embedded, or in a shared segment). A successful operation is one inline call on that
// lock; a failure goes out of line and is kept as one atomic word (call << 32 | error number),
// recorded and read without a lock, so a thread never waits for it, nor a child forked while
// another thread records one.
class XCOMMON_EXPORT RWLockCore {
 public:
  // The calls a failure names; NONE: no failure recorded.
  enum Call : std::uint32_t { NONE, INIT, RDLOCK, TRYRDLOCK, WRLOCK, TRYWRLOCK, UNLOCK };

  // Initialises `lock` (default attributes, or process-shared) and operates on it from then
  // on. On failure records INIT and stays detached: every operation then fails with EINVAL.
  XCOMMON_NO_EXPORT bool attach(pthread_rwlock_t* lock, bool processShared);
  // Lets go of the system lock without touching it; returns it, or null if never attached.
  XCOMMON_NO_EXPORT pthread_rwlock_t* detach();

  bool lock_for_read() { return run(pthread_rwlock_rdlock, RDLOCK); }
  bool try_lock_for_read() { return run(pthread_rwlock_tryrdlock, TRYRDLOCK); }
  bool lock_for_write() { return run(pthread_rwlock_wrlock, WRLOCK); }
  bool try_lock_for_write() { return run(pthread_rwlock_trywrlock, TRYWRLOCK); }
  bool unlock() { return run(pthread_rwlock_unlock, UNLOCK); }

  bool attached() const { return m_lock != nullptr; }
  // "<call> : <reason>" of the last failure, formatted now; `otherwise` when none was recorded.
  XCOMMON_NO_EXPORT std::string error(const std::string& otherwise) const;

 private:
  bool run(int (*op)(pthread_rwlock_t*), Call call) {
    const int rc = m_lock != nullptr ? op(m_lock) : EINVAL;
    return rc == 0 || fail(call, rc);
  }
  [[gnu::cold]] bool fail(Call call, int err);  // records the failure; false

  pthread_rwlock_t* m_lock = nullptr;
  std::atomic<std::uint64_t> m_failure{0};
};

}  // namespace XInternal

/// A read-write lock private to the process.
///
/// Every lock operation returns true on success. On failure (a busy lock for the try_ forms, a
/// lock whose set-up failed) it returns false and records "<call> : <reason>", e.g.
/// "pthread_rwlock_trywrlock : Device or resource busy"; the lock is then not owned. Any number
/// of threads use one lock at once; construction and destruction are not concurrent with use.
/// The operations are inline: on success a caller pays for the system call alone.
class XCOMMON_EXPORT XReadWriteLock {
 public:
  /// Invalid, with the "pthread_rwlock_init" text, if the lock cannot be made.
  XReadWriteLock();
  /// Destroys the lock, which no thread may hold or wait for any more.
  ~XReadWriteLock();

  /// Not copyable: threads and the system lock refer to this object.
  XReadWriteLock(const XReadWriteLock&) = delete;
  /// Not copyable: threads and the system lock refer to this object.
  XReadWriteLock& operator=(const XReadWriteLock&) = delete;

  /// Waits for a shared hold.
  bool lock_for_read() { return m_core.lock_for_read(); }
  /// Takes a shared hold only if that is possible at once.
  bool try_lock_for_read() { return m_core.try_lock_for_read(); }
  /// Waits for an exclusive hold.
  bool lock_for_write() { return m_core.lock_for_write(); }
  /// Takes an exclusive hold only if that is possible at once.
  bool try_lock_for_write() { return m_core.try_lock_for_write(); }
  /// Releases the calling thread's hold; only by a holder.
  bool unlock() { return m_core.unlock(); }

  /// False when the lock could not be made; every operation then fails.
  bool is_valid() const { return m_core.attached(); }
  /// The last failure, formatted now; empty when none was recorded.
  std::string error() const;

 private:
  pthread_rwlock_t m_lock{};
  XInternal::RWLockCore m_core;  // on m_lock once it is initialised
};

/// The same lock as XReadWriteLock, process-shared, in its own segment created under `name`
/// (see XSharedMem: the name is unlinked at once). A process that forks after construction
/// locks against its children; each process's destructor only unmaps, since others may still
/// use the lock.
class XCOMMON_EXPORT XSharedReadWriteLock {
 public:
  /// Invalid with the segment's text when the segment fails, or with "pthread_rwlock_init".
  explicit XSharedReadWriteLock(const char* name);
  /// Unmaps the segment without destroying the lock, which forked processes may still use.
  ~XSharedReadWriteLock();

  /// Not copyable: the object owns the segment.
  XSharedReadWriteLock(const XSharedReadWriteLock&) = delete;
  /// Not copyable: the object owns the segment.
  XSharedReadWriteLock& operator=(const XSharedReadWriteLock&) = delete;

  /// Waits for a shared hold.
  bool lock_for_read() { return m_core.lock_for_read(); }
  /// Takes a shared hold only if that is possible at once.
  bool try_lock_for_read() { return m_core.try_lock_for_read(); }
  /// Waits for an exclusive hold.
  bool lock_for_write() { return m_core.lock_for_write(); }
  /// Takes an exclusive hold only if that is possible at once.
  bool try_lock_for_write() { return m_core.try_lock_for_write(); }
  /// Releases the calling thread's hold; only by a holder.
  bool unlock() { return m_core.unlock(); }

  /// False when the segment or the lock could not be made; every operation then fails.
  bool is_valid() const { return m_core.attached(); }
  /// As XReadWriteLock::error(); the segment's failure while no operation has failed.
  std::string error() const;

 private:
  XSharedMem m_memory;           // declared first: unmapped after the core lets go of the lock
  XInternal::RWLockCore m_core;  // on the lock at the start of m_memory
  std::string m_setupError;      // the segment's failure, written by the constructor only
};

namespace XInternal {
struct RobustLockState;  // not for callers: a process's side of a robust lock
}  // namespace XInternal

/// A process-shared read-write lock that outlives its holders: a process killed at any instant,
/// or a thread that ends without unlock(), never blocks the others for long. Its hold is found
/// out and released within about 10 ms of the death, whether others already wait or come later.
/// A dead reader's hold is simply released. A dead writer's hold is released and the lock
/// becomes inconsistent (for every process) until a thread holding it for writing has repaired
/// the data and calls mark_consistent(); the lock is acquired all the same while inconsistent,
/// so callers read is_consistent() after acquiring.
///
/// The lock lives in its own segment (see XSharedMem), shared with the processes forked after
/// construction. A thread holds at most one hold of a lock at a time: a lock or try_ operation
/// on a lock the thread holds fails, as does unlock() by a thread that holds nothing (a child
/// forked while its parent holds the lock does not hold it). Readers take no system call and
/// touch no line of memory that other readers write.
///
/// Limits: at most `max_threads` threads of all processes use the lock at once (each keeps a
/// slot from its first read until it ends; slots of dead threads are reclaimed); the kernel
/// follows at most 2048 robust locks per thread, and each lock a thread has read takes one of
/// them. The segment stays mapped while threads of this process that used the lock still run.
class XCOMMON_EXPORT XRobustSharedReadWriteLock {
 public:
  /// Invalid with the segment's text when the segment fails, or with the text of the failing
  /// call ("pthread_mutex_init : ..."), or a sentence for `max_threads` of 0.
  explicit XRobustSharedReadWriteLock(const char* name, unsigned max_threads = 256);
  /// Releases the calling thread's hold as a dead holder's (a write hold leaves the lock
  /// inconsistent) and its slot; other threads' holds are released when they end.
  ~XRobustSharedReadWriteLock();

  /// Not copyable: threads register with this object.
  XRobustSharedReadWriteLock(const XRobustSharedReadWriteLock&) = delete;
  /// Not copyable: threads register with this object.
  XRobustSharedReadWriteLock& operator=(const XRobustSharedReadWriteLock&) = delete;

  /// @name Locking
  /// True when acquired. A try_ form fails at once while the lock is held against it
  /// ("try_lock_for_write : Device or resource busy"); every form fails when the calling thread
  /// holds the lock already, and a first read fails when the thread table is full.
  ///@{

  /// Waits for a shared hold; a writer that already waits goes first.
  bool lock_for_read();
  /// Takes a shared hold only while no writer holds or waits for the lock.
  bool try_lock_for_read();
  /// Waits for the exclusive hold, then for the readers to leave.
  bool lock_for_write();
  /// Takes the exclusive hold only when neither a writer nor a reader holds the lock.
  bool try_lock_for_write();
  /// Releases the calling thread's hold; false when the calling thread holds nothing.
  bool unlock();
  ///@}

  /// False when the segment or the lock could not be set up; every operation then fails.
  bool is_valid() const { return m_local != nullptr; }
  /// The last failure, formatted now; the segment's failure while no operation has failed.
  std::string error() const;

  /// False from a writer's death until a writer repairs the data and calls mark_consistent().
  bool is_consistent() const;
  /// Marks the data repaired, by a thread that holds the lock for writing; otherwise it changes
  /// nothing and records a failure.
  void mark_consistent();
  /// Holders found dead (or ended holding) and released since the lock was made, counted over
  /// all processes.
  std::uint64_t dead_holders() const;

 private:
  XCOMMON_NO_EXPORT bool lockRead(bool wait);
  XCOMMON_NO_EXPORT bool lockWrite(bool wait);
  [[gnu::cold]] XCOMMON_NO_EXPORT bool fail(std::uint32_t code, int err);

  // This process's side of the lock: outlives the object while threads that used it run.
  XInternal::RobustLockState* m_local = nullptr;
  std::atomic<std::uint64_t> m_failure{0};
  std::string m_setupError;
};
