#pragma once

/// @file
/// Facts about the machine: host name, processor architecture and a display name of the
/// operating system. Each is read afresh on every call; none throws for system failures.

#include <string>

#include "xcommon/xcommon_export.h"

namespace XUtils {

/// The kernel's node name; empty, with one WARNING line in the log, when uname fails.
XCOMMON_EXPORT std::string getHostname();

/// The kernel's machine name as it gives it ("x86_64", "aarch64"); "x86_64" when uname fails.
XCOMMON_EXPORT std::string get_architecture_name();

/// PRETTY_NAME of /etc/os-release (or, when that cannot be opened, /usr/lib/os-release), else
/// "NAME VERSION" or NAME; without any of them "sysname release" from uname, or "Linux".
XCOMMON_EXPORT std::string get_pretty_os_name();

}  // namespace XUtils
