#include "internal/json_print.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "internal/json_tree.h"

namespace XInternal {

namespace {

// The printed text: written through a cursor into a buffer that realloc grows (in place, for
// large ones), copied out once at the end. Throws std::bad_alloc when it cannot grow.
class Text {
 public:
  Text() = default;
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text() { std::free(m_data); }

  char* room(std::size_t n) {  // n writable bytes at the cursor
    if (m_capacity - m_used < n) grow(n);
    return m_data + m_used;
  }
  void advanceTo(const char* end) { m_used = static_cast<std::size_t>(end - m_data); }
  void put(char c) {
    *room(1) = c;
    ++m_used;
  }
  void put(const char* text, std::size_t n) {
    std::memcpy(room(n), text, n);
    m_used += n;
  }
  void tabs(std::size_t n) {
    std::memset(room(n), '\t', n);
    m_used += n;
  }
  std::string str() const { return {m_data, m_used}; }

 private:
  void grow(std::size_t n) {
    const std::size_t capacity = std::max({2 * m_capacity, m_used + n, std::size_t{256}});
    void* data = std::realloc(m_data, capacity);
    if (data == nullptr) throw std::bad_alloc();
    m_data = static_cast<char*>(data);
    m_capacity = capacity;
  }

  char* m_data = nullptr;
  std::size_t m_capacity = 0;
  std::size_t m_used = 0;
};

// The letter after the backslash for each byte cJSON escapes ('u': \u00XX), else 0.
constexpr std::array<char, 256> ESCAPES = [] {
  std::array<char, 256> escapes{};
  for (std::size_t c = 0; c < 32; ++c) escapes[c] = 'u';
  escapes['\b'] = 'b';
  escapes['\f'] = 'f';
  escapes['\n'] = 'n';
  escapes['\r'] = 'r';
  escapes['\t'] = 't';
  escapes['"'] = '"';
  escapes['\\'] = '\\';
  return escapes;
}();

// A quoted string as cJSON escapes it; no text prints as "".
void putString(Text& out, const char* text) {
  if (text == nullptr) {
    out.put("\"\"", 2);
    return;
  }
  const std::size_t length = std::strlen(text);
  char* p = out.room(length + 2);
  *p++ = '"';
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const char escape = ESCAPES[c];
    if (escape == 0) {
      *p++ = text[i];
      continue;
    }
    out.advanceTo(p);
    p = out.room(length - i + 6);  // this escape, the rest, the closing quote
    *p++ = '\\';
    *p++ = escape;
    if (escape == 'u') {
      constexpr const char* HEX = "0123456789abcdef";
      *p++ = '0';
      *p++ = '0';
      *p++ = HEX[c >> 4];
      *p++ = HEX[c & 15];
    }
  }
  *p++ = '"';
  out.advanceTo(p);
}

// "%1.15g" when that text reads back as the same double, else "%1.17g"; to_chars and from_chars
// are exact and ignore the locale. At least 32 bytes from `p`.
char* printDouble(char* p, double d) {
  char* end = std::to_chars(p, p + 32, d, std::chars_format::general, 15).ptr;
  double back = 0;
  if (std::from_chars(p, end, back).ec == std::errc() && back == d) return end;
  return std::to_chars(p, p + 32, d, std::chars_format::general, 17).ptr;
}

// The same text, mostly from the shortest digits that read back (to_chars without a precision,
// about twice as fast). For a normal double those digits number at most 15 exactly when
// "%1.15g" reads back, and are then its digits; 17 of them are the digits of "%1.17g". Either
// way only %g's layout is left to do. Subnormals (spaced wider than 15 digits resolve) and 16
// shortest digits take the way above.
char* printDoubleFast(char* p, double d) {
  if (std::fabs(d) < DBL_MIN) return printDouble(p, d);
  char* const end = std::to_chars(p, p + 32, d, std::chars_format::scientific).ptr;
  char* const e = std::find(p, end, 'e');  // [-]d[.ddd]e(+|-)xx
  char* const first = p + (*p == '-');
  char digits[17];
  const auto count = std::remove_copy(first, e, digits, '.') - digits;
  if (count == 16) return std::to_chars(p, p + 32, d, std::chars_format::general, 17).ptr;
  int exponent = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), end, exponent);
  if (exponent < -4 || exponent >= (count <= 15 ? 15 : 17)) return end;  // %g stays scientific
  if (exponent < 0) {  // 0.000ddd: a zero, the point, -exponent - 1 zeros
    char* out = std::fill_n(first, 1 - exponent, '0');
    first[1] = '.';
    return std::copy_n(digits, count, out);
  }
  if (count <= exponent + 1)
    return std::fill_n(std::copy_n(digits, count, first), exponent + 1 - count, '0');
  char* out = std::copy_n(digits, exponent + 1, first);
  *out++ = '.';
  return std::copy(digits + exponent + 1, digits + count, out);
}

// A number equal to its integer field prints as that integer (negative zero as -0, keeping its
// sign), one that keeps its digits as those digits; any other as printDouble. Unlike cJSON's
// tolerant comparison, every text reads back as the same double. NaN and the infinities print
// as null.
void putNumber(Text& out, const cJSON* node) {
  const double d = node->valuedouble;
  std::int64_t exact = 0;
  if (node->valuestring != nullptr && keptInteger(node, exact)) {
    char* p = out.room(24);
    out.advanceTo(std::to_chars(p, p + 24, exact).ptr);
  } else if (!std::isfinite(d)) {
    out.put("null", 4);
  } else if (d != static_cast<double>(node->valueint)) {
    out.advanceTo(printDoubleFast(out.room(32), d));
  } else if (node->valueint == 0 && std::signbit(d)) {
    out.put("-0", 2);
  } else {
    char* p = out.room(16);
    out.advanceTo(std::to_chars(p, p + 16, node->valueint).ptr);
  }
}

// An object member's key, as cJSON lays it out.
void putKey(Text& out, const cJSON* member, std::size_t depth, bool formatted) {
  if (formatted) out.tabs(depth);
  putString(out, member->string);
  out.put(':');
  if (formatted) out.put('\t');
}

// cJSON_Print (formatted) or cJSON_PrintUnformatted, byte for byte apart from numbers, with the
// open containers on a heap stack. False where cJSON fails too: a node of no known type, or raw
// text that is missing.
bool printTree(const cJSON* root, bool formatted, Text& out) {
  std::vector<const cJSON*> open;  // containers being printed, outermost first
  const cJSON* item = root;
  for (;;) {
    switch (item->type & 0xFF) {
      case cJSON_NULL: out.put("null", 4); break;
      case cJSON_False: out.put("false", 5); break;
      case cJSON_True: out.put("true", 4); break;
      case cJSON_Number: putNumber(out, item); break;
      case cJSON_String: putString(out, item->valuestring); break;
      case cJSON_Raw:
        if (item->valuestring == nullptr) return false;
        out.put(item->valuestring, std::strlen(item->valuestring));
        break;
      case cJSON_Array:
      case cJSON_Object: {
        const bool object = (item->type & 0xFF) == cJSON_Object;
        out.put(object ? '{' : '[');
        if (object && formatted) out.put('\n');
        if (item->child != nullptr) {
          open.push_back(item);
          item = item->child;
          if (object) putKey(out, item, open.size(), formatted);
          continue;
        }
        if (object && formatted) out.tabs(open.size());
        out.put(object ? '}' : ']');
        break;
      }
      default: return false;
    }
    // `item` is done: go on to its next sibling, closing the containers it ends.
    for (;;) {
      if (open.empty()) return true;
      const cJSON* parent = open.back();
      const bool object = (parent->type & 0xFF) == cJSON_Object;
      if (item->next != nullptr) {
        out.put(',');
        if (formatted) out.put(object ? '\n' : ' ');
        item = item->next;
        if (object) putKey(out, item, open.size(), formatted);
        break;
      }
      if (object && formatted) {
        out.put('\n');
        out.tabs(open.size() - 1);
      }
      out.put(object ? '}' : ']');
      open.pop_back();
      item = parent;
    }
  }
}

}  // namespace

std::string printJson(const cJSON* root, bool formatted) {
  Text out;
  try {
    if (!printTree(root, formatted, out)) return {};
  } catch (const std::bad_alloc&) {
    return {};  // as cJSON's printers fail when out of memory
  }
  return out.str();
}

}  // namespace XInternal
