#pragma once

// The printer: cJSON_Print's layout, with numbers that read back exactly. Private to the
// library.

#include <string>

#include <cjson/cJSON.h>

namespace XInternal {

// cJSON_Print (formatted) or cJSON_PrintUnformatted of `root`, byte for byte apart from numbers,
// without recursion. Empty where cJSON fails too (a node of no known type, raw text that is
// missing, out of memory).
std::string printJson(const cJSON* root, bool formatted);

}  // namespace XInternal
