// xtool split TEXT: a command line split into its pieces.
#include <string>

#include "tool.h"
#include <xcommon/xutils/command_line.h>

namespace xtool {

namespace {

int run(Args& args) {
  if (args.operands.size() != 1) return usageError("split needs one text");
  const XUtils::CmdLine line(args.operands[0]);
  if (!line.is_valid()) return refuse(clipped(line.error()));
  printLine(line.program());
  for (const std::string& arg : line.args()) printLine(arg);
  return OK;
}

const Registration REGISTRATION({
    .name = "split",
    .synopsis = "TEXT",
    .summary = "split a command line",
    .description = "Splits TEXT as a command line (single and double quotes, backslash escapes) "
                   "and prints the program and then each argument, one a line.",
    .options = NO_OPTIONS,
    .run = run,
});

}  // namespace

}  // namespace xtool
