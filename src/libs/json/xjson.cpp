#include "xjson/xjson.h"

#include <utility>

#include <cjson/cJSON.h>

namespace XJson {
namespace {

// cJSON's own type tests, read straight from the node: they sit on every typed read.
bool hasType(const cJSON* node, int type) { return node != nullptr && (node->type & 0xFF) == type; }

// A root is a node outside any tree: cJSON links children through prev/next.
bool isRoot(const cJSON* node) { return node->prev == nullptr && node->next == nullptr; }

// The parent of `target` in the subtree under `node` (not counting `node` itself), or null.
// Recursive like cJSON's own printer and deleter, so no deeper than they go.
cJSON* findParent(cJSON* node, const cJSON* target) {
  for (cJSON* child = node->child; child != nullptr; child = child->next) {
    if (child == target) return node;
    if (child->child != nullptr) {
      if (cJSON* parent = findParent(child, target)) return parent;
    }
  }
  return nullptr;
}

// The node a new owning handle gets from `source`: an owning source hands its node over (and
// goes on as a view of it); a view is copied, so its node is never owned twice.
cJSON* takeOrCopy(cJSON* node, bool& sourceOwned, bool& taken) {
  taken = sourceOwned;
  if (sourceOwned) {
    sourceOwned = false;
    return node;
  }
  return node != nullptr ? cJSON_Duplicate(node, 1) : nullptr;
}

// insert/push_back: `add` links the item into `target`. A view value is copied in. An owning
// value is refused when its subtree holds the target (only a view target can lie in another
// tree, so an owning one needs no walk); a refused node it took from another handle is not
// freed, and goes back to the target when it is the target's own node.
template <typename Add>
bool addValue(cJSON* target, bool& targetOwned, cJSON* item, bool& itemOwned, bool itemTaken,
              const Add& add) {
  if (target == nullptr || item == nullptr) {
    if (itemTaken) itemOwned = false;
    return false;
  }
  if (!itemOwned) {
    cJSON* copy = cJSON_Duplicate(item, 1);
    if (copy != nullptr && add(copy)) return true;
    cJSON_Delete(copy);
    return false;
  }
  if (item != target && isRoot(item) && (targetOwned || findParent(item, target) == nullptr) &&
      add(item)) {
    itemOwned = false;
    return true;
  }
  if (itemTaken) {
    itemOwned = false;
    if (item == target) targetOwned = true;
  }
  return false;
}

template <typename Fn>
void forEachChild(const cJSON* node, const Fn& fn) {
  if (node == nullptr) return;
  for (cJSON* child = node->child; child != nullptr; child = child->next) {
    const Value view(child);
    fn(view);
  }
}

}  // namespace

// ---- Element

Element::Element(const Element& other)
    : m_node(other.m_node != nullptr ? cJSON_Duplicate(other.m_node, 1) : nullptr),
      m_owned(true),
      m_taken(false) {}

Element::Element(Element&& other) noexcept
    : m_node(std::exchange(other.m_node, nullptr)),
      m_owned(std::exchange(other.m_owned, false)),
      m_taken(std::exchange(other.m_taken, false)) {}

Element& Element::operator=(const Element& other) {
  if (this != &other) {
    cJSON* copy = other.m_node != nullptr ? cJSON_Duplicate(other.m_node, 1) : nullptr;
    release();
    m_node = copy;
    m_owned = true;
    m_taken = false;
  }
  return *this;
}

Element& Element::operator=(Element&& other) noexcept {
  if (this == &other) return *this;
  if (m_owned && m_node != nullptr && !other.m_owned && other.m_node != nullptr) {
    // A view of our own root or of a node below it: keep that node, free the rest.
    cJSON* parent = other.m_node == m_node ? nullptr : findParent(m_node, other.m_node);
    if (other.m_node == m_node || parent != nullptr) {
      if (parent != nullptr) {
        cJSON_DetachItemViaPointer(parent, other.m_node);
        cJSON_Delete(m_node);
        m_node = other.m_node;
        m_taken = false;
      }
      other.m_node = nullptr;
      other.m_taken = false;
      return *this;
    }
  }
  release();
  m_node = std::exchange(other.m_node, nullptr);
  m_owned = std::exchange(other.m_owned, false);
  m_taken = std::exchange(other.m_taken, false);
  return *this;
}

Element::~Element() { release(); }

void Element::release() {
  if (m_node != nullptr && m_owned) cJSON_Delete(m_node);
  m_node = nullptr;
}

cJSON* Element::detach() const {
  m_owned = false;
  return m_node;
}

bool Element::is_null() const { return hasType(m_node, cJSON_NULL); }
bool Element::is_bool() const {
  return m_node != nullptr && (m_node->type & (cJSON_True | cJSON_False)) != 0;
}
bool Element::is_number() const { return hasType(m_node, cJSON_Number); }
bool Element::is_string() const { return hasType(m_node, cJSON_String); }
bool Element::is_array() const { return hasType(m_node, cJSON_Array); }
bool Element::is_object() const { return hasType(m_node, cJSON_Object); }

// ---- Value

Value::Value() : Element(cJSON_CreateNull(), true) {}
Value::Value(const std::string& text) : Value(text.c_str()) {}
Value::Value(const char* text)
    : Element(text != nullptr ? cJSON_CreateString(text) : nullptr, true) {}
Value::Value(bool value) : Element(cJSON_CreateBool(value), true) {}
Value::Value(int value) : Element(cJSON_CreateNumber(static_cast<double>(value)), true) {}
Value::Value(double value) : Element(cJSON_CreateNumber(value), true) {}
Value::Value(const Object& object) : Element(nullptr, true) {
  m_node = takeOrCopy(object.m_node, object.m_owned, m_taken);
}
Value::Value(const Array& array) : Element(nullptr, true) {
  m_node = takeOrCopy(array.m_node, array.m_owned, m_taken);
}
Value::~Value() = default;

bool Value::to_bool(bool def) const { return is_bool() ? hasType(node(), cJSON_True) : def; }

double Value::to_number(double def) const { return is_number() ? node()->valuedouble : def; }

int Value::to_int(int def) const { return is_number() ? node()->valueint : def; }

std::string Value::to_string(const std::string& def) const {
  if (is_string() && node()->valuestring != nullptr) return node()->valuestring;
  return def;
}

Object Value::to_object() const { return Object(is_object() ? node() : nullptr); }

Array Value::to_array() const { return Array(is_array() ? node() : nullptr); }

// ---- Object

Object::Object() : Element(cJSON_CreateObject(), true) {}
Object::~Object() = default;

bool Object::contains(const char* key) const {
  return node() != nullptr && key != nullptr && cJSON_HasObjectItem(node(), key);
}

bool Object::insert(const char* key, const Value& value) {
  return addValue(node(), m_owned, value.m_node, value.m_owned, value.m_taken, [&](cJSON* item) {
    return key != nullptr && cJSON_AddItemToObject(node(), key, item) != 0;
  });
}

bool Object::insert(const std::string& key, const Value& value) {
  return insert(key.c_str(), value);
}

Value Object::value(const char* key) const {
  return Value(node() != nullptr && key != nullptr ? cJSON_GetObjectItem(node(), key) : nullptr);
}

Value Object::value(const std::string& key) const { return value(key.c_str()); }

void Object::for_each(const std::function<void(const Value&)>& fn) const {
  forEachChild(node(), fn);
}

// ---- Array

Array::Array() : Element(cJSON_CreateArray(), true) {}
Array::~Array() = default;

unsigned long Array::size() const {
  return node() != nullptr
             ? static_cast<unsigned long>(static_cast<long>(cJSON_GetArraySize(node())))
             : 0;
}

bool Array::push_back(const Value& value) {
  return addValue(node(), m_owned, value.m_node, value.m_owned, value.m_taken,
                  [&](cJSON* item) { return cJSON_AddItemToArray(node(), item) != 0; });
}

Value Array::at(unsigned long index) const {
  if (index >= size()) return Value(static_cast<cJSON*>(nullptr));
  return Value(cJSON_GetArrayItem(node(), static_cast<int>(index)));
}

void Array::for_each(const std::function<void(const Value&)>& fn) const {
  forEachChild(node(), fn);
}

// ---- Document

Document::Document() : Element(cJSON_CreateNull(), true) {}
Document::Document(cJSON* node) : Element(node, true) {}
Document::Document(const Object& object) : Element(nullptr, true) {
  m_node = takeOrCopy(object.m_node, object.m_owned, m_taken);
}
Document::Document(const Array& array) : Element(nullptr, true) {
  m_node = takeOrCopy(array.m_node, array.m_owned, m_taken);
}
Document::~Document() = default;

Document Document::fromJson(const char* text) {
  return Document(text != nullptr ? cJSON_Parse(text) : nullptr);
}

Document Document::fromJson(const std::string& text) { return fromJson(text.c_str()); }

std::string Document::toJson(JsonFormat format) const {
  if (node() == nullptr) return {};
  char* printed =
      format == JsonFormat::Compact ? cJSON_PrintUnformatted(node()) : cJSON_Print(node());
  if (printed == nullptr) return {};
  struct Free {
    char* p;
    ~Free() { cJSON_free(p); }  // also when the copy below throws
  } guard{printed};
  return std::string(printed);
}

Object Document::object() const { return Object(is_object() ? node() : nullptr); }

Array Document::array() const { return Array(is_array() ? node() : nullptr); }

}  // namespace XJson
