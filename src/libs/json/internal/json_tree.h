#pragma once

// What the library's tree code shares: freeing, linking, finding a parent and copying a cJSON
// tree, none of it recursive: a tree built through the handles has no depth limit. Private to
// the library.

#include <cstdint>

#include <cjson/cJSON.h>

namespace XInternal {

// cJSON_Delete (the node, its subtree unless it is a reference, its later siblings), one node at
// a time: each child is rotated into the sibling chain ahead of its parent, so every node is
// childless when it is freed.
inline void freeTree(cJSON* node) {
  while (node != nullptr) {
    cJSON* child = (node->type & cJSON_IsReference) != 0 ? nullptr : node->child;
    if (child != nullptr) {
      node->child = child->next;
      child->next = node;
      node = child;
    } else {
      // What cJSON_Delete frees of a childless node, without its walk.
      cJSON* next = node->next;
      if ((node->type & cJSON_IsReference) == 0 && node->valuestring != nullptr)
        cJSON_free(node->valuestring);
      if ((node->type & cJSON_StringIsConst) == 0 && node->string != nullptr)
        cJSON_free(node->string);
      cJSON_free(node);
      node = next;
    }
  }
}

// Links `child` in after `last` (null: as the first child of `parent`), as cJSON links a list;
// the first child's prev is set to the last once the list is complete.
inline void appendChild(cJSON* parent, cJSON* last, cJSON* child) {
  if (last == nullptr) {
    parent->child = child;
  } else {
    last->next = child;
    child->prev = last;
  }
}

// The parent of `target` in the subtree under `node` (not counting `node` itself), or null.
// Neither a stack nor an allocation, so it may run in a noexcept move.
cJSON* findParent(cJSON* node, const cJSON* target);

// cJSON_Duplicate(node, 1) without recursion; null for no node or when out of memory.
cJSON* copyTree(const cJSON* node);

// Integers of the int64 range beyond ±2^53, which a double cannot hold, keep their digits in
// their number node's valuestring, which cJSON frees and duplicates with the node and its own
// functions ignore. They are used only while they agree with valuedouble, which a caller may
// have set through cJSON since.

// Gives `node` the digits of `value` when a double cannot hold it; false when out of memory.
bool keepDigits(cJSON* node, std::int64_t value);
// The integer whose digits the number `node` keeps, when they agree with its valuedouble.
bool keptInteger(const cJSON* node, std::int64_t& value);
// A new number node holding `value` (with its digits when needed), or null.
cJSON* newInteger(std::int64_t value);

}  // namespace XInternal
