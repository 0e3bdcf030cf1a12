#include "xcommon/xlog_limit.h"

namespace XInternal {

bool EveryN::restart(std::uint64_t pid) noexcept {
  std::uint64_t seen = m_word.load(std::memory_order_relaxed);
  while ((seen >> COUNT_BITS) != pid)
    if (m_word.compare_exchange_weak(seen, (pid << COUNT_BITS) | 1, std::memory_order_relaxed))
      return true;
  return false;
}

void EveryInterval::restart(std::uint64_t pid) noexcept {
  std::uint64_t seen = m_kept.load(std::memory_order_relaxed);
  for (;;) {
    if ((seen >> COUNT_BITS) == pid) {  // a thread of ours started it first: count this call
      m_kept.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (m_kept.compare_exchange_weak(seen, (pid << COUNT_BITS) | 1, std::memory_order_relaxed))
      return;
  }
}

}  // namespace XInternal
