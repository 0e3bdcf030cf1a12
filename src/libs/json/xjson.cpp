#include "xjson/xjson.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <cjson/cJSON.h>

#include "internal/json_parse.h"
#include "internal/json_print.h"
#include "internal/json_tree.h"

namespace XJson {

static_assert(offsetof(cJSON, next) == XInternal::CJSON_NEXT &&
                  offsetof(cJSON, child) == XInternal::CJSON_CHILD &&
                  offsetof(cJSON, type) == XInternal::CJSON_TYPE &&
                  offsetof(cJSON, valuestring) == XInternal::CJSON_VALUESTRING &&
                  offsetof(cJSON, valueint) == XInternal::CJSON_VALUEINT &&
                  offsetof(cJSON, valuedouble) == XInternal::CJSON_VALUEDOUBLE &&
                  offsetof(cJSON, string) == XInternal::CJSON_STRING,
              "the header's inline reads find cJSON's fields at these offsets");
static_assert(cJSON_False == XInternal::CJSON_FALSE && cJSON_True == XInternal::CJSON_TRUE &&
                  cJSON_NULL == XInternal::CJSON_NULL && cJSON_Number == XInternal::CJSON_NUMBER &&
                  cJSON_String == XInternal::CJSON_STRING_TYPE &&
                  cJSON_Array == XInternal::CJSON_ARRAY && cJSON_Object == XInternal::CJSON_OBJECT,
              "the header's type tests use cJSON's type bits");

namespace {

using XInternal::copyTree;
using XInternal::findParent;
using XInternal::freeTree;

// A root is a node outside any tree: cJSON links children through prev/next.
bool isRoot(const cJSON* node) { return node->prev == nullptr && node->next == nullptr; }

// Frees the key a node kept from an object it left, so that key() tells no stale one.
void dropKey(cJSON* node) {
  if (node->string != nullptr && (node->type & cJSON_StringIsConst) == 0) cJSON_free(node->string);
  node->string = nullptr;
  node->type &= ~cJSON_StringIsConst;
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
    cJSON* copy = copyTree(item);
    if (copy != nullptr && add(copy)) return true;
    freeTree(copy);
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

// The parse of a bounded text, for fromJson and fromJsonPrefix: `used` is what the value and the
// whitespace after it took, 0 on failure.
cJSON* parseText(std::string_view text, bool refuseRest, std::size_t& used, ParseError* error) {
  XInternal::ParseOutcome outcome;
  cJSON* root = XInternal::parseJson(text, outcome);
  if (root != nullptr && refuseRest && outcome.end != text.data() + text.size()) {
    freeTree(root);
    root = nullptr;
    outcome.failedAt = outcome.end;
    outcome.reason = "text after the value";
  }
  used = root != nullptr ? static_cast<std::size_t>(outcome.end - text.data()) : 0;
  if (root == nullptr && error != nullptr) {
    const XInternal::TextPlace place = XInternal::placeOf(text, outcome.failedAt);
    *error = {place.offset, place.line, place.column, outcome.reason};
  }
  return root;
}

}  // namespace

Element::Element(const Element& other)
    : m_node(copyTree(other.m_node)), m_owned(true), m_taken(false) {}

// A view is copied, so its node is never owned twice.
Element::Element(const Element& source, TakeOrCopy)
    : m_node(source.m_owned ? source.m_node : copyTree(source.m_node)),
      m_owned(true),
      m_taken(source.m_owned) {
  source.m_owned = false;
}

Element::Element(Element&& other) noexcept
    : m_node(std::exchange(other.m_node, nullptr)),
      m_owned(std::exchange(other.m_owned, false)),
      m_taken(std::exchange(other.m_taken, false)) {}

Element& Element::operator=(const Element& other) {
  if (this != &other) {
    cJSON* copy = copyTree(other.m_node);
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
        dropKey(other.m_node);
        freeTree(m_node);
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
  if (m_owned) freeTree(m_node);
  m_node = nullptr;
}

cJSON* Element::detach() const {
  m_owned = false;
  return m_node;
}

Value::Value() : Element(cJSON_CreateNull(), true) {}
Value::Value(const std::string& text) : Value(text.c_str()) {}
Value::Value(const char* text)
    : Element(text != nullptr ? cJSON_CreateString(text) : nullptr, true) {}
Value::Value(bool value) : Element(cJSON_CreateBool(value), true) {}
Value::Value(int value) : Element(cJSON_CreateNumber(static_cast<double>(value)), true) {}
Value::Value(std::int64_t value) : Element(XInternal::newInteger(value), true) {}
Value::Value(double value) : Element(cJSON_CreateNumber(value), true) {}
Value::Value(const Object& object) : Element(object, TakeOrCopy{}) {}
Value::Value(const Array& array) : Element(array, TakeOrCopy{}) {}
Value::~Value() = default;

std::string Value::to_string(const std::string& def) const {
  if (is_string() && node()->valuestring != nullptr) return node()->valuestring;
  return def;
}

std::int64_t Value::to_int64(std::int64_t def) const {
  if (!is_number()) return def;
  std::int64_t exact = 0;
  if (XInternal::keptInteger(node(), exact)) return exact;
  const double d = node()->valuedouble;
  constexpr double LIMIT = 0x1p63;  // INT64_MAX + 1 and -INT64_MIN, exact in a double
  if (std::isnan(d)) return 0;
  if (d >= LIMIT) return INT64_MAX;
  if (d <= -LIMIT) return INT64_MIN;
  return static_cast<std::int64_t>(d);
}

Object Value::to_object() const { return Object(is_object() ? node() : nullptr); }

Array Value::to_array() const { return Array(is_array() ? node() : nullptr); }

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

Value Object::find(std::string_view key) const {
  if (node() == nullptr) return Value(static_cast<cJSON*>(nullptr));
  cJSON* member = node()->child;
  while (member != nullptr && (member->string == nullptr || member->string != key))
    member = member->next;
  return Value(member);
}

bool Object::has(std::string_view key) const { return find(key).is_valid(); }

void Object::for_each(const std::function<void(const Value&)>& fn) const { for_each_child(fn); }

Array::Array() : Element(cJSON_CreateArray(), true) {}
Array::~Array() = default;

unsigned long Array::size() const {
  return node() != nullptr
             ? static_cast<unsigned long>(static_cast<long>(cJSON_GetArraySize(node())))
             : 0;
}

bool Array::push_back(const Value& value) {
  return addValue(node(), m_owned, value.m_node, value.m_owned, value.m_taken, [&](cJSON* item) {
    if (!cJSON_AddItemToArray(node(), item)) return false;
    dropKey(item);  // an element has none, whatever object it came from
    return true;
  });
}

Value Array::at(unsigned long index) const {
  if (index >= size()) return Value(static_cast<cJSON*>(nullptr));
  return Value(cJSON_GetArrayItem(node(), static_cast<int>(index)));
}

void Array::for_each(const std::function<void(const Value&)>& fn) const { for_each_child(fn); }

Document::Document() : Element(cJSON_CreateNull(), true) {}
Document::Document(cJSON* node) : Element(node, true) {}
Document::Document(const Object& object) : Element(object, TakeOrCopy{}) {}
Document::Document(const Array& array) : Element(array, TakeOrCopy{}) {}
Document::~Document() = default;

Document Document::fromJson(const char* text) { return Document(XInternal::parseJson(text)); }

Document Document::fromJson(const std::string& text) { return fromJson(text.c_str()); }

Document Document::fromJson(std::string_view text, ParseError* error, JsonRest rest) {
  std::size_t used = 0;
  return Document(parseText(text, rest == JsonRest::Refuse, used, error));
}

Document Document::fromJsonPrefix(std::string_view text, std::size_t& used, ParseError* error) {
  return Document(parseText(text, false, used, error));
}

std::string Document::toJson(JsonFormat format) const {
  if (node() == nullptr) return {};
  return XInternal::printJson(node(), format != JsonFormat::Compact);
}

Object Document::object() const { return Object(is_object() ? node() : nullptr); }

Array Document::array() const { return Array(is_array() ? node() : nullptr); }

}  // namespace XJson
