#pragma once

// The escapes of a JSON string, decoded as cJSON decodes them. Private to the library.

namespace XInternal {

// The escapes of [p, end), the text between a string's quotes, decoded into `out` (room for
// end - p bytes and a NUL); false where cJSON refuses them.
bool unescape(const char* p, const char* end, char* out);

// The backslash of the first escape in [p, end) that cJSON refuses, or null.
const char* badEscape(const char* p, const char* end);

}  // namespace XInternal
