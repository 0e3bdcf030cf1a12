#include <cstdint>
#include <string_view>

#include "internal/log_line.h"
#include "xcommon/xlogger.h"

namespace {

constexpr std::string_view LEVEL_NAMES[] = {"SYSTEM", "ERROR", "WARNING", "INFO",
                                            "DBG1",   "DBG2",  "DBG3"};

// How many bytes from `at` form one well-formed UTF-8 sequence (Unicode's table of them), or,
// as a negative number, how long the invalid stretch is that one U+FFFD replaces: the longest
// start of a well-formed sequence, at least one byte.
int utf8Length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  int need = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    const std::size_t pos = at + static_cast<std::size_t>(i);
    if (pos >= text.size()) return -i;
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < low || byte > high) return -i;
    low = 0x80;
    high = 0xBF;
  }
  return need + 1;
}

// `text` as a JSON string: quoted, escaped, and well-formed UTF-8 throughout.
void appendString(fmt::memory_buffer& buf, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  buf.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    // A run that needs no escape is copied at once.
    std::size_t run = i;
    while (run < text.size()) {
      const auto c = static_cast<unsigned char>(text[run]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) break;
      ++run;
    }
    XInternal::append(buf, text.substr(i, run - i));
    if (run == text.size()) break;
    i = run;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const int length = utf8Length(text, i);
      const auto bytes = static_cast<std::size_t>(length < 0 ? -length : length);
      XInternal::append(buf, length > 0 ? text.substr(i, bytes) : "\xEF\xBF\xBD");
      i += bytes;
      continue;
    }
    buf.push_back('\\');
    switch (c) {
      case '"': buf.push_back('"'); break;
      case '\\': buf.push_back('\\'); break;
      case '\b': buf.push_back('b'); break;
      case '\f': buf.push_back('f'); break;
      case '\n': buf.push_back('n'); break;
      case '\r': buf.push_back('r'); break;
      case '\t': buf.push_back('t'); break;
      default:
        XInternal::append(buf, {"u00", 3});
        buf.push_back(HEX[c >> 4]);
        buf.push_back(HEX[c & 15]);
    }
    ++i;
  }
  buf.push_back('"');
}

void appendNumber(fmt::memory_buffer& buf, std::uint64_t value) {
  const fmt::format_int text(value);
  XInternal::append(buf, {text.data(), text.size()});
}

}  // namespace

void XInternal::appendJsonLine(fmt::memory_buffer& buf, LineTime time, XLogger::Level level,
                               const char* file, int line, std::string_view message,
                               const ThreadContext* context) {
  append(buf, R"({"time":")");
  appendRfc3339(buf, time);
  append(buf, R"(","level":")");
  append(buf, LEVEL_NAMES[XLogger::clampLevel(level) + 1]);
  append(buf, R"(","pid":)");
  appendNumber(buf, static_cast<std::uint64_t>(XUtils::get_pid()));
  append(buf, R"(,"tid":)");
  appendNumber(buf, XUtils::get_tid());
  if (file != nullptr) {
    append(buf, R"(,"file":)");
    appendString(buf, XInternal::baseName(file));
    append(buf, R"(,"line":)");
    const fmt::format_int number(line);
    append(buf, {number.data(), number.size()});
  }
  append(buf, R"(,"message":)");
  appendString(buf, message);
  if (context != nullptr && !context->fields.empty()) {
    append(buf, R"(,"context":{)");
    for (const ContextField& field : context->fields) {
      if (&field != &context->fields.front()) buf.push_back(',');
      const std::string_view text(context->text);
      appendString(buf, text.substr(field.start, field.keySize));
      buf.push_back(':');
      appendString(buf, text.substr(field.start + field.keySize + 1, field.valueSize));
    }
    buf.push_back('}');
  }
  append(buf, "}\n");
}

XLogger::JsonLinesSink::JsonLinesSink(const std::string& path) : FileSink("json", path) {}

XLogger::JsonLinesSink::JsonLinesSink(JsonLinesSink&& other) noexcept = default;

XLogger::JsonLinesSink& XLogger::JsonLinesSink::operator=(JsonLinesSink&& other) noexcept = default;

XLogger::JsonLinesSink::~JsonLinesSink() = default;

void XLogger::JsonLinesSink::print(Level level, const char* file, int line, std::string_view,
                                   std::string_view message) const {
  if (!valid()) return;
  fmt::memory_buffer buf;
  XInternal::appendJsonLine(buf, XInternal::currentLineTime(), level, file, line, message,
                            &XInternal::threadContext());
  append({buf.data(), buf.size()}, true);
}

bool XLogger::JsonLinesSink::printLine(Level, std::string_view) const { return false; }
