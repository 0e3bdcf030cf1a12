#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xcommon/xcommon_export.h"

namespace XUtils {

namespace detail {
// Per-thread id caches; all bits set until read in this thread, and again in a forked child.
// initial-exec keeps the inline read below a single %fs-relative load, with no call.
extern XCOMMON_EXPORT __thread int t_pid __attribute__((tls_model("initial-exec")));
extern XCOMMON_EXPORT __thread std::uint64_t t_tid __attribute__((tls_model("initial-exec")));
XCOMMON_EXPORT int readPid();
XCOMMON_EXPORT std::uint64_t readTid();
}  // namespace detail

// Lower-case hex, two digits per byte, high half first.
XCOMMON_EXPORT std::string toHexStr(const void* data, std::size_t len);

// Decodes hex pairs (either case) into at most `size` bytes and returns how many were written.
// Whitespace may stand between pairs, not inside one. Never fails: decoding stops at the first
// byte that does not continue the hex text, or once `size` bytes are written, and `consumed`
// (when not null) receives the position where it stopped.
XCOMMON_EXPORT std::size_t fromHexStr(std::string_view text, void* out, std::size_t size,
                                      std::size_t* consumed = nullptr);
// The same for a NUL-terminated text (null or empty: 0, and `end` = text).
XCOMMON_EXPORT std::size_t fromHexStr(const char* text, void* out, std::size_t size,
                                      const char** end = nullptr);

// Standard alphabet, padded with '=' to a multiple of four characters.
XCOMMON_EXPORT std::string base64Encode(const void* data, std::size_t len);
// URL-safe alphabet ('-' and '_'), no padding: 1, 2, 3 bytes give 2, 3, 4 characters.
XCOMMON_EXPORT std::string base64urlEncode(const void* data, std::size_t len);

// Decode a NUL-terminated text into at most `size` bytes; returns the count, or -1 when the
// buffer is too small for the data or anything but '=' padding follows it (the buffer may then
// hold part of the result). Padding is optional and its count is not checked. One stray byte
// outside the alphabet at the very end (a line feed, say) is tolerated. Never writes past
// `size`. A null text gives 0.
XCOMMON_EXPORT int base64Decode(const char* text, void* out, std::size_t size);
XCOMMON_EXPORT int base64urlDecode(const char* text, void* out, std::size_t size);

// "prefix : description" of a system error number; the description alone for a null prefix.
XCOMMON_EXPORT std::string strerror(int err, const char* prefix = nullptr);

// True for "1", "ON", "YES", "TRUE" in any letter case; the text ends at its first NUL byte.
// No trimming: " yes" and "yes " are false.
XCOMMON_EXPORT bool is_true(std::string_view text);

// A duration in words: "1 second", "59 seconds", "1.5 minutes", "1 hour", "24.0 hours", ...
XCOMMON_EXPORT std::string format_time_interval(int seconds);

// Path parts split at '/' only, trailing slashes ignored: basename("a/b/") is "b",
// dirname("/a") and dirname("/") are empty.
XCOMMON_EXPORT std::string basename(const std::string& path);
XCOMMON_EXPORT std::string dirname(const std::string& path);

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
