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

/// The operations of XReadWriteLock and XSharedReadWriteLock, on the system lock each keeps.
///
/// Every lock operation returns true on success. On failure (a busy lock for the try_ forms, a
/// lock whose set-up failed) it returns false and records "<call> : <reason>", e.g.
/// "pthread_rwlock_trywrlock : Device or resource busy"; the lock is then not owned. Any number
/// of threads use one lock at once; construction and destruction are not concurrent with use.
/// The operations are inline: on success a caller pays for the system call alone.
class XReadWriteLockOperations {
 public:
  /// Waits for a shared hold.
  [[nodiscard]] bool lock_for_read() { return m_core.lock_for_read(); }
  /// Takes a shared hold only if that is possible at once.
  [[nodiscard]] bool try_lock_for_read() { return m_core.try_lock_for_read(); }
  /// Waits for an exclusive hold.
  [[nodiscard]] bool lock_for_write() { return m_core.lock_for_write(); }
  /// Takes an exclusive hold only if that is possible at once.
  [[nodiscard]] bool try_lock_for_write() { return m_core.try_lock_for_write(); }
  /// Releases the calling thread's hold; only by a holder.
  [[nodiscard]] bool unlock() { return m_core.unlock(); }

  /// False when the lock (or its segment) could not be made; every operation then fails.
  [[nodiscard]] bool is_valid() const { return m_core.attached(); }

  /// Not copyable: threads and the system lock refer to the lock.
  XReadWriteLockOperations(const XReadWriteLockOperations&) = delete;
  /// Not copyable: threads and the system lock refer to the lock.
  XReadWriteLockOperations& operator=(const XReadWriteLockOperations&) = delete;

 protected:
  XReadWriteLockOperations() = default;
  ~XReadWriteLockOperations() = default;

  XInternal::RWLockCore m_core;  ///< on the system lock once it is initialised
};

/// A read-write lock private to the process; see XReadWriteLockOperations.
class XCOMMON_EXPORT XReadWriteLock : public XReadWriteLockOperations {
 public:
  /// Invalid, with the "pthread_rwlock_init" text, if the lock cannot be made.
  XReadWriteLock();
  /// Destroys the lock, which no thread may hold or wait for any more.
  ~XReadWriteLock();

  /// Not copyable: threads and the system lock refer to this object.
  XReadWriteLock(const XReadWriteLock&) = delete;
  /// Not copyable: threads and the system lock refer to this object.
  XReadWriteLock& operator=(const XReadWriteLock&) = delete;

  /// The last failure, formatted now; empty when none was recorded.
  std::string error() const;

 private:
  pthread_rwlock_t m_lock{};
};

/// The same lock as XReadWriteLock, process-shared, in its own segment created under `name`
/// (see XSharedMem: the name is unlinked at once). A process that forks after construction
/// locks against its children; each process's destructor only unmaps, since others may still
/// use the lock.
class XCOMMON_EXPORT XSharedReadWriteLock : public XReadWriteLockOperations {
 public:
  /// Invalid with the segment's text when the segment fails, or with "pthread_rwlock_init".
  explicit XSharedReadWriteLock(const char* name);
  /// Unmaps the segment without destroying the lock, which forked processes may still use.
  ~XSharedReadWriteLock();

  /// Not copyable: the object owns the segment.
  XSharedReadWriteLock(const XSharedReadWriteLock&) = delete;
  /// Not copyable: the object owns the segment.
  XSharedReadWriteLock& operator=(const XSharedReadWriteLock&) = delete;

  /// As XReadWriteLock::error(); the segment's failure while no operation has failed.
  std::string error() const;

 private:
  XSharedMem m_memory;       // the core lets go of the lock in the destructor, before this unmaps
  std::string m_setupError;  // the segment's failure, written by the constructor only
};

// The robust lock lived here first; callers that include this header still see it.
#include "xcommon/xrobust_rwlock.h"
