// xtool json [--compact] [FILE]: JSON reprinted through libxjson.
#include <cstdio>

#include "commands.h"
#include "tool.h"
#include <xjson/xjson.h>

namespace xtool {

namespace {
constexpr const char* USAGE_TEXT =
    "usage: xtool json [--compact] [FILE]\n"
    "  Reads JSON from FILE or standard input and prints it formatted, or on one line.\n";
}

int jsonCommand(int argc, char** argv) {
  static const XCmdLine::Option table[] = {{'c', "compact", XCmdLine::NONE},
                                           {0, nullptr, XCmdLine::END}};
  Args args;
  if (const auto done = parse(table, USAGE_TEXT, argc, argv, args)) return *done;
  if (args.operands.size() > 1) return usageError("json takes at most one file");

  std::string text, error;
  if (!readInput(args.operands.empty() ? "" : args.operands[0], text, error)) return refuse(error);
  const XJson::Document doc = XJson::Document::fromJson(text);
  if (!doc.is_valid()) return refuse("the input is not JSON");
  const std::string out =
      doc.toJson(args.has('c') ? XJson::JsonFormat::Compact : XJson::JsonFormat::Formatted);
  std::printf("%s\n", out.c_str());
  return OK;
}

}  // namespace xtool
