#pragma once

/// @file
/// Owning and viewing handles over a cJSON tree: parsing, typed reads with defaults, building
/// and printing.

#include <cstddef>
#include <cstdint>
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
  return static_cast<cJSON*>(cjsonField<void*>(node, offset));
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

/// Handles over a cJSON tree. A handle owns its node (and frees the node's whole subtree when it
/// dies) or is a view of a node that another handle owns. Reads hand out views, constructors make
/// owned nodes, and insert/push_back move a value's node into a tree. What a handle owns can move;
/// what it only views is never owned or linked a second time (it is copied instead). A view stays
/// usable only while the owner of its tree lives. One thread at a time per tree.
namespace XJson {

/// The layout Document::toJson prints.
enum class JsonFormat : int {
  Formatted = 0,  ///< cJSON's formatted layout: newlines and tab indents.
  Compact = 1     ///< No whitespace at all.
};

/// What may follow the first value of a text that Document::fromJson(std::string_view,
/// ParseError*, JsonRest) reads.
enum class JsonRest : int {
  Ignore = 0,  ///< Anything: it is not read, as fromJson(const char*) does.
  Refuse = 1   ///< Whitespace only; anything else fails with "text after the value".
};

/// Where and why a text is not JSON, as the parse functions that take one tell it.
struct ParseError {
  /// Bytes before the place, from the start of the text given (a byte-order mark counts).
  std::size_t offset = 0;
  /// The place's line, from 1; lines end at '\n'.
  std::size_t line = 0;
  /// The place's column, from 1, in characters: a UTF-8 sequence counts one, and so does a tab.
  /// A byte-order mark at the start is none.
  std::size_t column = 0;
  /// What is wrong there, a short static text: "expected a value", "expected a key", "expected
  /// ':'", "expected ',' or '}'", "expected ',' or ']'", "invalid literal", "invalid number",
  /// "unterminated string" (at its opening quote), "invalid escape", "nesting deeper than
  /// 1000", "text after the value" or "out of memory".
  std::string_view reason;
};

class Object;
class Array;

/// The handle every JSON type shares: one node, owned or viewed, and the type tests. An invalid
/// handle has no node; reads of it give their defaults and additions to it are refused.
class XJSON_EXPORT Element {
 public:
  /// An invalid handle (no node), marked owning.
  Element() : m_node(nullptr), m_owned(true), m_taken(false) {}
  /// Wraps `node` (null: invalid); when `owned`, the handle frees its subtree when it dies.
  Element(cJSON* node, bool owned) : m_node(node), m_owned(owned), m_taken(false) {}
  /// Deep copy: always owning and independent, even of a view; invalid if the copy fails.
  Element(const Element& other);
  /// Moves the node and its ownership; the source is left invalid and not owning.
  Element(Element&& other) noexcept;
  /// Replaces the held node with a deep, owning copy of the source's. Copies the source before
  /// releasing what this handle held, so the source may lie in it.
  Element& operator=(const Element& other);
  /// Takes over the source's node and ownership, releasing what this handle held. From a view of
  /// a node inside this handle's own tree: that node is cut out of the tree and owned, the rest
  /// of the tree is freed, and the source is left invalid.
  Element& operator=(Element&& other) noexcept;
  /// Frees the node's subtree if owned.
  virtual ~Element();

  /// Frees the node if owned; the handle becomes invalid either way.
  void release();
  /// Gives up ownership: the node is returned and the handle goes on as a view of it. The caller
  /// then frees it, or has it owned again (Document(node)).
  /// @return The node, or null for an invalid handle.
  cJSON* detach() const;

  /// Whether the handle has a node.
  [[nodiscard]] bool is_valid() const { return m_node != nullptr; }

  /// @name Type tests
  /// Type tests read the node inline: a walk pays for no call. All are false for an invalid
  /// handle.
  /// @{

  /// A JSON null.
  bool is_null() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_NULL; }
  /// JSON true and false alike.
  bool is_bool() const {
    return (XInternal::cjsonType(m_node) & (XInternal::CJSON_TRUE | XInternal::CJSON_FALSE)) != 0;
  }
  /// A JSON number, integral or not.
  bool is_number() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_NUMBER; }
  /// A JSON string.
  bool is_string() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_STRING_TYPE; }
  /// A JSON array.
  bool is_array() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_ARRAY; }
  /// A JSON object.
  bool is_object() const { return XInternal::cjsonType(m_node) == XInternal::CJSON_OBJECT; }
  /// @}

 protected:
  /// The node this handle owns or views, or null; ownership stays as it is.
  cJSON* node() const { return m_node; }
  /// Calls `fn` with a view of each child in order; both for_each forms walk here. One view is
  /// moved from child to child: its destructor is not inline, so it runs once. The next link is
  /// read after each call, so children added meanwhile are seen.
  template <typename Fn>
  void for_each_child(const Fn& fn) const;

 private:
  friend class Object;
  friend class Array;
  friend class Value;
  friend class Document;

  // What the constructors of Value and Document from an Object or Array share: an owning
  // source hands its node over (and goes on as a view of it), a view is copied.
  struct TakeOrCopy {};
  XJSON_NO_EXPORT Element(const Element& source, TakeOrCopy);

  cJSON* m_node;
  mutable bool m_owned;
  /// The node was handed over by another handle (Value/Document of an owning Object or Array),
  /// which still views it: a refused addition must then not free it.
  bool m_taken;
};

/// Any JSON value: a new one made from a C++ value (owning), or a view that a read hands out.
class XJSON_EXPORT Value : public Element {
 public:
  /// Owns a new JSON null.
  Value();
  /// Owns a new JSON string holding a copy of `text`, up to its first NUL.
  Value(const std::string& text);
  /// Owns a new JSON string holding a copy of `text`; null text gives an invalid value.
  Value(const char* text);
  /// Owns a new JSON true or false.
  Value(bool value);
  /// Owns a new JSON number.
  Value(int value);
  /// Owns a new JSON number holding `value` exactly: to_int64() reads it back and toJson prints
  /// its digits, also beyond ±2^53, where the double of to_number() is near it only.
  Value(std::int64_t value);
  /// Owns a new JSON number; NaN and the infinities print as null.
  Value(double value);
  /// Takes the node of an owning object, which goes on as a view of it; of a view, a deep copy is
  /// made and the view is left as it was.
  Value(const Object& object);
  /// Takes the node of an owning array, which goes on as a view of it; of a view, a deep copy is
  /// made and the view is left as it was.
  Value(const Array& array);
  /// A view of `node` (null: invalid); inline, as views are made per node.
  explicit Value(cJSON* node) : Element(node, false) {}
  /// Frees the node's subtree if owned.
  ~Value() override;

  ///@{
  /// As Element's: a copy is deep and always owning; a move takes the node and its ownership and
  /// leaves the source invalid.
  Value(const Value&) = default;
  Value(Value&&) noexcept = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) noexcept = default;
  ///@}

  /// @name Typed reads
  /// Typed reads: the default unless the node is of that kind. There is no conversion between
  /// kinds (a numeric string is not a number).
  /// @{

  /// Whether the node is JSON true; `def` unless it is a boolean.
  bool to_bool(bool def = false) const {
    return is_bool() ? XInternal::cjsonType(node()) == XInternal::CJSON_TRUE : def;
  }
  /// The number as a double; `def` unless the node is a number.
  double to_number(double def = 0.0) const {
    return is_number() ? XInternal::cjsonField<double>(node(), XInternal::CJSON_VALUEDOUBLE) : def;
  }
  /// cJSON's saturated, truncated integer field; `def` unless the node is a number.
  int to_int(int def = 0) const {
    return is_number() ? XInternal::cjsonField<int>(node(), XInternal::CJSON_VALUEINT) : def;
  }
  /// The number as a 64-bit integer, exact for an integer of that range that was parsed from
  /// text written without fraction or exponent, or made by Value(std::int64_t), unless its
  /// number was set through cJSON since; other numbers truncated and saturated at INT64_MIN and
  /// INT64_MAX (NaN gives 0). `def` unless the node is a number.
  std::int64_t to_int64(std::int64_t def = 0) const;
  /// A copy of the string's text; `def` unless the node is a string.
  std::string to_string(const std::string& def = {}) const;
  /// The string's text without a copy, valid while its tree lives and the node keeps its text;
  /// `def` unless the node is a string.
  std::string_view to_string_view(std::string_view def = {}) const {
    return is_string() ? XInternal::cjsonText(node(), XInternal::CJSON_VALUESTRING) : def;
  }
  /// @}

  /// The member's key when the handle views an object member (as for_each and value() give
  /// them), else empty (an owning handle is no member); valid while the tree lives.
  std::string_view key() const {
    return node() != nullptr && !m_owned ? XInternal::cjsonText(node(), XInternal::CJSON_STRING)
                                         : std::string_view();
  }
  /// A view of the object, or an invalid handle unless the node is an object.
  Object to_object() const;
  /// A view of the array, or an invalid handle unless the node is an array.
  Array to_array() const;
};

/// A JSON object: a new one (owning), or a view of one in a tree.
class XJSON_EXPORT Object : public Element {
 public:
  /// Owns a new empty object.
  Object();
  /// A view of `node` (null: invalid).
  explicit Object(cJSON* node) : Element(node, false) {}
  /// Frees the node's subtree if owned.
  ~Object() override;

  ///@{
  /// As Element's: a copy is deep and always owning; a move takes the node and its ownership and
  /// leaves the source invalid.
  Object(const Object&) = default;
  Object(Object&&) noexcept = default;
  Object& operator=(const Object&) = default;
  Object& operator=(Object&&) noexcept = default;
  ///@}

  /// Whether a member has `key`; keys compare without regard to letter case. False for an invalid
  /// object or a null key.
  bool contains(const char* key) const;

  /// Moves an owning value's node in as the last member under a copy of the key (the value goes on
  /// as a view); of a view value a deep copy goes in. An existing member of that key stays.
  /// Returns false when refused: invalid object or value, null key, or a value whose subtree holds
  /// this object. A refused value that made its node keeps owning it. One that took its node from
  /// another handle gives it back to this object if it is this object's own node; otherwise
  /// nobody owns it any more: the handle it came from can still read it, and it leaks unless
  /// that handle's node is owned again (Document(handle.detach())).
  bool insert(const char* key, const Value& value);
  /// The same with a std::string key, up to its first NUL.
  bool insert(const std::string& key, const Value& value);

  /// A view of the first member whose key matches without regard to case, or an invalid value.
  Value value(const char* key) const;
  /// The same with a std::string key, up to its first NUL.
  Value value(const std::string& key) const;

  /// A view of the first member whose key is `key` byte for byte (letter case counts), or an
  /// invalid value.
  Value find(std::string_view key) const;
  /// Whether a member's key is `key` byte for byte; false for an invalid object.
  bool has(std::string_view key) const;

  /// Calls `fn` with a view of each member in document order. An empty `fn` throws
  /// std::bad_function_call at the first member; exceptions from `fn` pass through.
  void for_each(const std::function<void(const Value&)>& fn) const;
  /// The same for a lambda or other function object, inlined: no std::function call per member.
  template <typename Fn, std::enable_if_t<std::is_class_v<Fn>, int> = 0>
  void for_each(const Fn& fn) const {
    for_each_child(fn);
  }
};

/// A JSON array: a new one (owning), or a view of one in a tree.
class XJSON_EXPORT Array : public Element {
 public:
  /// Owns a new empty array.
  Array();
  /// A view of `node` (null: invalid).
  explicit Array(cJSON* node) : Element(node, false) {}
  /// Frees the node's subtree if owned.
  ~Array() override;

  ///@{
  /// As Element's: a copy is deep and always owning; a move takes the node and its ownership and
  /// leaves the source invalid.
  Array(const Array&) = default;
  Array(Array&&) noexcept = default;
  Array& operator=(const Array&) = default;
  Array& operator=(Array&&) noexcept = default;
  ///@}

  /// The number of elements, counted by a walk; 0 for an invalid handle.
  unsigned long size() const;
  /// Whether there are no elements (true for an invalid handle); counts them like size().
  bool is_empty() const { return size() == 0; }

  /// Moves the value's node (or a copy of a view) in as the last element; refusals and what a
  /// refused value keeps as for Object::insert.
  /// @return false when refused.
  bool push_back(const Value& value);

  /// A view of the element at `index`, or an invalid value past the end; found by a walk.
  Value at(unsigned long index) const;
  /// Calls `fn` with a view of each element in order. An empty `fn` throws
  /// std::bad_function_call at the first element; exceptions from `fn` pass through.
  void for_each(const std::function<void(const Value&)>& fn) const;
  /// The same for a lambda or other function object, inlined: no std::function call per element.
  template <typename Fn, std::enable_if_t<std::is_class_v<Fn>, int> = 0>
  void for_each(const Fn& fn) const {
    for_each_child(fn);
  }
};

/// The owning handle of a whole tree, parsed from JSON text or printed to it.
class XJSON_EXPORT Document : public Element {
 public:
  /// Owns a new JSON null.
  Document();
  /// Owns `node` and its subtree (null: invalid), as after a detach().
  explicit Document(cJSON* node);
  /// Takes the node of an owning object, which goes on as a view of it; of a view, a deep copy
  /// is made and the view is left as it was.
  Document(const Object& object);
  /// Takes the node of an owning array, which goes on as a view of it; of a view, a deep copy is
  /// made and the view is left as it was.
  Document(const Array& array);
  /// Frees the node's subtree if owned.
  ~Document() override;

  ///@{
  /// As Element's: a copy is deep and always owning; a move takes the node and its ownership and
  /// leaves the source invalid.
  Document(const Document&) = default;
  Document(Document&&) noexcept = default;
  Document& operator=(const Document&) = default;
  Document& operator=(Document&&) noexcept = default;
  ///@}

  /// Parses `text` into a new owning document. Invalid for a null or unparsable text; text after
  /// the first complete value is ignored.
  [[nodiscard]] static Document fromJson(const char* text);
  /// The same for a std::string, seen up to its first NUL.
  [[nodiscard]] static Document fromJson(const std::string& text);
  /// Parses `text`, which needs no NUL after it, as fromJson(const char*) parses a C string: a
  /// NUL byte is no JSON, and where the parse meets one it fails as at the end of a C string.
  /// What follows the first value is ignored, or with JsonRest::Refuse may only be whitespace.
  /// When the text is not JSON, `error` (unless null) tells where and why; it is left as it was
  /// on success. Thread-safe, as every parse.
  [[nodiscard]] static Document fromJson(std::string_view text, ParseError* error,
                                         JsonRest rest = JsonRest::Ignore);
  /// Parses the first JSON value of `text`, a stream of them separated by whitespace or by
  /// nothing, as fromJson(text, error) does, and sets `used` to the bytes it took, whitespace
  /// after it included: the next value starts there, and all of them are read when `used` reaches
  /// the end. `used` is 0 when the value is not JSON; the error's place is in `text`.
  [[nodiscard]] static Document fromJsonPrefix(std::string_view text, std::size_t& used,
                                               ParseError* error = nullptr);

  /// The document as JSON text in cJSON's layout: Compact has no whitespace, anything else is
  /// Formatted. Empty when the document is invalid or printing fails.
  std::string toJson(JsonFormat format = JsonFormat::Formatted) const;

  /// A view of the root object, or invalid unless the root is an object.
  Object object() const;
  /// A view of the root array, or invalid unless the root is an array.
  Array array() const;
};

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
