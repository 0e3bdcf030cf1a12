#include "internal/json_string.h"

#include <cstddef>
#include <cstring>

namespace XInternal {

namespace {

unsigned hex4(const char* p) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = p[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return 0;  // as cJSON reads a bad digit: the whole code is 0
    value = value << 4 | digit;
  }
  return value;
}

// A \u escape at `p` (before `end`, the closing quote) as UTF-8 at `out`, as cJSON decodes it:
// a pair of surrogates makes one code point, a lone or reversed one is refused, and \u0000 ends
// the text there. Returns the escape's length (6 or 12), or 0 when refused.
int unicodeEscape(const char* p, const char* end, char*& out) {
  if (end - p < 6) return 0;
  unsigned code = hex4(p + 2);
  int length = 6;
  if (code >= 0xDC00 && code <= 0xDFFF) return 0;
  if (code >= 0xD800 && code <= 0xDBFF) {
    const char* second = p + 6;
    if (end - second < 6 || second[0] != '\\' || second[1] != 'u') return 0;
    const unsigned low = hex4(second + 2);
    if (low < 0xDC00 || low > 0xDFFF) return 0;
    code = 0x10000 + (((code & 0x3FF) << 10) | (low & 0x3FF));
    length = 12;
  }
  auto put = [&out](unsigned byte) { *out++ = static_cast<char>(byte); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | code >> 6);
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | code >> 12);
    put(0x80 | (code >> 6 & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | code >> 18);
    put(0x80 | (code >> 12 & 0x3F));
    put(0x80 | (code >> 6 & 0x3F));
    put(0x80 | (code & 0x3F));
  }
  return length;
}

// The escape at `p` (a backslash before `end`) decoded at `out`; its length, or 0 when refused.
int decodeEscape(const char* p, const char* end, char*& out) {
  switch (p[1]) {
    case 'b': *out++ = '\b'; return 2;
    case 'f': *out++ = '\f'; return 2;
    case 'n': *out++ = '\n'; return 2;
    case 'r': *out++ = '\r'; return 2;
    case 't': *out++ = '\t'; return 2;
    case '"':
    case '\\':
    case '/': *out++ = p[1]; return 2;
    case 'u': return unicodeEscape(p, end, out);
    default: return 0;
  }
}

}  // namespace

bool unescape(const char* p, const char* end, char* out) {
  while (p < end) {
    const auto* slash =
        static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
    const char* const plain = slash != nullptr ? slash : end;
    std::memcpy(out, p, static_cast<std::size_t>(plain - p));
    out += plain - p;
    p = plain;
    if (p == end) break;
    const int length = decodeEscape(p, end, out);
    if (length == 0) return false;
    p += length;
  }
  *out = '\0';
  return true;
}

// The same walk as unescape's, into a scratch buffer for one escape at a time.
const char* badEscape(const char* p, const char* end) {
  while (p < end) {
    p = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
    if (p == nullptr) return nullptr;
    char scratch[4];
    char* out = scratch;
    const int length = decodeEscape(p, end, out);
    if (length == 0) return p;
    p += length;
  }
  return nullptr;
}

}  // namespace XInternal
