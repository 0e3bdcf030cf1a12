#include "internal/json_tree.h"

#include <charconv>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

namespace XInternal {

// A Morris walk: it links each last child's `next` to its parent on the way down and unlinks it
// on the way back, so the walk goes to its end and leaves the tree as it found it.
cJSON* findParent(cJSON* node, const cJSON* target) {
  cJSON* parent = nullptr;
  for (cJSON* child = node->child; child != nullptr; child = child->next) {
    if (child == target) parent = node;
  }
  cJSON* current = node->child;
  while (current != nullptr) {
    if (current->child == nullptr) {
      current = current->next;  // a sibling, or the link back up
      continue;
    }
    cJSON* last = current->child;
    for (; last->next != nullptr && last->next != current; last = last->next) {
      if (last == target) parent = current;
    }
    if (last == target) parent = current;
    if (last->next == nullptr) {
      last->next = current;
      current = current->child;
    } else {
      last->next = nullptr;
      current = current->next;
    }
  }
  return parent;
}

// In cJSON_Duplicate's order (depth first, each node before its children) but with the path on
// a heap stack; children are linked as cJSON links them (the first child's prev is the last).
cJSON* copyTree(const cJSON* node) {
  cJSON* top = node != nullptr ? cJSON_Duplicate(node, 0) : nullptr;
  if (top == nullptr || node->child == nullptr) return top;
  struct Level {
    const cJSON* next;  // the next child to copy
    cJSON* parent;      // the copy the children go under
    cJSON* last;        // the child copied last
  };
  try {
    std::vector<Level> path{{node->child, top, nullptr}};
    while (!path.empty()) {
      Level& level = path.back();
      if (level.next == nullptr) {
        level.parent->child->prev = level.last;
        path.pop_back();
        continue;
      }
      const cJSON* from = level.next;
      cJSON* copy = cJSON_Duplicate(from, 0);
      if (copy == nullptr) {
        freeTree(top);
        return nullptr;
      }
      appendChild(level.parent, level.last, copy);
      level.last = copy;
      level.next = from->next;
      if (from->child != nullptr) path.push_back({from->child, copy, nullptr});
    }
  } catch (const std::bad_alloc&) {
    freeTree(top);
    return nullptr;
  }
  return top;
}

bool keepDigits(cJSON* node, std::int64_t value) {
  constexpr std::int64_t EXACT = std::int64_t{1} << 53;  // and every integer below it
  if (value >= -EXACT && value <= EXACT) return true;
  char digits[24];
  const auto length =
      static_cast<std::size_t>(std::to_chars(digits, digits + 24, value).ptr - digits);
  auto* text = static_cast<char*>(cJSON_malloc(length + 1));
  if (text == nullptr) return false;
  std::memcpy(text, digits, length);
  text[length] = '\0';
  node->valuestring = text;
  return true;
}

bool keptInteger(const cJSON* node, std::int64_t& value) {
  const char* digits = node->valuestring;
  if (digits == nullptr) return false;
  const char* const end = digits + std::strlen(digits);
  std::int64_t kept = 0;
  const auto [last, ec] = std::from_chars(digits, end, kept);
  if (last != end || ec != std::errc() || static_cast<double>(kept) != node->valuedouble)
    return false;
  value = kept;
  return true;
}

cJSON* newInteger(std::int64_t value) {
  cJSON* node = cJSON_CreateNumber(static_cast<double>(value));
  if (node != nullptr && !keepDigits(node, value)) {
    cJSON_Delete(node);
    return nullptr;
  }
  return node;
}

}  // namespace XInternal
