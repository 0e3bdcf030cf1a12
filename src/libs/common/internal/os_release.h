#pragma once

// The os-release reading behind XUtils::get_pretty_os_name, with the file paths left open so
// that tests can feed it files of their own. Private to the library and its tests.

#include <string>

#include "xcommon/xcommon_export.h"

namespace XUtils {
namespace detail {

// Reads `path`, or `fallbackPath` when `path` cannot be opened (a file that opens but holds no
// PRETTY_NAME or NAME goes straight to the uname fallback). Exported for the tests only.
XCOMMON_EXPORT std::string pretty_os_name_from(const char* path, const char* fallbackPath);

}  // namespace detail
}  // namespace XUtils
