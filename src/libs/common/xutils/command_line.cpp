#include "xcommon/xutils/command_line.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "internal/text_scan.h"

namespace XUtils {

namespace {

using XInternal::isSpace;  // on the byte, so that no locale changes a split

constexpr bool isEscapable(char c) { return c == ' ' || c == '\\' || c == '"' || c == '\''; }

// Bytes that end a run of ordinary bytes: the space, both quotes and the backslash. A table keeps
// the per-byte test to one load on the hot loops.
constexpr auto SPECIAL = [] {
  std::array<bool, 256> table{};
  for (const char c : {' ', '\'', '"', '\\'}) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

constexpr bool isSpecial(char c) { return SPECIAL[static_cast<unsigned char>(c)]; }

// After a backslash at `i - 1`: copies the escaped byte, keeping the backslash before any byte
// that needs no escape, and returns where the walk goes on.
std::size_t escape(std::string_view raw, std::size_t i, std::string& out) {
  if (i == raw.size()) {
    out.push_back('\\');
    return i;
  }
  if (!isEscapable(raw[i])) out.push_back('\\');
  out.push_back(raw[i]);
  return i + 1;
}

// Appends the unquoted value at the front of `raw` to `out` and returns how many bytes it read.
// As a piece (PIECE), a plain space ends it and a quote still open at the end gives npos; else
// the whole of `raw` is one value and nothing fails. Scanning and unquoting in one pass halves
// the branches a line costs.
template <bool PIECE>
std::size_t unquote(std::string_view raw, std::string& out) {
  constexpr std::size_t OPEN = std::string_view::npos;
  const std::size_t n = raw.size();
  std::size_t i = 0;
  for (;;) {
    std::size_t stop = i;
    while (stop < n && !isSpecial(raw[stop])) ++stop;
    out.append(raw.data() + i, stop - i);
    if (stop == n) return n;
    i = stop + 1;
    if (raw[stop] == ' ') {
      if (PIECE) return stop;
      out.push_back(' ');
    } else if (raw[stop] == '\\') {
      i = escape(raw, i, out);
    } else if (raw[stop] == '\'') {
      const std::size_t close = raw.find('\'', i);
      const std::size_t end = close == std::string_view::npos ? n : close;
      out.append(raw.data() + i, end - i);
      if (end == n) return PIECE ? OPEN : n;
      i = end + 1;
    } else {
      for (;;) {  // double quotes: only the closing quote and escapes stop a run
        stop = i;
        while (stop < n && raw[stop] != '"' && raw[stop] != '\\') ++stop;
        out.append(raw.data() + i, stop - i);
        if (stop == n) return PIECE ? OPEN : n;
        i = stop + 1;
        if (raw[stop] == '"') break;
        if (PIECE && i == n) return OPEN;  // the backslash cannot close the quotes
        i = escape(raw, i, out);
      }
    }
  }
}

}  // namespace

// The verdict stays in is_valid() and get_error().
CmdLine::CmdLine(std::string_view text) { static_cast<void>(split(text)); }

bool CmdLine::fail(const char* reason) {
  m_error = reason;
  m_valid = false;
  return false;
}

bool CmdLine::split(std::string_view text) {
  std::size_t first = 0;
  while (first < text.size() && isSpace(text[first])) ++first;
  // Blank text is refused like the empty text rather than passing as a valid, empty line.
  if (first == text.size()) return fail("empty command line");
  m_valid = true;
  if (!get_piece(m_program, text)) return false;
  std::string piece;
  while (get_piece(piece, text)) m_args.push_back(std::move(piece));
  return m_valid;
}

bool CmdLine::get_piece(std::string& out, std::string_view& text) {
  if (text.empty()) return false;
  std::size_t first = 0;
  while (first < text.size() && isSpace(text[first])) ++first;
  if (first == text.size()) {
    text.remove_prefix(first);
    return false;
  }
  std::size_t last = text.size();
  while (isSpace(text[last - 1])) --last;
  text = text.substr(first, last - first);
  // Built aside: a failed piece leaves `out` as it was.
  std::string value;
  const std::size_t length = unquote<true>(text, value);
  if (length == std::string_view::npos) return fail("unexpected end of the command line");
  out = std::move(value);
  text.remove_prefix(length);
  return true;
}

std::string CmdLine::to_string(std::string_view raw) const {
  std::string out;
  out.reserve(raw.size());  // the value is never longer than the raw piece
  unquote<false>(raw, out);
  return out;
}

}  // namespace XUtils
