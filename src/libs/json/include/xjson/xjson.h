#pragma once

#include <functional>
#include <string>

#include "xjson/xjson_export.h"

struct cJSON;

// Handles over a cJSON tree. A handle owns its node (and frees the node's whole subtree when it
// dies) or is a view of a node that another handle owns. Reads hand out views, constructors make
// owned nodes, and insert/push_back move a value's node into a tree. A view stays usable only
// while the owner of its tree lives. One thread at a time per tree.
namespace XJson {

enum class JsonFormat : int { Formatted = 0, Compact = 1 };

class Object;
class Array;

class XJSON_EXPORT Element {
 public:
  Element() : m_node(nullptr), m_owned(true) {}  // invalid (no node), owned
  Element(cJSON* node, bool owned) : m_node(node), m_owned(owned) {}
  Element(const Element& other);  // deep copy: always owning and independent, even of a view
  Element(Element&& other) noexcept;  // the source is left invalid and not owning
  Element& operator=(const Element& other);
  Element& operator=(Element&& other) noexcept;
  virtual ~Element();

  // Frees the node if owned; the handle becomes invalid either way.
  void release();
  // Gives up ownership: the node is returned and the handle goes on as a view of it.
  cJSON* detach() const;

  bool is_valid() const { return m_node != nullptr; }
  bool is_null() const;
  bool is_bool() const;  // JSON true and false alike
  bool is_number() const;
  bool is_string() const;
  bool is_array() const;
  bool is_object() const;

 protected:
  cJSON* node() const { return m_node; }

 private:
  friend class Object;
  friend class Array;

  cJSON* m_node;
  mutable bool m_owned;
};

class XJSON_EXPORT Value : public Element {
 public:
  Value();  // owns a new JSON null
  Value(const std::string& text);
  Value(const char* text);  // null text: an invalid value
  Value(bool value);
  Value(int value);
  Value(double value);
  // Takes the node of the object or array, which goes on as a view of it.
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
  bool to_bool(bool def = false) const;
  double to_number(double def = 0.0) const;
  int to_int(int def = 0) const;  // cJSON's saturated, truncated integer field
  std::string to_string(const std::string& def = {}) const;
  Object to_object() const;  // a view, or invalid
  Array to_array() const;
};

class XJSON_EXPORT Object : public Element {
 public:
  Object();  // owns a new empty object
  explicit Object(cJSON* node) : Element(node, false) {}  // a view
  ~Object() override;

  Object(const Object&) = default;
  Object(Object&&) noexcept = default;
  Object& operator=(const Object&) = default;
  Object& operator=(Object&&) noexcept = default;

  bool contains(const char* key) const;  // keys compare without regard to letter case

  // Moves the value's node in as the last member under a copy of the key; an existing member
  // of that key stays. Returns false when refused (invalid object or value, null key, the
  // object itself, or a node that already sits in a tree); the value then keeps its node and
  // its ownership as before.
  bool insert(const char* key, const Value& value);
  bool insert(const std::string& key, const Value& value);

  // A view of the first member whose key matches without regard to case, or an invalid value.
  Value value(const char* key) const;
  Value value(const std::string& key) const;

  // Calls `fn` with a view of each member in document order. An empty `fn` throws
  // std::bad_function_call at the first member; exceptions from `fn` pass through.
  void for_each(const std::function<void(const Value&)>& fn) const;
};

class XJSON_EXPORT Array : public Element {
 public:
  Array();  // owns a new empty array
  explicit Array(cJSON* node) : Element(node, false) {}  // a view
  ~Array() override;

  Array(const Array&) = default;
  Array(Array&&) noexcept = default;
  Array& operator=(const Array&) = default;
  Array& operator=(Array&&) noexcept = default;

  unsigned long size() const;  // 0 for an invalid handle
  bool is_empty() const { return size() == 0; }

  // Moves the value's node in as the last element; refusals as for Object::insert.
  bool push_back(const Value& value);

  Value at(unsigned long index) const;  // a view, or invalid past the end
  void for_each(const std::function<void(const Value&)>& fn) const;
};

class XJSON_EXPORT Document : public Element {
 public:
  Document();  // owns a new JSON null
  explicit Document(cJSON* node);  // owns the node
  // Takes the node of the object or array, which goes on as a view of it.
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

}  // namespace XJson
