#include "xcommon/xutils/ids.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace XInternal {

__thread int t_pid = -1;
__thread std::uint64_t t_tid = ~std::uint64_t{0};

namespace {

std::atomic<unsigned char> g_forkHandlerRegistered{0};

// Runs in the child, whose only thread is the one that forked.
void resetIdsInChild() {
  t_tid = ~std::uint64_t{0};
  t_pid = -1;
}

void registerForkHandlerOnce() {
  unsigned char expected = 0;
  if (g_forkHandlerRegistered.compare_exchange_strong(expected, 1))
    pthread_atfork(nullptr, nullptr, resetIdsInChild);
}

}  // namespace

int readPid() {
  registerForkHandlerOnce();
  t_pid = static_cast<int>(getpid());
  return t_pid;
}

std::uint64_t readTid() {
  registerForkHandlerOnce();
  t_tid = static_cast<std::uint64_t>(syscall(SYS_gettid));
  return t_tid;
}

}  // namespace XInternal
