// xtool json [--compact] [--lines] [FILE]: JSON reprinted through libxjson.
#include <cstdio>
#include <string>
#include <string_view>

#include "tool.h"
#include <xjson/xjson.h>

namespace xtool {

namespace {

constexpr XCmdLine::Option OPTIONS[] = {
    {'c', "compact", XCmdLine::NONE}, {'l', "lines", XCmdLine::NONE}, {0, nullptr, XCmdLine::END}};

// "NAME:LINE:COLUMN: REASON" on standard error, where compilers put theirs, so that editors
// find the place; after what was printed before it. Returns REFUSED.
int placeError(const std::string& name, std::size_t line, const XJson::ParseError& error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s:%zu:%zu: %.*s\n", name.c_str(), line, error.column,
               static_cast<int>(error.reason.size()), error.reason.data());
  return REFUSED;
}

// Whether a line holds nothing but JSON whitespace.
bool blank(std::string_view line) {
  for (const char c : line) {
    if (static_cast<unsigned char>(c) - 1U >= 32U) return false;
  }
  return true;
}

// Newline-delimited JSON: one document a line, blank lines skipped, each printed compact;
// stops at the first line that is not one document.
int printLines(std::string_view text, const std::string& name) {
  for (std::size_t line = 1;; ++line) {
    const std::size_t end = text.find('\n');
    const std::string_view one = text.substr(0, end);
    if (!blank(one)) {
      XJson::ParseError error;
      const XJson::Document doc = XJson::Document::fromJson(one, &error, XJson::JsonRest::Refuse);
      if (!doc.is_valid()) return placeError(name, line, error);
      printLine(doc.toJson(XJson::JsonFormat::Compact));
    }
    if (end == std::string_view::npos) return OK;
    text.remove_prefix(end + 1);
  }
}

int run(Args& args) {
  if (args.operands.size() > 1) return usageError("json takes at most one file");
  const std::string file = args.operands.empty() ? "" : args.operands[0];
  std::string text, error;
  if (!readInput(file, text, error)) return refuse(error);
  const std::string name = file.empty() || file == "-" ? "standard input" : file;
  if (args.has('l')) return printLines(text, name);
  XJson::ParseError place;
  const XJson::Document doc = XJson::Document::fromJson(text, &place);
  if (!doc.is_valid()) return placeError(name, place.line, place);
  printLine(doc.toJson(args.has('c') ? XJson::JsonFormat::Compact : XJson::JsonFormat::Formatted));
  return OK;
}

const Registration REGISTRATION({
    .name = "json",
    .synopsis = "[--compact] [--lines] [FILE]",
    .summary = "reprint JSON",
    .description = "Reads JSON from FILE or standard input and prints it formatted, or with "
                   "--compact on one line. With --lines the input is newline-delimited JSON, one "
                   "document a line (blank lines are skipped), and each is printed on one line. "
                   "Integers keep all their digits. Text that is not JSON is told as "
                   "FILE:LINE:COLUMN: REASON, columns counting characters, and ends the command "
                   "with status 1 after the documents before it.",
    .options = OPTIONS,
    .run = run,
});

}  // namespace

}  // namespace xtool
