#pragma once

// Process and thread ids, cached per thread so that the logger pays one load for each, and
// kept right in a child made by fork().

#include <cstdint>

#include "xcommon/xcommon_export.h"

namespace XUtils {

namespace detail {
// Per-thread id caches; all bits set until read in this thread, and again in a forked child.
// The default TLS model, so that the library needs no room in the static TLS block and loads
// with dlopen late in a process; an executable still reads them with one %fs-relative load.
extern XCOMMON_EXPORT __thread int t_pid;
extern XCOMMON_EXPORT __thread std::uint64_t t_tid;
XCOMMON_EXPORT int readPid();
XCOMMON_EXPORT std::uint64_t readTid();
}  // namespace detail

// Process id, cached per thread. Right in a child made by fork(): the first call registers a
// child handler that clears the caches.
inline int get_pid() {
  const int pid = detail::t_pid;
  return pid != -1 ? pid : detail::readPid();
}

// Kernel id of the calling thread (gettid), cached per thread and reset in a forked child.
inline std::uint64_t get_tid() {
  const std::uint64_t tid = detail::t_tid;
  return tid != ~std::uint64_t{0} ? tid : detail::readTid();
}

}  // namespace XUtils
