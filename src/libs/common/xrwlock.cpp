#include "xcommon/xrwlock.h"

#include <cerrno>

#include "xcommon/xutils/text.h"

namespace {

// The calls a failure names, by the index recorded with it; 0 is no failure.
enum Call : std::uint64_t { NONE, INIT, RDLOCK, TRYRDLOCK, WRLOCK, TRYWRLOCK, UNLOCK };
constexpr const char* CALL_NAMES[] = {"",
                                      "pthread_rwlock_init",
                                      "pthread_rwlock_rdlock",
                                      "pthread_rwlock_tryrdlock",
                                      "pthread_rwlock_wrlock",
                                      "pthread_rwlock_trywrlock",
                                      "pthread_rwlock_unlock"};

[[gnu::cold, gnu::noinline]] bool record(std::atomic<std::uint64_t>& failure, int err, Call call) {
  failure.store(call << 32 | static_cast<std::uint32_t>(err), std::memory_order_relaxed);
  return false;
}

// One operation of either lock: a single call on success. A lock whose set-up failed is never
// touched: the operation fails with EINVAL.
inline bool run(bool valid, pthread_rwlock_t* lock, int (*op)(pthread_rwlock_t*), Call call,
                std::atomic<std::uint64_t>& failure) {
  const int rc = valid ? op(lock) : EINVAL;
  return rc == 0 || record(failure, rc, call);
}

// "<call> : <reason>" of a recorded failure, or `otherwise` when none was recorded.
std::string describe(const std::atomic<std::uint64_t>& failure, const std::string& otherwise) {
  const std::uint64_t value = failure.load(std::memory_order_relaxed);
  const std::uint64_t call = value >> 32;
  if (call == NONE || call > UNLOCK) return otherwise;
  return XUtils::strerror(static_cast<int>(value & 0xffffffffU), CALL_NAMES[call]);
}

}  // namespace

XReadWriteLock::XReadWriteLock() {
  const int rc = pthread_rwlock_init(&m_lock, nullptr);
  m_valid = rc == 0;
  if (!m_valid) record(m_failure, rc, INIT);
}

// Destroying a lock that was never initialised is undefined, so only a valid one is.
XReadWriteLock::~XReadWriteLock() {
  if (m_valid) pthread_rwlock_destroy(&m_lock);
}

std::string XReadWriteLock::error() const { return describe(m_failure, {}); }

bool XReadWriteLock::lock_for_read() {
  return run(m_valid, &m_lock, pthread_rwlock_rdlock, RDLOCK, m_failure);
}

bool XReadWriteLock::try_lock_for_read() {
  return run(m_valid, &m_lock, pthread_rwlock_tryrdlock, TRYRDLOCK, m_failure);
}

bool XReadWriteLock::lock_for_write() {
  return run(m_valid, &m_lock, pthread_rwlock_wrlock, WRLOCK, m_failure);
}

bool XReadWriteLock::try_lock_for_write() {
  return run(m_valid, &m_lock, pthread_rwlock_trywrlock, TRYWRLOCK, m_failure);
}

bool XReadWriteLock::unlock() {
  return run(m_valid, &m_lock, pthread_rwlock_unlock, UNLOCK, m_failure);
}

XSharedReadWriteLock::XSharedReadWriteLock(const char* name)
    : m_memory(name, sizeof(pthread_rwlock_t)) {
  if (!m_memory.is_valid()) {
    m_setupError = m_memory.error();
    return;
  }
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  m_lock = static_cast<pthread_rwlock_t*>(m_memory.address());
  const int rc = pthread_rwlock_init(m_lock, &attr);
  m_valid = rc == 0;
  pthread_rwlockattr_destroy(&attr);
  if (!m_valid) record(m_failure, rc, INIT);
}

// No pthread_rwlock_destroy: forked processes may still hold or wait on the lock.
XSharedReadWriteLock::~XSharedReadWriteLock() { m_lock = nullptr; }

std::string XSharedReadWriteLock::error() const { return describe(m_failure, m_setupError); }

bool XSharedReadWriteLock::lock_for_read() {
  return run(m_valid, m_lock, pthread_rwlock_rdlock, RDLOCK, m_failure);
}

bool XSharedReadWriteLock::try_lock_for_read() {
  return run(m_valid, m_lock, pthread_rwlock_tryrdlock, TRYRDLOCK, m_failure);
}

bool XSharedReadWriteLock::lock_for_write() {
  return run(m_valid, m_lock, pthread_rwlock_wrlock, WRLOCK, m_failure);
}

bool XSharedReadWriteLock::try_lock_for_write() {
  return run(m_valid, m_lock, pthread_rwlock_trywrlock, TRYWRLOCK, m_failure);
}

bool XSharedReadWriteLock::unlock() {
  return run(m_valid, m_lock, pthread_rwlock_unlock, UNLOCK, m_failure);
}
