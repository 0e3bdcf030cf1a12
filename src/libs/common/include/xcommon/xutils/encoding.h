#pragma once

/// @file
/// Hex and Base64 (standard and URL-safe) between bytes and text; no state, no allocation
/// beyond the returned string.

#include <cstddef>
#include <string>
#include <string_view>

#include "xcommon/xcommon_export.h"

namespace XUtils {

/// The `len` bytes at `data` in lower-case hex, two digits per byte, high half first.
XCOMMON_EXPORT std::string toHexStr(const void* data, std::size_t len);

/// Decodes hex pairs (either case) into at most `size` bytes and returns how many were written.
/// Whitespace may stand between pairs, not inside one. Never fails: decoding stops at the first
/// byte that does not continue the hex text, or once `size` bytes are written, and `consumed`
/// (when not null) receives the position where it stopped.
[[nodiscard]] XCOMMON_EXPORT std::size_t fromHexStr(std::string_view text, void* out,
                                                    std::size_t size,
                                                    std::size_t* consumed = nullptr);
/// As the std::string_view form, for a NUL-terminated text; `end` (when not null) receives
/// where decoding stopped. A null or empty text gives 0, and `end` = text.
[[nodiscard]] XCOMMON_EXPORT std::size_t fromHexStr(const char* text, void* out, std::size_t size,
                                                    const char** end = nullptr);

/// Base64 of `len` bytes in the standard alphabet, padded with '=' to a multiple of four
/// characters.
XCOMMON_EXPORT std::string base64Encode(const void* data, std::size_t len);
/// Base64 of `len` bytes in the URL-safe alphabet ('-' and '_'), no padding: 1, 2, 3 bytes give
/// 2, 3, 4 characters.
XCOMMON_EXPORT std::string base64urlEncode(const void* data, std::size_t len);

/// Decodes a NUL-terminated standard Base64 text into at most `size` bytes; returns the count,
/// or -1 when the buffer is too small for the data or anything but '=' padding follows it (the
/// buffer may then hold some of the result). Padding is optional and its count is not checked.
/// One stray byte outside the alphabet at the very end (a line feed, say) is tolerated. Never
/// writes past `size`. A null text gives 0.
[[nodiscard]] XCOMMON_EXPORT int base64Decode(const char* text, void* out, std::size_t size);
/// As base64Decode(), for the URL-safe alphabet.
[[nodiscard]] XCOMMON_EXPORT int base64urlDecode(const char* text, void* out, std::size_t size);

}  // namespace XUtils
