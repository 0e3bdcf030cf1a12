// xtool scan DIR PATTERN [--recursive]: files whose names match a wildcard.
#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "commands.h"
#include "tool.h"
#include <xcommon/xutils/directory_scanner.h>
#include <xcommon/xutils/text.h>

namespace xtool {

namespace {
constexpr const char* USAGE_TEXT =
    "usage: xtool scan DIR PATTERN [--recursive]\n"
    "  Lists the regular files in DIR (and, with --recursive, below it) whose names match the\n"
    "  shell wildcard PATTERN, one a line. Problems met on the way go to standard error.\n";
}

int scanCommand(int argc, char** argv) {
  static const XCmdLine::Option table[] = {{'r', "recursive", XCmdLine::NONE},
                                           {0, nullptr, XCmdLine::END}};
  Args args;
  if (const auto done = parse(table, USAGE_TEXT, argc, argv, args)) return *done;
  if (args.operands.size() != 2) return usageError("scan needs a directory and a pattern");
  const std::string& dir = args.operands[0];

  // The scanner reports an unreadable start like any other directory; the tool fails on it.
  if (DIR* d = opendir(dir.empty() ? "/" : dir.c_str())) {
    closedir(d);
  } else {
    return refuse(XUtils::strerror(errno, ("cannot open " + dir).c_str()));
  }
  XUtils::DirectoryScanner scanner(dir, [](const std::string& message) {
    std::fprintf(stderr, "xtool: %s\n", message.c_str());
  });
  scanner.scan(args.operands[1], args.has('r'));
  for (const std::string& file : scanner.files()) std::printf("%s\n", file.c_str());
  return OK;
}

}  // namespace xtool
