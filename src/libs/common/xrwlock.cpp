#include "xcommon/xrwlock.h"

#include <cerrno>

#include "xcommon/xutils/text.h"

namespace {

// Formats outside the mutex so that it is held only for the swap; the old text is freed after.
[[gnu::cold, gnu::noinline]] bool record(std::mutex& mutex, std::string& error, int err,
                                         const char* call) {
  std::string text = XUtils::strerror(err, call);
  {
    std::lock_guard<std::mutex> guard(mutex);
    error.swap(text);
  }
  return false;
}

// One operation of either lock: a single call on success. A lock whose set-up failed is never
// touched: the operation fails with EINVAL.
inline bool run(bool valid, pthread_rwlock_t* lock, int (*op)(pthread_rwlock_t*), const char* call,
                std::mutex& mutex, std::string& error) {
  const int rc = valid ? op(lock) : EINVAL;
  return rc == 0 || record(mutex, error, rc, call);
}

}  // namespace

XReadWriteLock::XReadWriteLock() {
  const int rc = pthread_rwlock_init(&m_lock, nullptr);
  m_valid = rc == 0;
  if (!m_valid) m_error = XUtils::strerror(rc, "pthread_rwlock_init");
}

// Destroying a lock that was never initialised is undefined, so only a valid one is.
XReadWriteLock::~XReadWriteLock() {
  if (m_valid) pthread_rwlock_destroy(&m_lock);
}

bool XReadWriteLock::lock_for_read() {
  return run(m_valid, &m_lock, pthread_rwlock_rdlock, "pthread_rwlock_rdlock", m_errorMutex,
             m_error);
}

bool XReadWriteLock::try_lock_for_read() {
  return run(m_valid, &m_lock, pthread_rwlock_tryrdlock, "pthread_rwlock_tryrdlock", m_errorMutex,
             m_error);
}

bool XReadWriteLock::lock_for_write() {
  return run(m_valid, &m_lock, pthread_rwlock_wrlock, "pthread_rwlock_wrlock", m_errorMutex,
             m_error);
}

bool XReadWriteLock::try_lock_for_write() {
  return run(m_valid, &m_lock, pthread_rwlock_trywrlock, "pthread_rwlock_trywrlock", m_errorMutex,
             m_error);
}

bool XReadWriteLock::unlock() {
  return run(m_valid, &m_lock, pthread_rwlock_unlock, "pthread_rwlock_unlock", m_errorMutex,
             m_error);
}

XSharedReadWriteLock::XSharedReadWriteLock(const char* name)
    : m_memory(name, sizeof(pthread_rwlock_t)) {
  if (!m_memory.is_valid()) {
    m_error = m_memory.error();
    return;
  }
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  m_lock = static_cast<pthread_rwlock_t*>(m_memory.address());
  const int rc = pthread_rwlock_init(m_lock, &attr);
  m_valid = rc == 0;
  pthread_rwlockattr_destroy(&attr);
  if (!m_valid) m_error = XUtils::strerror(rc, "pthread_rwlock_init");
}

// No pthread_rwlock_destroy: forked processes may still hold or wait on the lock.
XSharedReadWriteLock::~XSharedReadWriteLock() { m_lock = nullptr; }

bool XSharedReadWriteLock::lock_for_read() {
  return run(m_valid, m_lock, pthread_rwlock_rdlock, "pthread_rwlock_rdlock", m_errorMutex,
             m_error);
}

bool XSharedReadWriteLock::try_lock_for_read() {
  return run(m_valid, m_lock, pthread_rwlock_tryrdlock, "pthread_rwlock_tryrdlock", m_errorMutex,
             m_error);
}

bool XSharedReadWriteLock::lock_for_write() {
  return run(m_valid, m_lock, pthread_rwlock_wrlock, "pthread_rwlock_wrlock", m_errorMutex,
             m_error);
}

bool XSharedReadWriteLock::try_lock_for_write() {
  return run(m_valid, m_lock, pthread_rwlock_trywrlock, "pthread_rwlock_trywrlock", m_errorMutex,
             m_error);
}

bool XSharedReadWriteLock::unlock() {
  return run(m_valid, m_lock, pthread_rwlock_unlock, "pthread_rwlock_unlock", m_errorMutex,
             m_error);
}
