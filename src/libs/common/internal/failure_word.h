#pragma once

#include <atomic>
#include <cstdint>

namespace XInternal {

// A lock's last failure as one word, call << 32 | error number: recorded and read without a
// lock, so no thread waits for it, nor a child forked while another thread records one.
struct Failure {
  std::uint32_t call;  // 0: none recorded
  int error;
};

// Records a failure; false, for the caller to return.
inline bool recordFailure(std::atomic<std::uint64_t>& word, std::uint32_t call, int error) {
  word.store(std::uint64_t{call} << 32 | static_cast<std::uint32_t>(error),
             std::memory_order_relaxed);
  return false;
}

inline Failure readFailure(const std::atomic<std::uint64_t>& word) {
  const std::uint64_t value = word.load(std::memory_order_relaxed);
  return {static_cast<std::uint32_t>(value >> 32), static_cast<int>(value & 0xffffffffU)};
}

}  // namespace XInternal
