// xtool sysinfo: the facts the library reads about this machine and process.
#include <cstdio>

#include "commands.h"
#include "tool.h"
#include <xcommon/xutils/ids.h>
#include <xcommon/xutils/system_info.h>

namespace xtool {

int sysinfoCommand(int argc, char** argv) {
  static const XCmdLine::Option table[] = {{0, nullptr, XCmdLine::END}};
  Args args;
  if (const int status = parse(table, argc, argv, args); status != OK) return status;
  if (args.help) {
    std::fputs(
        "usage: xtool sysinfo\n  Host name, architecture, operating system and process id.\n",
        stdout);
    return OK;
  }
  if (!args.operands.empty()) return usageError("sysinfo takes no operands");
  std::printf("hostname: %s\n", XUtils::getHostname().c_str());
  std::printf("architecture: %s\n", XUtils::get_architecture_name().c_str());
  std::printf("os: %s\n", XUtils::get_pretty_os_name().c_str());
  std::printf("pid: %d\n", XUtils::get_pid());
  return OK;
}

}  // namespace xtool
