// xtool json [--compact] [FILE]: JSON reprinted through libxjson.
#include <string>

#include "tool.h"
#include <xjson/xjson.h>

namespace xtool {

namespace {

constexpr XCmdLine::Option OPTIONS[] = {{'c', "compact", XCmdLine::NONE},
                                        {0, nullptr, XCmdLine::END}};

int run(Args& args) {
  if (args.operands.size() > 1) return usageError("json takes at most one file");
  std::string text, error;
  if (!readInput(args.operands.empty() ? "" : args.operands[0], text, error)) return refuse(error);
  const XJson::Document doc = XJson::Document::fromJson(text);
  if (!doc.is_valid()) return refuse("the input is not JSON");
  printLine(doc.toJson(args.has('c') ? XJson::JsonFormat::Compact : XJson::JsonFormat::Formatted));
  return OK;
}

const Registration REGISTRATION({
    .name = "json",
    .synopsis = "[--compact] [FILE]",
    .summary = "reprint JSON",
    .description = "Reads JSON from FILE or standard input and prints it formatted, or with "
                   "--compact on one line.",
    .options = OPTIONS,
    .run = run,
});

}  // namespace

}  // namespace xtool
