// xtool: the libraries' services from the shell. Global options come before the command; the
// command parses the rest of the words itself.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "tool.h"
#include <xcommon/xlogger.h>

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

constexpr Command COMMANDS[] = {
    {"cron", xtool::cronCommand, "EXPR [--from TIME] [--count N]   next times a schedule matches"},
    {"token", xtool::tokenCommand, "new [--validity S] [--flag 0|1] | check TEXT   access tokens"},
    {"json", xtool::jsonCommand, "[--compact] [FILE]   reprint JSON"},
    {"base64", xtool::base64Command, "encode|decode [--url] [FILE]   Base64 coding"},
    {"hex", xtool::hexCommand, "encode|decode [FILE]   hex coding"},
    {"msg", xtool::msgCommand, "types | decode|encode [--json] TYPE [FILE]   wire messages"},
    {"split", xtool::splitCommand, "TEXT   split a command line"},
    {"scan", xtool::scanCommand, "DIR PATTERN [--recursive]   find files by wildcard"},
    {"sysinfo", xtool::sysinfoCommand, "   host, architecture, system and process id"},
};

std::string helpText() {
  std::string text =
      "usage: xtool [-v...] COMMAND [ARGS...]\n"
      "       xtool COMMAND --help\n\n"
      "commands:\n";
  for (const Command& c : COMMANDS) {
    char row[160];
    std::snprintf(row, sizeof row, "  %-8s %s\n", c.name, c.summary);
    text += row;
  }
  return text +
         "\n-v (repeatable) shows more of the libraries' log on standard error.\n"
         "Exit status: 0 done, 1 input refused, 2 usage error.\n";
}

}  // namespace

int main(int argc, char** argv) {
  XLogger::instance()->addSink(std::make_unique<XLogger::StdOutSink>(stderr, stderr, stderr),
                               XLogger::WARNING);

  int first = 1;  // the command's word
  while (first < argc && argv[first][0] == '-' && argv[first][1] != '\0') ++first;
  xtool::Args global;
  if (const auto done = xtool::parse(xtool::NO_OPTIONS, helpText().c_str(), first, argv, global))
    return *done;
  if (first == argc) return xtool::usageError("no command given");
  for (const Command& c : COMMANDS) {
    if (std::strcmp(argv[first], c.name) == 0) return c.run(argc - first, argv + first);
  }
  return xtool::usageError(std::string("unknown command '") + argv[first] + "'");
}
