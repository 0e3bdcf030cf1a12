// Arbitrary text split as a command line. A valid split, quoted again piece by piece and split
// once more, must give the same pieces back; a failed one must say why.
#include "xcommon/xutils/command_line.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string quote(const std::string& piece) {
  std::string out = "'";
  for (char c : piece) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const XUtils::CmdLine cl(text);
  if (!cl.is_valid()) {
    if (cl.error() != "empty command line" && cl.error() != "unexpected end of the command line")
      std::abort();
    return 0;
  }
  if (!cl.error().empty()) std::abort();
  std::string line = quote(cl.program());
  for (const std::string& arg : cl.args()) line += " " + quote(arg);
  const XUtils::CmdLine again(line);
  if (!again.is_valid() || again.program() != cl.program() || again.args() != cl.args())
    std::abort();
  (void)cl.to_string(text);  // unquoting raw text never fails, whatever it holds
  return 0;
}
