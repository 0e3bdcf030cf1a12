#include "internal/fork_guard.h"

#include <pthread.h>

#include <algorithm>
#include <vector>

namespace XInternal {

namespace {

class ForkGuards {
 public:
  static ForkGuards& get() {
    // Never destroyed: guarded objects may outlive other statics (the logger's sinks do).
    static ForkGuards* const all = [] {
      auto* made = new ForkGuards();
      pthread_atfork(prepare, release, release);
      return made;
    }();
    return *all;
  }

  void add(std::mutex& mutex) {
    const std::lock_guard<std::mutex> lock(m_guard);
    m_mutexes.push_back(&mutex);
  }
  std::mutex& libc() { return m_libc; }
  void remove(std::mutex& mutex) {
    const std::lock_guard<std::mutex> lock(m_guard);
    std::erase(m_mutexes, &mutex);
  }

 private:
  ForkGuards() { m_mutexes.push_back(&m_libc); }

  static void prepare() {
    ForkGuards& all = get();
    all.m_guard.lock();
    for (std::mutex* mutex : all.m_mutexes) mutex->lock();
  }
  static void release() {
    ForkGuards& all = get();
    for (auto it = all.m_mutexes.rbegin(); it != all.m_mutexes.rend(); ++it) (*it)->unlock();
    all.m_guard.unlock();
  }

  std::mutex m_guard;  // held from the fork's prepare step to its parent or child step
  std::mutex m_libc;
  std::vector<std::mutex*> m_mutexes;
};

}  // namespace

void guardFork(std::mutex& mutex) { ForkGuards::get().add(mutex); }

void unguardFork(std::mutex& mutex) { ForkGuards::get().remove(mutex); }

std::mutex& libcMutex() { return ForkGuards::get().libc(); }

}  // namespace XInternal
