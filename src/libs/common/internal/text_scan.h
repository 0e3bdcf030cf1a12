#pragma once

// Text scanning shared by the parsers of libxcommon: pieces between separators, decimal
// numbers read with overflow checks, and rejected input as a message shows it. Private to the
// library.

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace XInternal {

// Calls fn for every piece between `sep`s: empty pieces count, an empty text gives one empty
// piece. An fn that returns bool stops the walk with false, and so makes it return false.
template <typename Fn>
bool forEachPiece(std::string_view text, char sep, const Fn& fn) {
  for (std::size_t start = 0;;) {
    const std::size_t at = text.find(sep, start);
    const std::string_view piece =
        text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
    if constexpr (std::is_void_v<std::invoke_result_t<const Fn&, std::string_view>>) {
      fn(piece);
    } else if (!fn(piece)) {
      return false;
    }
    if (at == std::string_view::npos) return true;
    start = at + 1;
  }
}

inline std::size_t countPieces(std::string_view text, char sep) {
  std::size_t n = 0;
  forEachPiece(text, sep, [&n](std::string_view) { ++n; });
  return n;
}

// The C locale's white space, tested on the byte so that no locale changes a parse.
constexpr bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Optional leading white space, an optional sign, then only decimal digits; false unless the
// value fits 64 bits.
inline bool readNumber(std::string_view text, std::int64_t& out) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  std::uint64_t value = 0;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
  return true;
}

// A rejected text as an error text or a log line shows it: at most 64 bytes, control
// characters as \xHH and "..." after a cut, so no text can forge a line or flood the log.
inline std::string shown(std::string_view text) {
  constexpr std::size_t SHOWN_BYTES = 64;
  constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  for (const char c : text.substr(0, SHOWN_BYTES)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 0xf];
    } else {
      out += c;
    }
  }
  if (text.size() > SHOWN_BYTES) out += "...";
  return out;
}

inline std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace XInternal
