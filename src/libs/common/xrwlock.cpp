#include "xcommon/xrwlock.h"

#include "internal/failure_word.h"
#include "xcommon/xutils/text.h"

namespace XInternal {

namespace {

// By RWLockCore::Call.
constexpr const char* CALL_NAMES[] = {"",
                                      "pthread_rwlock_init",
                                      "pthread_rwlock_rdlock",
                                      "pthread_rwlock_tryrdlock",
                                      "pthread_rwlock_wrlock",
                                      "pthread_rwlock_trywrlock",
                                      "pthread_rwlock_unlock"};

int initProcessShared(pthread_rwlock_t* lock) {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  const int rc = pthread_rwlock_init(lock, &attr);
  pthread_rwlockattr_destroy(&attr);
  return rc;
}

}  // namespace

bool RWLockCore::attach(pthread_rwlock_t* lock, bool processShared) {
  const int rc = processShared ? initProcessShared(lock) : pthread_rwlock_init(lock, nullptr);
  if (rc != 0) return fail(INIT, rc);
  m_lock = lock;
  return true;
}

pthread_rwlock_t* RWLockCore::detach() {
  pthread_rwlock_t* const lock = m_lock;
  m_lock = nullptr;
  return lock;
}

bool RWLockCore::fail(Call call, int err) { return recordFailure(m_failure, call, err); }

std::string RWLockCore::error(const std::string& otherwise) const {
  const Failure failure = readFailure(m_failure);
  if (failure.call == NONE || failure.call > UNLOCK) return otherwise;
  return XUtils::strerror(failure.error, CALL_NAMES[failure.call]);
}

}  // namespace XInternal

XReadWriteLock::XReadWriteLock() { m_core.attach(&m_lock, false); }

// Destroying a lock that was never initialised is undefined, so only a valid one is.
XReadWriteLock::~XReadWriteLock() {
  if (m_core.detach() != nullptr) pthread_rwlock_destroy(&m_lock);
}

std::string XReadWriteLock::error() const { return m_core.error({}); }

XSharedReadWriteLock::XSharedReadWriteLock(const char* name)
    : m_memory(name, sizeof(pthread_rwlock_t)) {
  if (!m_memory.is_valid()) {
    m_setupError = m_memory.error();
    return;
  }
  m_core.attach(static_cast<pthread_rwlock_t*>(m_memory.address()), true);
}

// No pthread_rwlock_destroy: forked processes may still hold or wait on the lock.
XSharedReadWriteLock::~XSharedReadWriteLock() { m_core.detach(); }

std::string XSharedReadWriteLock::error() const { return m_core.error(m_setupError); }
