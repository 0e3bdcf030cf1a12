// xtool token new|check: access tokens from the shell.
#include <string>

#include "tool.h"
#include <xcommon/xaccesstoken.h>

namespace xtool {

namespace {

// The record in unpadded base64url. Any other length is refused here, before the library
// would log the whole text.
constexpr std::size_t TEXT_SIZE = (XAccessToken::RECORD_SIZE * 4 + 2) / 3;

constexpr XCmdLine::Option OPTIONS[] = {{'V', "validity", XCmdLine::REQUIRED},
                                        {'f', "flag", XCmdLine::REQUIRED},
                                        {'n', "count", XCmdLine::REQUIRED},
                                        {0, nullptr, XCmdLine::END}};

int run(Args& args) {
  const std::string action = args.operands.empty() ? "" : args.operands[0];
  if (action == "new" && args.operands.size() == 1) {
    long long validity = 60, flag = 0, count = 1;
    if (args.has('V') && !parseInt(args.options['V'], INT32_MIN, INT32_MAX, validity))
      return usageError("--validity takes whole seconds");
    if (args.has('f') && !parseInt(args.options['f'], 0, 1, flag))
      return usageError("--flag takes 0 or 1");
    if (args.has('n') && !parseInt(args.options['n'], 1, 1000000, count))
      return usageError("--count takes 1 to 1000000");
    for (long long i = 0; i < count; ++i)
      printLine(XAccessToken(static_cast<int>(validity), static_cast<unsigned char>(flag)).text());
    return OK;
  }
  if (action == "check" && args.operands.size() == 2) {
    const std::string& text = args.operands[1];
    if (text.size() != TEXT_SIZE) return refuse("not an access token: " + inQuotes(text));
    const XAccessToken token(text.c_str(), text.size());
    // The library has logged the reason at WARNING.
    if (!token.is_valid()) return refuse("access token rejected");
    printLine("expires " + utcText(token.expiry()) + " flag " + std::to_string(token.flag()));
    return OK;
  }
  return usageError("token needs 'new' or 'check TEXT'");
}

const Registration REGISTRATION({
    .name = "token",
    .synopsis = "new [--validity SECONDS] [--flag 0|1] [--count N] | check TEXT",
    .summary = "make and check access tokens",
    .description = "new prints N tokens (default 1), one a line, each valid for SECONDS "
                   "(default 60) and carrying the flag byte (default 0); their random bytes come "
                   "from the kernel, so tokens made at the same moment, by one process or many, "
                   "differ. check prints a token's expiry and flag, or exits 1 when it is "
                   "malformed, altered or expired. A token may start with '-': put '--' before it.",
    .options = OPTIONS,
    .run = run,
});

}  // namespace

}  // namespace xtool
