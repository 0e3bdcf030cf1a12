#pragma once

/// @file
/// Small text helpers: system error texts, truth words, durations in words and path parts.

#include <string>
#include <string_view>

#include "xcommon/xcommon_export.h"

namespace XInternal {

// What follows the last '/' of `path`, or all of it; empty when it ends in '/'. A suffix, so
// the name of a NUL-terminated path is NUL-terminated too. The one base-name rule of the
// library: basename() applies it after dropping trailing slashes, and XLOG at compile time.
constexpr std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace XInternal

/// The library's free functions and small helper classes, one header per topic under
/// xcommon/xutils/: text, encoding, ids, system facts, command lines and directory scans.
namespace XUtils {

/// "prefix : description" of a system error number; the description alone for a null prefix.
XCOMMON_EXPORT std::string strerror(int err, const char* prefix = nullptr);

/// True for "1", "ON", "YES", "TRUE" in any letter case; the text ends at its first NUL byte.
/// No trimming: " yes" and "yes " are false.
XCOMMON_EXPORT bool is_true(std::string_view text);

/// A duration in words: "1 second", "59 seconds", "1.5 minutes", "1 hour", "24.0 hours", ...
XCOMMON_EXPORT std::string format_time_interval(int seconds);

/// The last component of `path`, split at '/' only with trailing slashes ignored: basename("a/b/")
/// is "b".
XCOMMON_EXPORT std::string basename(const std::string& path);
/// All but the last component of `path`, by the same rules and without trailing slashes:
/// dirname("/a") and dirname("/") are empty, as is a path without '/'.
XCOMMON_EXPORT std::string dirname(const std::string& path);

}  // namespace XUtils
