// xtool token new|check: access tokens from the shell.
#include <cstdio>

#include "commands.h"
#include "tool.h"
#include <xcommon/xaccesstoken.h>

namespace xtool {

namespace {
constexpr const char* USAGE_TEXT =
    "usage: xtool token new [--validity SECONDS] [--flag 0|1]\n"
    "       xtool token check TEXT\n"
    "  new prints a token valid for SECONDS (default 60) carrying the flag byte (default 0);\n"
    "  check prints its expiry and flag, or exits 1 when it is malformed, altered or expired.\n";
}

int tokenCommand(int argc, char** argv) {
  static const XCmdLine::Option table[] = {{'V', "validity", XCmdLine::REQUIRED},
                                           {'f', "flag", XCmdLine::REQUIRED},
                                           {0, nullptr, XCmdLine::END}};
  Args args;
  if (const auto done = parse(table, USAGE_TEXT, argc, argv, args)) return *done;
  const std::string action = args.operands.empty() ? "" : args.operands[0];

  if (action == "new" && args.operands.size() == 1) {
    long long validity = 60, flag = 0;
    if (args.has('V') && !parseInt(args.options['V'], INT32_MIN, INT32_MAX, validity))
      return usageError("--validity takes whole seconds");
    if (args.has('f') && !parseInt(args.options['f'], 0, 1, flag))
      return usageError("--flag takes 0 or 1");
    XAccessToken::init();
    const XAccessToken token(static_cast<int>(validity), static_cast<unsigned char>(flag));
    std::printf("%s\n", token.text().c_str());
    return OK;
  }
  if (action == "check" && args.operands.size() == 2) {
    const std::string& text = args.operands[1];
    const XAccessToken token(text.c_str(), text.size());
    // The library has logged the reason at WARNING.
    if (!token.is_valid()) return refuse("access token rejected");
    std::printf("expires %s flag %d\n", utcText(token.expiry()).c_str(), token.flag());
    return OK;
  }
  return usageError("token needs 'new' or 'check TEXT'");
}

}  // namespace xtool
