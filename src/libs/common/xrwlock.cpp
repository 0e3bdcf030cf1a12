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

bool XReadWriteLock::fail(int err, const char* call) {
  return record(m_errorMutex, m_error, err, call);
}

// A lock whose set-up failed is never touched: the operations fail with EINVAL.
bool XReadWriteLock::lock_for_read() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_rdlock");
  const int rc = pthread_rwlock_rdlock(&m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_rdlock");
}

bool XReadWriteLock::try_lock_for_read() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_tryrdlock");
  const int rc = pthread_rwlock_tryrdlock(&m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_tryrdlock");
}

bool XReadWriteLock::lock_for_write() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_wrlock");
  const int rc = pthread_rwlock_wrlock(&m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_wrlock");
}

bool XReadWriteLock::try_lock_for_write() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_trywrlock");
  const int rc = pthread_rwlock_trywrlock(&m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_trywrlock");
}

bool XReadWriteLock::unlock() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_unlock");
  const int rc = pthread_rwlock_unlock(&m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_unlock");
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

bool XSharedReadWriteLock::fail(int err, const char* call) {
  return record(m_errorMutex, m_error, err, call);
}

bool XSharedReadWriteLock::lock_for_read() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_rdlock");
  const int rc = pthread_rwlock_rdlock(m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_rdlock");
}

bool XSharedReadWriteLock::try_lock_for_read() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_tryrdlock");
  const int rc = pthread_rwlock_tryrdlock(m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_tryrdlock");
}

bool XSharedReadWriteLock::lock_for_write() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_wrlock");
  const int rc = pthread_rwlock_wrlock(m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_wrlock");
}

bool XSharedReadWriteLock::try_lock_for_write() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_trywrlock");
  const int rc = pthread_rwlock_trywrlock(m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_trywrlock");
}

bool XSharedReadWriteLock::unlock() {
  if (!m_valid) return fail(EINVAL, "pthread_rwlock_unlock");
  const int rc = pthread_rwlock_unlock(m_lock);
  return rc == 0 || fail(rc, "pthread_rwlock_unlock");
}
