#pragma once

// The parser that builds the tree cJSON_Parse builds. Private to the library.

#include <cjson/cJSON.h>

namespace XInternal {

// The tree cJSON_Parse(text) builds, node for node and bit for bit, or null where it fails:
// made with cJSON's allocator, so cJSON_Delete frees it, in one pass with the open containers
// on the heap. Throws std::bad_alloc only when the heap cannot hold that stack; the nodes'
// own allocation failures fail the parse, as in cJSON.
cJSON* parseJson(const char* text);

}  // namespace XInternal
