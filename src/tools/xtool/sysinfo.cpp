// xtool sysinfo: the facts the library reads about this machine and process.
#include <string>

#include "tool.h"
#include <xcommon/xutils/ids.h>
#include <xcommon/xutils/system_info.h>

namespace xtool {

namespace {

int run(Args& args) {
  if (!args.operands.empty()) return usageError("sysinfo takes no operands");
  printLine("hostname: " + XUtils::getHostname());
  printLine("architecture: " + XUtils::get_architecture_name());
  printLine("os: " + XUtils::get_pretty_os_name());
  printLine("pid: " + std::to_string(XUtils::get_pid()));
  return OK;
}

const Registration REGISTRATION({
    .name = "sysinfo",
    .synopsis = "",
    .summary = "host, architecture, system and process id",
    .description = "Prints the host name, architecture, operating system and process id.",
    .options = NO_OPTIONS,
    .run = run,
});

}  // namespace

}  // namespace xtool
