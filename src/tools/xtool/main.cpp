// xtool: the libraries' services from the shell. Global options come before the command; the
// command's own words are parsed against the options it registered.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "tool.h"
#include <xcommon/xlogger.h>

namespace {

// Long only: an id no one types as a short option.
constexpr char HELP_ALL = 4;

constexpr XCmdLine::Option GLOBAL_OPTIONS[] = {{HELP_ALL, "help-all", XCmdLine::NONE},
                                               {'V', "version", XCmdLine::NONE},
                                               {0, nullptr, XCmdLine::END}};

// The tool's help; with `all`, every command's usage and some examples, which is what the
// manual page is made from.
std::string helpText(bool all) {
  std::string text =
      "Usage: xtool [-v]... COMMAND [ARGS]...\n"
      "  or:  xtool COMMAND --help\n"
      "  or:  xtool --help-all | --version\n"
      "Runs the services of the xlibs libraries from the shell: schedules, access tokens, JSON,\n"
      "Base64 and hex coding, wire messages, command lines, file scans and host facts.\n\n"
      "Commands:\n";
  for (const xtool::Command& c : xtool::commands()) {
    if (!all) {
      char row[160];
      std::snprintf(row, sizeof row, "  %-8s %s\n", c.name, c.summary);
      text += row;
      continue;
    }
    // Each form on one line with " | ", the description below at column 22.
    text.append("  ").append(c.name);
    if (c.synopsis[0] != '\0') text.append(" ").append(c.synopsis);
    text += '\n';
    text += xtool::wrapped(c.description, 22);
  }
  text +=
      "\nExit status:\n"
      "  0   done\n"
      "  1   input refused, or the input could not be read or the output written\n"
      "  2   usage error\n"
      "\nOptions:\n"
      "  -v, --verbose   show more of the libraries' log on standard error; repeatable\n"
      "  -h, --help      show this help, or after COMMAND that command's help\n"
      "      --help-all  show this help with every command's usage, and examples\n"
      "  -V, --version   show the version\n"
      "\nEnvironment:\n"
      "  NO_COLOR        when not empty, the log on standard error is not coloured\n"
      "  FORCE_COLOR     when not empty, the log is coloured even when standard error is\n"
      "                  not a terminal, whatever NO_COLOR says\n";
  if (all)
    text +=
        "\nExamples:\n"
        "  $ xtool cron '0 30 9 * * MON-FRI' --count 3\n"
        "  $ xtool cron '0 */5 * * * *' --missed 2024-03-01T06:00:00Z --count 1000\n"
        "  $ xtool json --compact report.json\n"
        "  $ xtool base64 decode --url < token.txt > token.bin\n"
        "  $ xtool msg decode --json xavro.protobuf.Monitor.Event event.bin\n"
        "  $ xtool scan /var/log '*.log' --recursive --null | xargs -0 ls -l\n";
  return text;
}

int run(int argc, char** argv) {
  XLogger::instance()->addSink(std::make_unique<XLogger::StdOutSink>(stderr, stderr, stderr),
                               XLogger::WARNING);
  // The shell's completion asks the tool itself, so the words have one source.
  if (argc > 1 && std::strcmp(argv[1], "--complete") == 0)
    return xtool::complete(argc - 2, argv + 2);

  int first = 1;  // the command's word
  while (first < argc && argv[first][0] == '-' && argv[first][1] != '\0') ++first;
  xtool::Args global;
  if (const auto done = xtool::parse(GLOBAL_OPTIONS, helpText(false), first, argv, global))
    return *done;
  if (global.has(HELP_ALL)) {
    xtool::print(helpText(true));
    return xtool::OK;
  }
  if (global.has('V')) {
    xtool::printLine("xtool " XTOOL_VERSION);
    return xtool::OK;
  }
  if (first == argc) return xtool::usageError("no command given");
  const xtool::Command* command = xtool::findCommand(argv[first]);
  if (command == nullptr)
    return xtool::usageError("unknown command " + xtool::inQuotes(argv[first]));
  xtool::Args args;
  if (const auto done = xtool::parse(command->options, xtool::commandHelp(*command), argc - first,
                                     argv + first, args))
    return *done;
  return command->run(args);
}

}  // namespace

int main(int argc, char** argv) {
  xtool::guardStandardDescriptors();
  int status = xtool::OK;
  // Whatever goes wrong ends in a message and a status, never in abort().
  try {
    status = run(argc, argv);
  } catch (const std::exception& e) {
    status = xtool::refuse(std::string("internal error: ") + e.what());
  } catch (...) {
    status = xtool::refuse("internal error: unknown exception");
  }
  return xtool::finishOutput(status);
}
