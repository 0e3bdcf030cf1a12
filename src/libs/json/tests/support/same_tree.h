#pragma once

// Test support: whether two cJSON trees are the same node for node (type word, texts, keys,
// numbers bit for bit, links), walked without recursion; a description of the first difference.
// The one difference allowed: a number node of ours keeps the digits of an integer beyond ±2^53
// that a double cannot hold, where cJSON keeps no text.

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <cjson/cJSON.h>

namespace TestSupport {

inline bool sameText(const char* a, const char* b) {
  return a == nullptr || b == nullptr ? a == b : std::strcmp(a, b) == 0;
}

// Whether `ours` holds the digits of an integer beyond ±2^53, as the parser writes them, that
// round to cJSON's number.
inline bool keepsDigitsOf(const cJSON* ours, const cJSON* theirs) {
  const char* digits = ours->valuestring;
  if (!cJSON_IsNumber(ours) || digits == nullptr || theirs->valuestring != nullptr) return false;
  std::int64_t n = 0;
  const char* end = digits + std::strlen(digits);
  char again[24];
  const auto [last, ec] = std::from_chars(digits, end, n);
  const std::size_t length =
      static_cast<std::size_t>(std::to_chars(again, again + 24, n).ptr - again);
  return last == end && ec == std::errc() && std::string_view(again, length) == digits &&
         (n > std::int64_t{1} << 53 || n < -(std::int64_t{1} << 53)) &&
         static_cast<double>(n) == theirs->valuedouble;
}

// Empty when the trees match (`a` ours, `b` cJSON's); otherwise where and how they differ.
inline std::string treeDifference(const cJSON* a, const cJSON* b) {
  std::vector<std::pair<const cJSON*, const cJSON*>> todo{{a, b}};
  std::size_t nodes = 0;
  while (!todo.empty()) {
    const auto [x, y] = todo.back();
    todo.pop_back();
    const std::string at = "node " + std::to_string(nodes++);
    if ((x == nullptr) != (y == nullptr)) return at + ": present in one tree only";
    if (x == nullptr) continue;
    if (x->type != y->type)
      return at + ": type " + std::to_string(x->type) + " vs " + std::to_string(y->type);
    if (!sameText(x->valuestring, y->valuestring) && !keepsDigitsOf(x, y))
      return at + ": valuestring";
    if (!sameText(x->string, y->string)) return at + ": key";
    if (x->valueint != y->valueint) return at + ": valueint";
    if (std::memcmp(&x->valuedouble, &y->valuedouble, sizeof(double)) != 0)
      return at + ": valuedouble";
    if ((x->child == nullptr) != (y->child == nullptr)) return at + ": children";
    const cJSON *cx = x->child, *cy = y->child, *lx = nullptr, *ly = nullptr;
    for (; cx != nullptr && cy != nullptr; cx = cx->next, cy = cy->next) {
      if (lx != nullptr && (cx->prev != lx || cy->prev != ly)) return at + ": prev links";
      todo.emplace_back(cx, cy);
      lx = cx;
      ly = cy;
    }
    if (cx != nullptr || cy != nullptr) return at + ": number of children";
    if (x->child != nullptr && (x->child->prev != lx || y->child->prev != ly))
      return at + ": first child's prev";
  }
  return {};
}

}  // namespace TestSupport
