#pragma once

// The parser that builds the tree cJSON_Parse builds. Private to the library.

#include <cstddef>
#include <string_view>

#include <cjson/cJSON.h>

namespace XInternal {

// The tree cJSON_Parse(text) builds, node for node and bit for bit (an integer beyond ±2^53 of
// the int64 range also keeps its digits in valuestring), or null where it fails: made with
// cJSON's allocator, so cJSON_Delete frees it, in one pass with the open containers on the
// heap. Throws std::bad_alloc only when the heap cannot hold that stack; the nodes' own
// allocation failures fail the parse, as in cJSON.
cJSON* parseJson(const char* text);

// What the parse of a bounded text tells besides the tree.
struct ParseOutcome {
  const char* end = nullptr;       // after the value and the whitespace after it
  const char* failedAt = nullptr;  // where it failed
  const char* reason = nullptr;    // why, a static text
};

// The same for a text that needs no NUL after it; a NUL in it ends the text as it ends a C
// string, so the tree and verdict are those of parseJson(std::string(text).c_str()). Failures
// cost only when they happen.
cJSON* parseJson(std::string_view text, ParseOutcome& outcome);

// A place in a text: its byte offset, and its line and column from 1. Lines end at '\n';
// columns count characters (bytes other than UTF-8 continuation bytes), and a byte-order mark
// that the parser skips is none.
struct TextPlace {
  std::size_t offset;
  std::size_t line;
  std::size_t column;
};
TextPlace placeOf(std::string_view text, const char* at);

}  // namespace XInternal
