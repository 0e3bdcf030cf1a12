// xtool split TEXT: a command line split into its pieces.
#include <cstdio>

#include "commands.h"
#include "tool.h"
#include <xcommon/xutils/command_line.h>

namespace xtool {

namespace {
constexpr const char* USAGE_TEXT =
    "usage: xtool split TEXT\n"
    "  Splits TEXT as a command line (single and double quotes, backslash escapes) and prints\n"
    "  the program and then each argument, one a line.\n";
}

int splitCommand(int argc, char** argv) {
  Args args;
  if (const auto done = parse(NO_OPTIONS, USAGE_TEXT, argc, argv, args)) return *done;
  if (args.operands.size() != 1) return usageError("split needs one text");
  const XUtils::CmdLine line(args.operands[0]);
  if (!line.is_valid()) return refuse(line.error());
  std::printf("%s\n", line.program().c_str());
  for (const std::string& arg : line.args()) std::printf("%s\n", arg.c_str());
  return OK;
}

}  // namespace xtool
