#include "alloc_hook.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> g_count{0};
std::atomic<long> g_failAt{0};  // count at which to fail; 0: never
std::atomic<bool> g_failed{false};

void* allocate(std::size_t size, std::size_t alignment) noexcept {
  const long n = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
  const long at = g_failAt.load(std::memory_order_relaxed);
  if (at != 0 && n == at) {
    g_failed.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  // aligned_alloc wants a size that is a multiple of the alignment.
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

void* allocateOrThrow(std::size_t size, std::size_t alignment) {
  if (void* p = allocate(size, alignment)) return p;
  throw std::bad_alloc();
}

}  // namespace

namespace AllocHook {
long count() { return g_count.load(std::memory_order_relaxed); }
void failAt(long nth) {
  g_failed.store(false, std::memory_order_relaxed);
  g_failAt.store(nth == 0 ? 0 : count() + nth, std::memory_order_relaxed);
}
bool failed() { return g_failed.load(std::memory_order_relaxed); }
}  // namespace AllocHook

constexpr std::size_t PLAIN = alignof(std::max_align_t);

void* operator new(std::size_t n) { return allocateOrThrow(n, PLAIN); }
void* operator new[](std::size_t n) { return allocateOrThrow(n, PLAIN); }
void* operator new(std::size_t n, std::align_val_t a) {
  return allocateOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return allocateOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, PLAIN); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, PLAIN); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
