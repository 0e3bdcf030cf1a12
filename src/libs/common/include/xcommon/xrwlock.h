#pragma once

// Read-write locks: one private to a process, one shared with the processes it forks after
// creating it (through an XSharedMem segment).

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "xcommon/xcommon_export.h"
#include "xcommon/xsharedmem.h"

// Every lock operation returns true on success. On failure (a busy lock for the try_ forms, a
// lock whose set-up failed) it returns false and records "<call> : <reason>", e.g.
// "pthread_rwlock_trywrlock : Device or resource busy"; the lock is then not owned. Any number
// of threads use one lock at once; construction and destruction are not concurrent with use.
class XCOMMON_EXPORT XReadWriteLock {
 public:
  XReadWriteLock();  // invalid, with the "pthread_rwlock_init" text, if the lock cannot be made
  ~XReadWriteLock();

  XReadWriteLock(const XReadWriteLock&) = delete;
  XReadWriteLock& operator=(const XReadWriteLock&) = delete;

  bool lock_for_read();
  bool try_lock_for_read();
  bool lock_for_write();
  bool try_lock_for_write();
  bool unlock();  // only by a holder

  bool is_valid() const { return m_valid; }
  // The last failure, formatted now; empty when none was recorded.
  std::string error() const;

 private:
  pthread_rwlock_t m_lock{};
  bool m_valid = false;
  // The last failure as (call << 32 | error number): recorded and read without a lock, so a
  // thread never waits for it, nor a child forked while another thread records one.
  std::atomic<std::uint64_t> m_failure{0};
};

// The same lock, process-shared, in its own segment created under `name` (see XSharedMem: the
// name is unlinked at once). A process that forks after construction locks against its
// children; each process's destructor only unmaps, since others may still use the lock.
class XCOMMON_EXPORT XSharedReadWriteLock {
 public:
  // Invalid with the segment's text when the segment fails, or with "pthread_rwlock_init".
  explicit XSharedReadWriteLock(const char* name);
  ~XSharedReadWriteLock();

  XSharedReadWriteLock(const XSharedReadWriteLock&) = delete;
  XSharedReadWriteLock& operator=(const XSharedReadWriteLock&) = delete;

  bool lock_for_read();
  bool try_lock_for_read();
  bool lock_for_write();
  bool try_lock_for_write();
  bool unlock();  // only by a holder

  bool is_valid() const { return m_valid; }
  std::string error() const;  // as XReadWriteLock::error()

 private:
  XSharedMem m_memory;  // declared first: destroyed after the lock pointer is dropped
  pthread_rwlock_t* m_lock = nullptr;  // in m_memory; null while the segment is invalid
  bool m_valid = false;
  std::string m_setupError;  // the segment's failure, written by the constructor only
  std::atomic<std::uint64_t> m_failure{0};
};
