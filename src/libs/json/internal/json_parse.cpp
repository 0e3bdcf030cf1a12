#include "internal/json_parse.h"

#include <emmintrin.h>
#include <locale.h>
#include <string.h>

#include <array>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "internal/json_string.h"
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

// cJSON's whitespace: the bytes 1 to 32.
bool isWhitespace(char c) { return static_cast<unsigned char>(c) - 1U < 32U; }

// The first byte from `p` on that is not cJSON whitespace, or `end`. Whole blocks of 16 are
// looked at while they lie before it.
const char* skipWhitespace(const char* p, const char* end) {
  if (p == end || !isWhitespace(*p)) return p;
  while (end - p >= 16) {
    const unsigned stop = notWhitespace(p);
    if (stop != 0) return p + __builtin_ctz(stop);
    p += 16;
  }
  while (p != end && isWhitespace(*p)) ++p;
  return p;
}

// The first quote, backslash or NUL from `p` on, or `end`.
const char* stringEnd(const char* p, const char* end) {
  while (end - p >= 16) {
    const unsigned stop = stringEnds(p);
    if (stop != 0) return p + __builtin_ctz(stop);
    p += 16;
  }
  while (p != end && !is(*p, STRING_END)) ++p;
  return p;
}

cJSON* newNode() {
  void* memory = cJSON_malloc(sizeof(cJSON));
  if (memory != nullptr) std::memset(memory, 0, sizeof(cJSON));
  return static_cast<cJSON*>(memory);
}

// The string whose opening quote is at `p`, copied once after a scan for its end; `p` moves past
// the closing quote. Null where cJSON refuses it (unterminated, bad escape) or out of memory; a
// NUL ends the text for it, as for cJSON.
char* parseString(const char*& p, const char* textEnd) {
  const char* const start = p + 1;
  const char* end = start;
  std::size_t escapes = 0;
  for (;;) {
    end = stringEnd(end, textEnd);
    if (end == textEnd) return nullptr;  // unterminated
    if (*end == '"') break;
    if (*end == '\0' || textEnd - end < 2 || end[1] == '\0') return nullptr;  // unterminated
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

// An integer text [first, last) of the int64 range that a double cannot hold gets its digits
// kept in the node; false when out of memory.
bool keepExactInteger(const char* first, const char* last, cJSON* node) {
  std::int64_t integer = 0;
  const auto [end, ec] = std::from_chars(first, last, integer);
  return end != last || ec != std::errc() || keepDigits(node, integer);
}

// The number at `p` (before `end`): cJSON hands the run of bytes from "0123456789+-eE." to
// strtod, which reads the longest number at its start; `p` moves past what was read. An integer
// beyond ±2^53 also keeps its digits.
enum class Number { READ, NONE, NO_MEMORY };
Number parseNumber(const char*& p, const char* end, cJSON* node) {
  // An integer of up to 15 digits is exact in a double: read it without from_chars.
  const bool negative = *p == '-';
  const char* const digit = p + (negative ? 1 : 0);
  const char* const limit = end - digit > 16 ? digit + 16 : end;
  std::int64_t whole = 0;
  const char* q = digit;
  while (q != limit && *q >= '0' && *q <= '9') whole = whole * 10 + (*q++ - '0');
  double value = 0;
  if (q != digit && q - digit < 16 && (q == end || !is(*q, NUMBER))) {
    value = negative ? -static_cast<double>(whole) : static_cast<double>(whole);
    p = q;
  } else {
    const bool manyDigits = q - digit == 16;
    while (q != end && is(*q, NUMBER)) ++q;
    const auto [last, ec] = std::from_chars(p, q, value);
    if (ec == std::errc::invalid_argument) return Number::NONE;
    if (ec == std::errc::result_out_of_range) value = strtodC(p, last);
    if (manyDigits && !keepExactInteger(p, last, node)) return Number::NO_MEMORY;
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
  return Number::READ;
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

  // The whole parse from the root value; the root is returned with the cursor after it, or null
  // after freeing it, with the place and reason of the failure.
  cJSON* run() {
    cJSON* const root = newNode();
    if (root == nullptr) {
      fail(m_p, OUT_OF_MEMORY);
      return nullptr;
    }
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

  const char* cursor() const { return m_p; }
  const char* failedAt() const { return m_failedAt; }
  const char* reason() const { return m_reason; }

 private:
  enum class Step { DONE, OPENED, FAIL };

  static constexpr const char* OUT_OF_MEMORY = "out of memory";

  // The byte at the cursor; a NUL at the end, as a C string ends.
  char peek() const { return m_p != m_end ? *m_p : '\0'; }

  // Failures are told only where they happen, so a parse that succeeds pays nothing for them.
  [[gnu::cold]] [[gnu::noinline]] Step fail(const char* at, const char* reason) {
    m_failedAt = at;
    m_reason = reason;
    return Step::FAIL;
  }
  // fail() for the steps that answer with a bool.
  bool refused(const char* at, const char* reason) {
    fail(at, reason);
    return false;
  }
  // Why the string whose opening quote is at `quote` was refused.
  [[gnu::cold]] [[gnu::noinline]] Step failString(const char* quote) {
    const char* end = quote + 1;
    for (;;) {
      end = stringEnd(end, m_end);
      if (end == m_end || *end == '\0' || (*end == '\\' && (m_end - end < 2 || end[1] == '\0')))
        return fail(quote, "unterminated string");
      if (*end == '"') break;
      end += 2;
    }
    const char* escape = badEscape(quote + 1, end);
    return escape != nullptr ? fail(escape, "invalid escape") : fail(quote, OUT_OF_MEMORY);
  }

  // Fills `item` with the value at the cursor: a scalar, or the opening of a container (then
  // its first child waits, linked, with its key parsed).
  Step value(cJSON* item) {
    switch (peek()) {
      case 'n': return literal("null", cJSON_NULL, item);
      case 'f': return literal("false", cJSON_False, item);
      case 't':
        if (literal("true", cJSON_True, item) == Step::FAIL) return Step::FAIL;
        item->valueint = 1;
        return Step::DONE;
      case '"': {
        const char* const quote = m_p;
        char* text = parseString(m_p, m_end);
        if (text == nullptr) return failString(quote);
        item->type = cJSON_String;
        item->valuestring = text;
        return Step::DONE;
      }
      case '[': return open(item, cJSON_Array, ']');
      case '{': return open(item, cJSON_Object, '}');
      default: return number(item);
    }
  }

  Step number(cJSON* item) {
    const char c = peek();
    if (c != '-' && (c < '0' || c > '9')) return fail(m_p, "expected a value");
    const char* const start = m_p;
    switch (parseNumber(m_p, m_end, item)) {
      case Number::READ: return Step::DONE;
      case Number::NONE: return fail(start, "invalid number");
      default: return fail(start, OUT_OF_MEMORY);
    }
  }

  Step literal(std::string_view word, int type, cJSON* item) {
    if (static_cast<std::size_t>(m_end - m_p) < word.size() ||
        std::memcmp(m_p, word.data(), word.size()) != 0)
      return fail(m_p, "invalid literal");
    m_p += word.size();
    item->type = type;
    return Step::DONE;
  }

  Step open(cJSON* item, int type, char close) {
    if (m_open.size() >= CJSON_NESTING_LIMIT) return fail(m_p, "nesting deeper than 1000");
    item->type = type;
    m_p = skipWhitespace(m_p + 1, m_end);
    if (peek() == close) {
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
    if (node == nullptr) return refused(m_p, OUT_OF_MEMORY);
    appendChild(top.container, top.last, node);
    top.last = node;
    if (top.close == '}') {
      if (peek() != '"') return refused(m_p, "expected a key");
      const char* const quote = m_p;
      node->string = parseString(m_p, m_end);
      if (node->string == nullptr) {
        failString(quote);
        return false;
      }
      m_p = skipWhitespace(m_p, m_end);
      if (peek() != ':') return refused(m_p, "expected ':'");
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
      const char c = peek();
      if (c == ',') {
        m_p = skipWhitespace(m_p + 1, m_end);
        return member() ? m_open.back().last : nullptr;
      }
      if (c != top.close) {
        fail(m_p, top.close == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
        return nullptr;
      }
      ++m_p;
      top.container->child->prev = top.last;  // cJSON's first child points back at the last
      m_open.pop_back();
    }
  }

  const char* m_p;
  const char* const m_end;
  cJSON* m_root = nullptr;
  std::vector<Open> m_open;
  const char* m_failedAt = nullptr;
  const char* m_reason = nullptr;
};

// The bytes b of [p, end) with (b & mask) == value, 16 at a time.
std::size_t bytesLike(const char* p, const char* end, unsigned char mask, unsigned char value) {
  std::size_t n = 0;
  const __m128i masks = _mm_set1_epi8(static_cast<char>(mask));
  const __m128i values = _mm_set1_epi8(static_cast<char>(value));
  for (; end - p >= 16; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int like = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(bytes, masks), values));
    n += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(like)));
  }
  for (; p != end; ++p) n += (static_cast<unsigned char>(*p) & mask) == value ? 1 : 0;
  return n;
}

// A UTF-8 byte-order mark is skipped when something follows it, as cJSON does.
const char* afterMark(const char* text, const char* end) {
  return end - text > 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0 && text[3] != '\0' ? text + 3
                                                                                        : text;
}

}  // namespace

cJSON* parseJson(const char* text) {
  if (text == nullptr) return nullptr;
  const char* const end = text + std::strlen(text);
  return Parser(afterMark(text, end), end).run();
}

cJSON* parseJson(std::string_view text, ParseOutcome& outcome) {
  const char* const end = text.data() + text.size();
  Parser parser(afterMark(text.data(), end), end);
  cJSON* const root = parser.run();
  if (root != nullptr) {
    outcome.end = skipWhitespace(parser.cursor(), end);
  } else {
    outcome.failedAt = parser.failedAt();
    outcome.reason = parser.reason();
  }
  return root;
}

TextPlace placeOf(std::string_view text, const char* at) {
  const char* const begin = text.data();
  const auto offset = static_cast<std::size_t>(at - begin);
  const void* lastFeed = offset != 0 ? memrchr(begin, '\n', offset) : nullptr;
  const char* const line = lastFeed != nullptr ? static_cast<const char*>(lastFeed) + 1 : begin;
  TextPlace place{offset, 1 + bytesLike(begin, at, 0xFF, '\n'), 1};
  place.column += static_cast<std::size_t>(at - line) - bytesLike(line, at, 0xC0, 0x80);
  // The byte-order mark is no character of the first line.
  if (line == begin && offset >= 3 && afterMark(begin, begin + text.size()) != begin)
    --place.column;
  return place;
}

}  // namespace XInternal
