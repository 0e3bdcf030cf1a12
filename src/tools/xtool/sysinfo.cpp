// xtool sysinfo: the facts the library reads about this machine and process.
#include <cstdio>

#include "commands.h"
#include "tool.h"
#include <xcommon/xutils/ids.h>
#include <xcommon/xutils/system_info.h>

namespace xtool {

int sysinfoCommand(int argc, char** argv) {
  static const char* const USAGE_TEXT =
      "usage: xtool sysinfo\n  Host name, architecture, operating system and process id.\n";
  Args args;
  if (const auto done = parse(NO_OPTIONS, USAGE_TEXT, argc, argv, args)) return *done;
  if (!args.operands.empty()) return usageError("sysinfo takes no operands");
  std::printf("hostname: %s\n", XUtils::getHostname().c_str());
  std::printf("architecture: %s\n", XUtils::get_architecture_name().c_str());
  std::printf("os: %s\n", XUtils::get_pretty_os_name().c_str());
  std::printf("pid: %d\n", XUtils::get_pid());
  return OK;
}

}  // namespace xtool
