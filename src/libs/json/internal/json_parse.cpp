#include "internal/json_parse.h"

#include <emmintrin.h>
#include <locale.h>

#include <array>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "internal/json_tree.h"

namespace XInternal {

namespace {

// Byte classes of the scanners: what ends a run of plain string bytes, and what cJSON copies
// into a number before handing it to strtod.
constexpr std::uint8_t STRING_END = 1, NUMBER = 2;

constexpr std::array<std::uint8_t, 256> CLASSES = [] {
  std::array<std::uint8_t, 256> classes{};
  classes['"'] = classes['\\'] = classes[0] = STRING_END;
  for (const char c : std::string_view("0123456789+-eE."))
    classes[static_cast<unsigned char>(c)] = NUMBER;
  return classes;
}();

bool is(char c, std::uint8_t what) { return CLASSES[static_cast<unsigned char>(c)] == what; }

// The first of 16 bytes at `p` that is not cJSON whitespace (1 to 32), as a bit mask.
unsigned notWhitespace(const char* p) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i less = _mm_sub_epi8(bytes, _mm_set1_epi8(1));  // 1..32 become 0..31
  const __m128i white = _mm_cmpeq_epi8(_mm_min_epu8(less, _mm_set1_epi8(31)), less);
  return ~static_cast<unsigned>(_mm_movemask_epi8(white)) & 0xFFFF;
}

// Bytes that end a run of plain string bytes among 16 at `p`, as a bit mask.
unsigned stringEnds(const char* p) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i ends = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                                 _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
                                    _mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
  return static_cast<unsigned>(_mm_movemask_epi8(ends));
}

// cJSON's whitespace: every byte up to the space, short of the terminating NUL at `end`. Whole
// blocks of 16 are looked at while they lie before it.
const char* skipWhitespace(const char* p, const char* end) {
  if (static_cast<unsigned char>(*p) > 32 || *p == '\0') return p;
  while (end - p >= 16) {
    const unsigned stop = notWhitespace(p);
    if (stop != 0) return p + __builtin_ctz(stop);
    p += 16;
  }
  while (*p != '\0' && static_cast<unsigned char>(*p) <= 32) ++p;
  return p;
}

// The first quote, backslash or NUL from `p` on (the NUL at `end` at the latest).
const char* stringEnd(const char* p, const char* end) {
  while (end - p >= 16) {
    const unsigned stop = stringEnds(p);
    if (stop != 0) return p + __builtin_ctz(stop);
    p += 16;
  }
  while (!is(*p, STRING_END)) ++p;
  return p;
}

cJSON* newNode() {
  void* memory = cJSON_malloc(sizeof(cJSON));
  if (memory != nullptr) std::memset(memory, 0, sizeof(cJSON));
  return static_cast<cJSON*>(memory);
}

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

// The escapes of [p, end) decoded into `out`; false where cJSON refuses them.
bool unescape(const char* p, const char* end, char* out) {
  while (p < end) {
    const auto* slash =
        static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
    const char* const plain = slash != nullptr ? slash : end;
    std::memcpy(out, p, static_cast<std::size_t>(plain - p));
    out += plain - p;
    p = plain;
    if (p == end) break;
    int length = 2;
    switch (p[1]) {
      case 'b': *out++ = '\b'; break;
      case 'f': *out++ = '\f'; break;
      case 'n': *out++ = '\n'; break;
      case 'r': *out++ = '\r'; break;
      case 't': *out++ = '\t'; break;
      case '"':
      case '\\':
      case '/': *out++ = p[1]; break;
      case 'u': length = unicodeEscape(p, end, out); break;
      default: return false;
    }
    if (length == 0) return false;
    p += length;
  }
  *out = '\0';
  return true;
}

// The string whose opening quote is at `p`, copied once after a scan for its end; `p` moves past
// the closing quote. Null where cJSON refuses it (unterminated, bad escape) or out of memory.
char* parseString(const char*& p, const char* textEnd) {
  const char* const start = p + 1;
  const char* end = start;
  std::size_t escapes = 0;
  for (;;) {
    end = stringEnd(end, textEnd);
    if (*end == '"') break;
    if (*end == '\0' || end[1] == '\0') return nullptr;  // unterminated
    ++escapes;
    end += 2;
  }
  const auto length = static_cast<std::size_t>(end - start);
  // A short plain string is copied as one block of 16 bytes, into room for them.
  const bool block = escapes == 0 && length < 16 && textEnd - start >= 16;
  char* const text = static_cast<char*>(cJSON_malloc(block ? 16 : length - escapes + 1));
  if (text == nullptr) return nullptr;
  if (escapes != 0) {
    if (!unescape(start, end, text)) {
      cJSON_free(text);
      return nullptr;
    }
  } else {
    if (block)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(text),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(start)));
    else
      std::memcpy(text, start, length);
    text[length] = '\0';
  }
  p = end + 1;
  return text;
}

// strtod where from_chars cannot tell the result: a value beyond the range of double, which
// strtod makes infinite or (for a tiny one) zero. The C locale's, as cJSON's own is made to be.
double strtodC(const char* first, const char* last) {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string copy(first, last);
  return strtod_l(copy.c_str(), nullptr, c);
}

// The number at `p`: cJSON hands the run of bytes from "0123456789+-eE." to strtod, which reads
// the longest number at its start; `p` moves past what was read. False when nothing was.
bool parseNumber(const char*& p, cJSON* node) {
  // An integer of up to 15 digits is exact in a double: read it without from_chars.
  const bool negative = *p == '-';
  const char* digit = p + (negative ? 1 : 0);
  std::int64_t whole = 0;
  const char* end = digit;
  while (end - digit < 16 && *end >= '0' && *end <= '9') whole = whole * 10 + (*end++ - '0');
  double value = 0;
  if (end != digit && end - digit < 16 && !is(*end, NUMBER)) {
    value = negative ? -static_cast<double>(whole) : static_cast<double>(whole);
    p = end;
  } else {
    while (is(*end, NUMBER)) ++end;
    const auto [last, ec] = std::from_chars(p, end, value);
    if (ec == std::errc::invalid_argument) return false;
    if (ec == std::errc::result_out_of_range) value = strtodC(p, last);
    p = last;
  }
  node->valuedouble = value;
  if (value >= INT_MAX)
    node->valueint = INT_MAX;
  else if (value <= static_cast<double>(INT_MIN))
    node->valueint = INT_MIN;
  else
    node->valueint = static_cast<int>(value);
  node->type = cJSON_Number;
  return true;
}

// An open array or object, its child linked last, and what closes it.
struct Open {
  cJSON* container;
  cJSON* last;
  char close;  // ']' or '}'
};

class Parser {
 public:
  Parser(const char* text, const char* end) : m_p(text), m_end(end) {}

  // The whole parse from the root value; the root is returned, or null after freeing it.
  cJSON* run() {
    cJSON* const root = newNode();
    if (root == nullptr) return nullptr;
    m_root = root;
    m_open.reserve(32);
    m_p = skipWhitespace(m_p, m_end);
    cJSON* item = root;
    for (;;) {
      const Step step = value(item);
      if (step == Step::FAIL) break;
      if (step == Step::OPENED) {
        item = item->child;
        continue;
      }
      item = next();  // the value is complete: the next member of an open container, if any
      if (item == m_root) return root;
      if (item == nullptr) break;
    }
    freeTree(root);
    return nullptr;
  }

 private:
  enum class Step { DONE, OPENED, FAIL };

  // Fills `item` with the value at the cursor: a scalar, or the opening of a container (then
  // its first child waits, linked, with its key parsed).
  Step value(cJSON* item) {
    switch (*m_p) {
      case 'n': return literal("null", cJSON_NULL, item);
      case 'f': return literal("false", cJSON_False, item);
      case 't':
        if (literal("true", cJSON_True, item) == Step::FAIL) return Step::FAIL;
        item->valueint = 1;
        return Step::DONE;
      case '"': {
        char* text = parseString(m_p, m_end);
        if (text == nullptr) return Step::FAIL;
        item->type = cJSON_String;
        item->valuestring = text;
        return Step::DONE;
      }
      case '[': return open(item, cJSON_Array, ']');
      case '{': return open(item, cJSON_Object, '}');
      default:
        if (*m_p == '-' || (*m_p >= '0' && *m_p <= '9'))
          return parseNumber(m_p, item) ? Step::DONE : Step::FAIL;
        return Step::FAIL;
    }
  }

  Step literal(std::string_view word, int type, cJSON* item) {
    if (static_cast<std::size_t>(m_end - m_p) < word.size() ||
        std::memcmp(m_p, word.data(), word.size()) != 0)
      return Step::FAIL;
    m_p += word.size();
    item->type = type;
    return Step::DONE;
  }

  Step open(cJSON* item, int type, char close) {
    if (m_open.size() >= CJSON_NESTING_LIMIT) return Step::FAIL;
    item->type = type;
    m_p = skipWhitespace(m_p + 1, m_end);
    if (*m_p == close) {
      ++m_p;
      return Step::DONE;
    }
    m_open.push_back({item, nullptr, close});
    return member() ? Step::OPENED : Step::FAIL;
  }

  // A new last child of the innermost open container, with its key for an object, the cursor
  // at its value.
  bool member() {
    Open& top = m_open.back();
    cJSON* const node = newNode();
    if (node == nullptr) return false;
    appendChild(top.container, top.last, node);
    top.last = node;
    if (top.close == '}') {
      if (*m_p != '"') return false;
      node->string = parseString(m_p, m_end);
      if (node->string == nullptr) return false;
      m_p = skipWhitespace(m_p, m_end);
      if (*m_p != ':') return false;
      m_p = skipWhitespace(m_p + 1, m_end);
    }
    return true;
  }

  // After a complete value: the next member to fill, the root when none is open, null on a
  // syntax error. Closes the containers that end here.
  cJSON* next() {
    for (;;) {
      if (m_open.empty()) return m_root;
      Open& top = m_open.back();
      m_p = skipWhitespace(m_p, m_end);
      if (*m_p == ',') {
        m_p = skipWhitespace(m_p + 1, m_end);
        return member() ? m_open.back().last : nullptr;
      }
      if (*m_p != top.close) return nullptr;
      ++m_p;
      top.container->child->prev = top.last;  // cJSON's first child points back at the last
      m_open.pop_back();
    }
  }

  const char* m_p;
  const char* const m_end;  // the text's terminating NUL
  cJSON* m_root = nullptr;
  std::vector<Open> m_open;
};

}  // namespace

cJSON* parseJson(const char* text) {
  if (text == nullptr) return nullptr;
  // A UTF-8 byte-order mark is skipped when something follows it, as cJSON does.
  if (std::strncmp(text, "\xEF\xBB\xBF", 3) == 0 && text[3] != '\0') text += 3;
  return Parser(text, text + std::strlen(text)).run();
}

}  // namespace XInternal
