// xtool base64|hex encode|decode [FILE]: the codecs over standard input or a file.
#include <optional>
#include <string>

#include "tool.h"
#include <xcommon/xutils/encoding.h>

namespace xtool {

namespace {

constexpr XCmdLine::Option BASE64_OPTIONS[] = {{'u', "url", XCmdLine::NONE},
                                               {0, nullptr, XCmdLine::END}};

// Reads the input of `encode|decode [FILE]`: empty with `decode` and `input` set, else the exit
// status.
std::optional<int> readCodecInput(const char* name, const Args& args, bool& decode,
                                  std::string& input) {
  const std::string action = args.operands.empty() ? "" : args.operands[0];
  if ((action != "encode" && action != "decode") || args.operands.size() > 2)
    return usageError(std::string(name) + " needs 'encode' or 'decode' and at most one file");
  decode = action == "decode";
  std::string error;
  if (!readInput(args.operands.size() == 2 ? args.operands[1] : "", input, error))
    return refuse(error);
  return std::nullopt;
}

int base64(Args& args) {
  bool decode = false;
  std::string input;
  if (const auto done = readCodecInput("base64", args, decode, input)) return *done;
  const bool url = args.has('u');
  if (!decode) {
    const std::string text = url ? XUtils::base64urlEncode(input.data(), input.size())
                                 : XUtils::base64Encode(input.data(), input.size());
    printLine(text);
    return OK;
  }
  const std::string text(trimmed(input));
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  const int n = url ? XUtils::base64urlDecode(text.c_str(), bytes.data(), bytes.size())
                    : XUtils::base64Decode(text.c_str(), bytes.data(), bytes.size());
  // The decoders read up to a NUL: a NUL inside the text would hide the rest.
  if (n < 0 || text.find('\0') != std::string::npos)
    return refuse(url ? "the input is not URL-safe Base64" : "the input is not Base64");
  print(std::string_view(bytes).substr(0, static_cast<std::size_t>(n)));
  return OK;
}

int hex(Args& args) {
  bool decode = false;
  std::string input;
  if (const auto done = readCodecInput("hex", args, decode, input)) return *done;
  if (!decode) {
    printLine(XUtils::toHexStr(input.data(), input.size()));
    return OK;
  }
  const std::string_view text = trimmed(input);
  std::string bytes(text.size() / 2, '\0');
  std::size_t consumed = 0;
  const std::size_t n = XUtils::fromHexStr(text, bytes.data(), bytes.size(), &consumed);
  if (consumed != text.size()) return refuse("the input is not hex");
  print(std::string_view(bytes).substr(0, n));
  return OK;
}

const Registration BASE64({
    .name = "base64",
    .synopsis = "encode|decode [--url] [FILE]",
    .summary = "Base64 coding",
    .description = "Standard Base64 (padded), or with --url the URL-safe alphabet without "
                   "padding, over FILE or standard input. Decoding accepts surrounding whitespace "
                   "and writes raw bytes.",
    .options = BASE64_OPTIONS,
    .run = base64,
});

const Registration HEX({
    .name = "hex",
    .synopsis = "encode|decode [FILE]",
    .summary = "hex coding",
    .description = "Lower-case hex over FILE or standard input. Decoding takes either case, "
                   "whitespace between pairs, and writes raw bytes.",
    .options = NO_OPTIONS,
    .run = hex,
});

}  // namespace

}  // namespace xtool
