// xtool scan DIR PATTERN [--recursive] [--null]: files whose names match a wildcard.
#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "tool.h"
#include <xcommon/xutils/directory_scanner.h>
#include <xcommon/xutils/text.h>

namespace xtool {

namespace {

constexpr XCmdLine::Option OPTIONS[] = {
    {'r', "recursive", XCmdLine::NONE}, {'0', "null", XCmdLine::NONE}, {0, nullptr, XCmdLine::END}};

int run(Args& args) {
  if (args.operands.size() != 2) return usageError("scan needs a directory and a pattern");
  const std::string& dir = args.operands[0];

  // The scanner reports an unreadable start like any other directory; the tool fails on it.
  if (DIR* d = opendir(dir.empty() ? "/" : dir.c_str())) {
    closedir(d);
  } else {
    return refuse("cannot open " + dir + ": " + XUtils::strerror(errno));
  }
  XUtils::DirectoryScanner scanner(dir, [](const std::string& message) {
    std::fprintf(stderr, "xtool: %s\n", message.c_str());
  });
  scanner.scan(args.operands[1], args.has('r'));
  // A name may hold a line feed; a NUL ends it unmistakably.
  const char end = args.has('0') ? '\0' : '\n';
  for (const std::string& file : scanner.files()) {
    print(file);
    print(std::string_view(&end, 1));
  }
  return OK;
}

const Registration REGISTRATION({
    .name = "scan",
    .synopsis = "DIR PATTERN [--recursive] [--null]",
    .summary = "find files by wildcard",
    .description = "Lists the regular files in DIR (and, with --recursive, below it) whose names "
                   "match the shell wildcard PATTERN, one a line, or with --null (-0) each ended "
                   "by a NUL instead, for names that hold line feeds. Problems met on the way go "
                   "to standard error.",
    .options = OPTIONS,
    .run = run,
});

}  // namespace

}  // namespace xtool
