#pragma once

/// @file
/// XRobustSharedReadWriteLock: a process-shared read-write lock that survives the death of its
/// holders.

#include <atomic>
#include <cstdint>
#include <string>

#include "xcommon/xcommon_export.h"

namespace XInternal {
struct RobustLockState;  // not for callers: a process's side of a robust lock
}  // namespace XInternal

/// A process-shared read-write lock that outlives its holders: a process killed at any instant,
/// or a thread that ends without unlock(), never blocks the others for long. On an idle machine
/// its hold is found out and released within 20 ms of the death (one 10 ms poll and the
/// wake-up), however many holders die at once, whatever signals the waiting threads take, and
/// whether others already wait, come later or only poll with the try_ forms.
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
/// slot from its first read until it ends; slots of dead threads are reclaimed); a writer's
/// cost grows with the threads registered now, not with those that have come and gone. The
/// kernel releases at most 2048 robust locks of a dying thread, and each lock a thread has read
/// (until the lock is destroyed by that thread, or the thread ends) takes one of them, so a
/// thread's first read of its 2001st lock fails ("too many robust locks held by this thread").
/// The segment stays mapped while threads of this process that used the lock still run.
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
  [[nodiscard]] bool lock_for_read();
  /// Takes a shared hold only while no writer holds or waits for the lock.
  [[nodiscard]] bool try_lock_for_read();
  /// Waits for the exclusive hold, then for the readers to leave.
  [[nodiscard]] bool lock_for_write();
  /// Takes the exclusive hold only when neither a writer nor a reader holds the lock.
  [[nodiscard]] bool try_lock_for_write();
  /// Releases the calling thread's hold; false when the calling thread holds nothing.
  [[nodiscard]] bool unlock();
  ///@}

  /// False when the segment or the lock could not be set up; every operation then fails.
  [[nodiscard]] bool is_valid() const { return m_local != nullptr; }
  /// The last failure, formatted now; the segment's failure while no operation has failed.
  std::string error() const;

  /// False from a writer's death until a writer repairs the data and calls mark_consistent().
  [[nodiscard]] bool is_consistent() const;
  /// Marks the data repaired, by a thread that holds the lock for writing; otherwise it changes
  /// nothing, records a failure and returns false.
  [[nodiscard]] bool mark_consistent();
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
