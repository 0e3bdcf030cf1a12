// The access-token parser on arbitrary text.
#include "xcommon/xaccesstoken.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "xcommon/xlogger.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {  // no sinks: warnings are dropped before formatting
    XLogger::instance()->setMaxVerbosity(XLogger::SYSTEM);
    return true;
  }();
  (void)quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const XAccessToken token(text.c_str(), text.size());
  if (token.text().size() > text.size()) std::abort();
  if (token.is_valid()) {
    unsigned char sum = 0x97;
    for (int i = 0; i < 19; ++i) sum ^= token.record()[i];
    if (sum != token.record()[19]) std::abort();
  }
  return 0;
}
