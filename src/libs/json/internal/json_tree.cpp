#include "internal/json_tree.h"

#include <new>
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

}  // namespace XInternal
