#pragma once

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "xjson/xjson_export.h"

struct cJSON;  // NOLINT(readability-identifier-naming): the C library's name

namespace XInternal {
// A node's fields, read inline by the handles without cJSON's header: their offsets in cJSON
// 1.x's node and the type bits, checked against that header when the library builds.
constexpr std::size_t CJSON_NEXT = 0;
constexpr std::size_t CJSON_CHILD = 2 * sizeof(void*);
constexpr std::size_t CJSON_TYPE = 3 * sizeof(void*);
constexpr std::size_t CJSON_VALUESTRING = 4 * sizeof(void*);
constexpr std::size_t CJSON_VALUEINT = 5 * sizeof(void*);
constexpr std::size_t CJSON_VALUEDOUBLE = 6 * sizeof(void*);
constexpr std::size_t CJSON_STRING = 7 * sizeof(void*);
constexpr int CJSON_FALSE = 1, CJSON_TRUE = 2, CJSON_NULL = 4, CJSON_NUMBER = 8,
              CJSON_STRING_TYPE = 16, CJSON_ARRAY = 32, CJSON_OBJECT = 64;

template <typename T>
T cjsonField(const cJSON* node, std::size_t offset) {
  T value;
  std::memcpy(static_cast<void*>(&value), reinterpret_cast<const char*>(node) + offset,
              sizeof value);
  return value;
}
inline cJSON* cjsonLink(const cJSON* node, std::size_t offset) {
  return cjsonField<cJSON*>(node, offset);
}
// The node's type without cJSON's flag bits; 0 (cJSON_Invalid) for no node.
inline int cjsonType(const cJSON* node) {
  return node != nullptr ? cjsonField<int>(node, CJSON_TYPE) & 0xFF : 0;
}
inline std::string_view cjsonText(const cJSON* node, std::size_t offset) {
  const char* text = cjsonField<const char*>(node, offset);
  return text != nullptr ? std::string_view(text) : std::string_view();
}
}  // namespace XInternal

// Handles over a cJSON tree. A handle owns its node (and frees the node's whole subtree when it
// dies) or is a view of a node that another handle owns. Reads hand out views, constructors make
// owned nodes, and insert/push_back move a value's node into a tree. What a handle owns can move;
// what it only views is never owned or linked a second time (it is copied instead). A view stays
// usable only while the owner of its tree lives. One thread at a time per tree.
namespace XJson {

enum class JsonFormat : int { Formatted = 0, Compact = 1 };

class Object;
class Array;

class XJSON_EXPORT Element {
 public:
  Element() : m_node(nullptr), m_owned(true), m_taken(false) {}  // invalid (no node), owned
  Element(cJSON* node, bool owned) : m_node(node), m_owned(owned), m_taken(false) {}
  Element(const Element& other);      // deep copy: always owning and independent, even of a view
  Element(Element&& other) noexcept;  // the source is left invalid and not owning
  // Copies the source before releasing what this handle held, so the source may lie in it.
  Element& operator=(const Element& other);
  // From a view of a node inside this handle's own tree: that node is cut out of the tree and
  // owned, the rest of the tree is freed, and the source is left invalid.
  Element& operator=(Element&& other) noexcept;
  virtual ~Element();

  // Frees the node if owned; the handle becomes invalid either way.
  void release();
  // Gives up ownership: the node is returned and the handle goes on as a view of it.
  cJSON* detach() const;

  bool is_valid() const { return m_node != nullptr; }
  // Type tests read the node inline: a walk pays for no call.
  bool is_null() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_NULL; }
  bool is_bool() const {  // JSON true and false alike
    return (XInternal::cjsonType(m_node) & (XInternal::CJSON_TRUE | XInternal::CJSON_FALSE)) != 0;
  }
  bool is_number() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_NUMBER; }
  bool is_string() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_STRING_TYPE; }
  bool is_array() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_ARRAY; }
  bool is_object() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_OBJECT; }

 protected:
  cJSON* node() const { return m_node; }
  template <typename Fn>
  void for_each_child(const Fn& fn) const;

 private:
  friend class Object;
  friend class Array;
  friend class Value;
  friend class Document;

  cJSON* m_node;
  mutable bool m_owned;
  // The node was handed over by another handle (Value/Document of an owning Object or Array),
  // which still views it: a refused addition must then not free it.
  bool m_taken;
};

class XJSON_EXPORT Value : public Element {
 public:
  Value();  // owns a new JSON null
  Value(const std::string& text);
  Value(const char* text);  // null text: an invalid value
  Value(bool value);
  Value(int value);
  Value(double value);
  // Takes the node of an owning object or array, which goes on as a view of it; of a view, a
  // deep copy is made and the view is left as it was.
  Value(const Object& object);
  Value(const Array& array);
  explicit Value(cJSON* node) : Element(node, false) {}  // a view; inline: views are made per node
  ~Value() override;

  Value(const Value&) = default;
  Value(Value&&) noexcept = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) noexcept = default;

  // Typed reads: the default unless the node is of that kind. There is no conversion between
  // kinds (a numeric string is not a number).
  bool to_bool(bool def = false) const {
    return is_bool() ? XInternal::cjsonType(node()) == XInternal::CJSON_TRUE : def;
  }
  double to_number(double def = 0.0) const {
    return is_number() ? XInternal::cjsonField<double>(node(), XInternal::CJSON_VALUEDOUBLE) : def;
  }
  int to_int(int def = 0) const {  // cJSON's saturated, truncated integer field
    return is_number() ? XInternal::cjsonField<int>(node(), XInternal::CJSON_VALUEINT) : def;
  }
  std::string to_string(const std::string& def = {}) const;
  // The string's text without a copy, valid while its tree lives and the node keeps its text;
  // `def` unless the node is a string.
  std::string_view to_string_view(std::string_view def = {}) const {
    return is_string() ? XInternal::cjsonText(node(), XInternal::CJSON_VALUESTRING) : def;
  }
  // The member's key when the handle views an object member (as for_each and value() give
  // them), else empty (an owning handle is no member); valid while the tree lives.
  std::string_view key() const {
    return node() != nullptr && !m_owned ? XInternal::cjsonText(node(), XInternal::CJSON_STRING)
                                         : std::string_view();
  }
  Object to_object() const;  // a view, or invalid
  Array to_array() const;
};

class XJSON_EXPORT Object : public Element {
 public:
  Object();                                               // owns a new empty object
  explicit Object(cJSON* node) : Element(node, false) {}  // a view
  ~Object() override;

  Object(const Object&) = default;
  Object(Object&&) noexcept = default;
  Object& operator=(const Object&) = default;
  Object& operator=(Object&&) noexcept = default;

  bool contains(const char* key) const;  // keys compare without regard to letter case

  // Moves an owning value's node in as the last member under a copy of the key (the value goes on
  // as a view); of a view value a deep copy goes in. An existing member of that key stays.
  // Returns false when refused: invalid object or value, null key, or a value whose subtree holds
  // this object. A refused value that made its node keeps owning it. One that took its node from
  // another handle gives it back to this object if it is this object's own node; otherwise
  // nobody owns it any more: the handle it came from can still read it, and it leaks unless
  // that handle's node is owned again (Document(handle.detach())).
  bool insert(const char* key, const Value& value);
  bool insert(const std::string& key, const Value& value);

  // A view of the first member whose key matches without regard to case, or an invalid value.
  Value value(const char* key) const;
  Value value(const std::string& key) const;

  // Calls `fn` with a view of each member in document order. An empty `fn` throws
  // std::bad_function_call at the first member; exceptions from `fn` pass through.
  void for_each(const std::function<void(const Value&)>& fn) const;
  // The same for a lambda or other function object, inlined: no std::function call per member.
  template <typename Fn, std::enable_if_t<std::is_class_v<Fn>, int> = 0>
  void for_each(const Fn& fn) const {
    for_each_child(fn);
  }
};

class XJSON_EXPORT Array : public Element {
 public:
  Array();                                               // owns a new empty array
  explicit Array(cJSON* node) : Element(node, false) {}  // a view
  ~Array() override;

  Array(const Array&) = default;
  Array(Array&&) noexcept = default;
  Array& operator=(const Array&) = default;
  Array& operator=(Array&&) noexcept = default;

  unsigned long size() const;  // 0 for an invalid handle
  bool is_empty() const { return size() == 0; }

  // Moves the value's node (or a copy of a view) in as the last element; refusals and what a
  // refused value keeps as for Object::insert.
  bool push_back(const Value& value);

  Value at(unsigned long index) const;  // a view, or invalid past the end
  void for_each(const std::function<void(const Value&)>& fn) const;
  template <typename Fn, std::enable_if_t<std::is_class_v<Fn>, int> = 0>
  void for_each(const Fn& fn) const {
    for_each_child(fn);
  }
};

class XJSON_EXPORT Document : public Element {
 public:
  Document();                      // owns a new JSON null
  explicit Document(cJSON* node);  // owns the node
  // Takes the node of an owning object or array, which goes on as a view of it; of a view, a
  // deep copy is made and the view is left as it was.
  Document(const Object& object);
  Document(const Array& array);
  ~Document() override;

  Document(const Document&) = default;
  Document(Document&&) noexcept = default;
  Document& operator=(const Document&) = default;
  Document& operator=(Document&&) noexcept = default;

  // Invalid for a null or unparsable text; text after the first complete value is ignored.
  static Document fromJson(const char* text);
  static Document fromJson(const std::string& text);  // seen up to its first NUL

  // cJSON's layout: Compact has no whitespace, anything else is Formatted. Empty when the
  // document is invalid or printing fails.
  std::string toJson(JsonFormat format = JsonFormat::Formatted) const;

  Object object() const;  // a view of the root object, or invalid
  Array array() const;
};

// One view, moved from child to child: its destructor is not inline, so it runs once. The next
// link is read after each call, so children added meanwhile are seen. Both forms walk here.
template <typename Fn>
void Element::for_each_child(const Fn& fn) const {
  if (m_node == nullptr) return;
  cJSON* child = XInternal::cjsonLink(m_node, XInternal::CJSON_CHILD);
  if (child == nullptr) return;
  Value view(child);
  for (;;) {
    fn(static_cast<const Value&>(view));
    child = XInternal::cjsonLink(view.m_node, XInternal::CJSON_NEXT);
    if (child == nullptr) return;
    view.m_node = child;
  }
}

}  // namespace XJson
