#include "xjson/xjson.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <cjson/cJSON.h>

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

using XInternal::freeTree;

// A root is a node outside any tree: cJSON links children through prev/next.
bool isRoot(const cJSON* node) { return node->prev == nullptr && node->next == nullptr; }

// None of the tree walks below recurses: a tree built through the handles has no depth limit.

// The parent of `target` in the subtree under `node` (not counting `node` itself), or null.
// Neither a stack nor an allocation (it runs in a noexcept move): a Morris walk links each last
// child's `next` to its parent on the way down and unlinks it on the way back, so the walk goes
// to its end and leaves the tree as it found it.
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

// cJSON_Duplicate with recursion, in its order (depth first, each node before its children) but
// with the path on a heap stack; children are linked as cJSON links them (the first child's prev
// is the last). Null when out of memory.
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
      XInternal::appendChild(level.parent, level.last, copy);
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

// Printing follows cJSON_Print's layout, with numbers that read back exactly.

// The printed text: written through a cursor into a buffer that realloc grows (in place, for
// large ones), copied out once at the end. Throws std::bad_alloc when it cannot grow.
class Text {
 public:
  Text() = default;
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text() { std::free(m_data); }

  char* room(std::size_t n) {  // n writable bytes at the cursor
    if (m_capacity - m_used < n) grow(n);
    return m_data + m_used;
  }
  void advanceTo(const char* end) { m_used = static_cast<std::size_t>(end - m_data); }
  void put(char c) {
    *room(1) = c;
    ++m_used;
  }
  void put(const char* text, std::size_t n) {
    std::memcpy(room(n), text, n);
    m_used += n;
  }
  void tabs(std::size_t n) {
    std::memset(room(n), '\t', n);
    m_used += n;
  }
  std::string str() const { return {m_data, m_used}; }

 private:
  void grow(std::size_t n) {
    const std::size_t capacity = std::max({2 * m_capacity, m_used + n, std::size_t{256}});
    void* data = std::realloc(m_data, capacity);
    if (data == nullptr) throw std::bad_alloc();
    m_data = static_cast<char*>(data);
    m_capacity = capacity;
  }

  char* m_data = nullptr;
  std::size_t m_capacity = 0;
  std::size_t m_used = 0;
};

// The letter after the backslash for each byte cJSON escapes ('u': \u00XX), else 0.
constexpr std::array<char, 256> ESCAPES = [] {
  std::array<char, 256> escapes{};
  for (std::size_t c = 0; c < 32; ++c) escapes[c] = 'u';
  escapes['\b'] = 'b';
  escapes['\f'] = 'f';
  escapes['\n'] = 'n';
  escapes['\r'] = 'r';
  escapes['\t'] = 't';
  escapes['"'] = '"';
  escapes['\\'] = '\\';
  return escapes;
}();

// A quoted string as cJSON escapes it; no text prints as "".
void putString(Text& out, const char* text) {
  if (text == nullptr) {
    out.put("\"\"", 2);
    return;
  }
  const std::size_t length = std::strlen(text);
  char* p = out.room(length + 2);
  *p++ = '"';
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const char escape = ESCAPES[c];
    if (escape == 0) {
      *p++ = text[i];
      continue;
    }
    out.advanceTo(p);
    p = out.room(length - i + 6);  // this escape, the rest, the closing quote
    *p++ = '\\';
    *p++ = escape;
    if (escape == 'u') {
      constexpr const char* HEX = "0123456789abcdef";
      *p++ = '0';
      *p++ = '0';
      *p++ = HEX[c >> 4];
      *p++ = HEX[c & 15];
    }
  }
  *p++ = '"';
  out.advanceTo(p);
}

// "%1.15g" when that text reads back as the same double, else "%1.17g"; to_chars and from_chars
// are exact and ignore the locale. At least 32 bytes from `p`.
char* printDouble(char* p, double d) {
  char* end = std::to_chars(p, p + 32, d, std::chars_format::general, 15).ptr;
  double back = 0;
  if (std::from_chars(p, end, back).ec == std::errc() && back == d) return end;
  return std::to_chars(p, p + 32, d, std::chars_format::general, 17).ptr;
}

// The same text, mostly from the shortest digits that read back (to_chars without a precision,
// about twice as fast). For a normal double those digits number at most 15 exactly when
// "%1.15g" reads back, and are then its digits; 17 of them are the digits of "%1.17g". Either
// way only %g's layout is left to do. Subnormals (spaced wider than 15 digits resolve) and 16
// shortest digits take the way above.
char* printDoubleFast(char* p, double d) {
  if (std::fabs(d) < DBL_MIN) return printDouble(p, d);
  char* const end = std::to_chars(p, p + 32, d, std::chars_format::scientific).ptr;
  char* const e = std::find(p, end, 'e');  // [-]d[.ddd]e(+|-)xx
  char* const first = p + (*p == '-');
  char digits[17];
  const auto count = std::remove_copy(first, e, digits, '.') - digits;
  if (count == 16) return std::to_chars(p, p + 32, d, std::chars_format::general, 17).ptr;
  int exponent = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), end, exponent);
  if (exponent < -4 || exponent >= (count <= 15 ? 15 : 17)) return end;  // %g stays scientific
  if (exponent < 0) {  // 0.000ddd: a zero, the point, -exponent - 1 zeros
    char* out = std::fill_n(first, 1 - exponent, '0');
    first[1] = '.';
    return std::copy_n(digits, count, out);
  }
  if (count <= exponent + 1)
    return std::fill_n(std::copy_n(digits, count, first), exponent + 1 - count, '0');
  char* out = std::copy_n(digits, exponent + 1, first);
  *out++ = '.';
  return std::copy(digits + exponent + 1, digits + count, out);
}

// A number equal to its integer field prints as that integer (negative zero as -0, keeping its
// sign); any other as printDouble. Unlike cJSON's tolerant comparison, every text reads back
// as the same double. NaN and the infinities print as null.
void putNumber(Text& out, const cJSON* node) {
  const double d = node->valuedouble;
  if (!std::isfinite(d)) {
    out.put("null", 4);
  } else if (d != static_cast<double>(node->valueint)) {
    out.advanceTo(printDoubleFast(out.room(32), d));
  } else if (node->valueint == 0 && std::signbit(d)) {
    out.put("-0", 2);
  } else {
    char* p = out.room(16);
    out.advanceTo(std::to_chars(p, p + 16, node->valueint).ptr);
  }
}

// An object member's key, as cJSON lays it out.
void putKey(Text& out, const cJSON* member, std::size_t depth, bool formatted) {
  if (formatted) out.tabs(depth);
  putString(out, member->string);
  out.put(':');
  if (formatted) out.put('\t');
}

// cJSON_Print (formatted) or cJSON_PrintUnformatted, byte for byte apart from numbers, with the
// open containers on a heap stack. False where cJSON fails too: a node of no known type, or raw
// text that is missing.
bool printTree(const cJSON* root, bool formatted, Text& out) {
  std::vector<const cJSON*> open;  // containers being printed, outermost first
  const cJSON* item = root;
  for (;;) {
    switch (item->type & 0xFF) {
      case cJSON_NULL: out.put("null", 4); break;
      case cJSON_False: out.put("false", 5); break;
      case cJSON_True: out.put("true", 4); break;
      case cJSON_Number: putNumber(out, item); break;
      case cJSON_String: putString(out, item->valuestring); break;
      case cJSON_Raw:
        if (item->valuestring == nullptr) return false;
        out.put(item->valuestring, std::strlen(item->valuestring));
        break;
      case cJSON_Array:
      case cJSON_Object: {
        const bool object = (item->type & 0xFF) == cJSON_Object;
        out.put(object ? '{' : '[');
        if (object && formatted) out.put('\n');
        if (item->child != nullptr) {
          open.push_back(item);
          item = item->child;
          if (object) putKey(out, item, open.size(), formatted);
          continue;
        }
        if (object && formatted) out.tabs(open.size());
        out.put(object ? '}' : ']');
        break;
      }
      default: return false;
    }
    // `item` is done: go on to its next sibling, closing the containers it ends.
    for (;;) {
      if (open.empty()) return true;
      const cJSON* parent = open.back();
      const bool object = (parent->type & 0xFF) == cJSON_Object;
      if (item->next != nullptr) {
        out.put(',');
        if (formatted) out.put(object ? '\n' : ' ');
        item = item->next;
        if (object) putKey(out, item, open.size(), formatted);
        break;
      }
      if (object && formatted) {
        out.put('\n');
        out.tabs(open.size() - 1);
      }
      out.put(object ? '}' : ']');
      open.pop_back();
      item = parent;
    }
  }
}

// Frees the key a node kept from an object it left, so that key() tells no stale one.
void dropKey(cJSON* node) {
  if (node->string != nullptr && (node->type & cJSON_StringIsConst) == 0) cJSON_free(node->string);
  node->string = nullptr;
  node->type &= ~cJSON_StringIsConst;
}

// The node a new owning handle gets from `source`: an owning source hands its node over (and
// goes on as a view of it); a view is copied, so its node is never owned twice.
cJSON* takeOrCopy(cJSON* node, bool& sourceOwned, bool& taken) {
  taken = sourceOwned;
  if (sourceOwned) {
    sourceOwned = false;
    return node;
  }
  return copyTree(node);
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

}  // namespace

Element::Element(const Element& other)
    : m_node(copyTree(other.m_node)), m_owned(true), m_taken(false) {}

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
Value::Value(double value) : Element(cJSON_CreateNumber(value), true) {}
Value::Value(const Object& object) : Element(nullptr, true) {
  m_node = takeOrCopy(object.m_node, object.m_owned, m_taken);
}
Value::Value(const Array& array) : Element(nullptr, true) {
  m_node = takeOrCopy(array.m_node, array.m_owned, m_taken);
}
Value::~Value() = default;

std::string Value::to_string(const std::string& def) const {
  if (is_string() && node()->valuestring != nullptr) return node()->valuestring;
  return def;
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
Document::Document(const Object& object) : Element(nullptr, true) {
  m_node = takeOrCopy(object.m_node, object.m_owned, m_taken);
}
Document::Document(const Array& array) : Element(nullptr, true) {
  m_node = takeOrCopy(array.m_node, array.m_owned, m_taken);
}
Document::~Document() = default;

Document Document::fromJson(const char* text) { return Document(XInternal::parseJson(text)); }

Document Document::fromJson(const std::string& text) { return fromJson(text.c_str()); }

std::string Document::toJson(JsonFormat format) const {
  if (node() == nullptr) return {};
  Text out;
  try {
    if (!printTree(node(), format != JsonFormat::Compact, out)) return {};
  } catch (const std::bad_alloc&) {
    return {};  // as cJSON's printers fail when out of memory
  }
  return out.str();
}

Object Document::object() const { return Object(is_object() ? node() : nullptr); }

Array Document::array() const { return Array(is_array() ? node() : nullptr); }

}  // namespace XJson
