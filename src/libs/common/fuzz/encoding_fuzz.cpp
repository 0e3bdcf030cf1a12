// Base64 and hex decoders on arbitrary text. The first input byte sets the size of the output
// buffer, which is allocated exactly so that AddressSanitizer catches a write past its end.
#include "xcommon/xutils/encoding.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#ifndef DECODER
#error "build with -DDECODER=1 (base64), 2 (base64url) or 3 (hex)"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t bufferSize = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto buffer = std::make_unique<unsigned char[]>(bufferSize == 0 ? 0 : bufferSize);
#if DECODER == 3
  std::size_t consumed = 0;
  const std::size_t written =
      XUtils::fromHexStr(std::string_view(text), buffer.get(), bufferSize, &consumed);
  if (written > bufferSize || consumed > text.size()) std::abort();
  // The consumed prefix decodes to the same bytes on its own.
  auto again = std::make_unique<unsigned char[]>(written + 1);
  if (XUtils::fromHexStr(std::string_view(text).substr(0, consumed), again.get(), written + 1) !=
          written ||
      std::memcmp(again.get(), buffer.get(), written) != 0)
    std::abort();
#else
  const bool url = DECODER == 2;
  const int r = (url ? XUtils::base64urlDecode : XUtils::base64Decode)(text.c_str(), buffer.get(),
                                                                       bufferSize);
  if (r < -1 || r > static_cast<int>(bufferSize)) std::abort();
  if (r > 0) {  // what was decoded encodes and decodes back to itself
    const std::string encoded =
        url ? XUtils::base64urlEncode(buffer.get(), static_cast<std::size_t>(r))
            : XUtils::base64Encode(buffer.get(), static_cast<std::size_t>(r));
    auto again = std::make_unique<unsigned char[]>(static_cast<std::size_t>(r));
    if ((url ? XUtils::base64urlDecode : XUtils::base64Decode)(encoded.c_str(), again.get(),
                                                               static_cast<std::size_t>(r)) != r ||
        std::memcmp(again.get(), buffer.get(), static_cast<std::size_t>(r)) != 0)
      std::abort();
  }
#endif
  return 0;
}
