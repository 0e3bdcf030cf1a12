#pragma once

/// @file
/// Process and thread ids, cached per thread so that the logger pays one load for each, and
/// kept right in a child made by fork().

#include <cstdint>

#include "xcommon/xcommon_export.h"

// Not for callers: what the inline get_pid() and get_tid() read, exported only for them.
namespace XInternal {
// Per-thread id caches; all bits set until read in this thread, and again in a forked child.
// The default TLS model, so that the library needs no room in the static TLS block and loads
// with dlopen late in a process; an executable still reads them with one %fs-relative load.
extern XCOMMON_EXPORT __thread int t_pid;
extern XCOMMON_EXPORT __thread std::uint64_t t_tid;
XCOMMON_EXPORT int readPid();  // fills the cache, registering the fork handler once
XCOMMON_EXPORT std::uint64_t readTid();
}  // namespace XInternal

namespace XUtils {

/// Process id, cached per thread. Right in a child made by fork(): the first call registers a
/// child handler that clears the caches.
inline int get_pid() {
  const int pid = XInternal::t_pid;
  return pid != -1 ? pid : XInternal::readPid();
}

/// Kernel id of the calling thread (gettid), cached per thread and reset in a forked child.
inline std::uint64_t get_tid() {
  const std::uint64_t tid = XInternal::t_tid;
  return tid != ~std::uint64_t{0} ? tid : XInternal::readTid();
}

}  // namespace XUtils
