// Model-based: the bytes choose operations over a small pool of handles. A shadow model keeps,
// for each handle, whether it is invalid, owns a tree or views one, and which trees are still
// alive, so only handles the ownership rules keep readable are touched. The library must never
// fault, must refuse exactly the additions the model refuses, must report validity as the model
// does, and must free every node except those a refused addition leaves to no owner.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <cjson/cJSON.h>

#include "xjson/xjson.h"

namespace {

using XJson::Array;
using XJson::Document;
using XJson::Element;
using XJson::JsonFormat;
using XJson::Object;
using XJson::Value;

// Every cJSON allocation, so that what a run leaves behind can be checked and then freed.
std::unordered_set<void*>& liveBlocks() {
  static std::unordered_set<void*> blocks;
  return blocks;
}

void* trackedMalloc(std::size_t size) {
  void* p = std::malloc(size);
  if (p != nullptr) liveBlocks().insert(p);
  return p;
}

void trackedFree(void* p) {
  if (p == nullptr) return;
  if (liveBlocks().erase(p) == 0) std::abort();  // not cJSON's, or freed twice
  std::free(p);
}

// The node of a handle, for pointer comparisons only.
struct Peek : Element {
  static const cJSON* of(const Element& e) { return (e.*&Peek::node)(); }
};

struct Bytes {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t next() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
};

enum class Kind : std::uint8_t { Document, Object, Array, Value };
enum class State : std::uint8_t { Invalid, Owning, View };

struct Slot {
  std::unique_ptr<Element> handle;
  Kind kind = Kind::Value;
  State state = State::Invalid;
  int tree = -1;
  bool taken = false;  // an owning Value/Document made from an owning Object or Array
};

constexpr std::size_t POOL = 6;
constexpr int MAX_OPS = 200;
constexpr std::array<const char*, 5> KEYS = {"a", "b", "k", "A", nullptr};
constexpr std::array<const char*, 6> TEXTS = {R"({"a":{"b":[1,2]},"c":3})",
                                              R"([1,[2,[3]],{"k":"v"}])",
                                              R"("s")",
                                              "{",
                                              R"({"A":1,"a":{}})",
                                              "[]"};

template <typename T>
std::unique_ptr<Element> copyAs(const Element& e) {
  return std::make_unique<T>(static_cast<const T&>(e));
}

template <typename T>
std::unique_ptr<Element> moveAs(Element& e) {
  return std::make_unique<T>(std::move(static_cast<T&>(e)));
}

class Run {
 public:
  explicit Run(Bytes bytes) : m_in(bytes) {
    for (std::size_t i = 0; i < POOL; ++i) {
      m_pool[i].kind = static_cast<Kind>(i % 4);
      m_pool[i].handle = fresh(m_pool[i].kind);
      m_pool[i].handle->release();
    }
  }

  // Runs the operations; true when the model let a refused addition orphan a tree.
  bool operator()() {
    for (int op = 0; op < MAX_OPS && m_in.size > 0; ++op) {
      step();
      check();
    }
    for (Slot& s : m_pool) s.handle.reset();
    return m_orphaned;
  }

 private:
  static std::unique_ptr<Element> fresh(Kind kind) {
    switch (kind) {
      case Kind::Document: return std::make_unique<Document>();
      case Kind::Object: return std::make_unique<Object>();
      case Kind::Array: return std::make_unique<Array>();
      case Kind::Value: break;
    }
    return std::make_unique<Value>();
  }

  static std::unique_ptr<Element> copyOf(Kind kind, const Element& e) {
    switch (kind) {
      case Kind::Document: return copyAs<Document>(e);
      case Kind::Object: return copyAs<Object>(e);
      case Kind::Array: return copyAs<Array>(e);
      case Kind::Value: break;
    }
    return copyAs<Value>(e);
  }

  static std::unique_ptr<Element> moveOf(Kind kind, Element& e) {
    switch (kind) {
      case Kind::Document: return moveAs<Document>(e);
      case Kind::Object: return moveAs<Object>(e);
      case Kind::Array: return moveAs<Array>(e);
      case Kind::Value: break;
    }
    return moveAs<Value>(e);
  }

  int newTree() {
    m_alive.push_back(true);
    return static_cast<int>(m_alive.size()) - 1;
  }

  std::vector<bool>::reference alive(int tree) { return m_alive[static_cast<std::size_t>(tree)]; }

  // The tree an owning handle held is freed with it.
  void dropOwned(const Slot& s) {
    if (s.state == State::Owning) alive(s.tree) = false;
  }

  bool readable(const Slot& s) const {
    return s.state == State::Invalid || m_alive[static_cast<std::size_t>(s.tree)];
  }

  Slot& pick() { return m_pool[m_in.next() % POOL]; }

  // Puts a new handle into `s`; its old handle dies after the new one was made.
  void put(Slot& s, std::unique_ptr<Element> handle, Kind kind, State state, int tree, bool taken) {
    dropOwned(s);
    s.handle = std::move(handle);
    s.kind = kind;
    s.state = s.handle->is_valid() ? state : State::Invalid;
    s.tree = s.state == State::Invalid ? -1 : tree;
    s.taken = taken;
  }

  void putOwned(Slot& s, std::unique_ptr<Element> handle, Kind kind) {
    put(s, std::move(handle), kind, State::Owning, newTree(), false);
  }

  void step() {
    Slot& a = pick();
    Slot& b = pick();
    const std::uint8_t arg = m_in.next();
    switch (m_in.next() % 12) {
      case 0: construct(a, arg); break;
      case 1:  // copy construction
        if (readable(b)) putOwned(a, copyOf(b.kind, *b.handle), b.kind);
        break;
      case 2: {  // move construction
        Slot from = {nullptr, b.kind, b.state, b.tree, b.taken};
        auto moved = moveOf(b.kind, *b.handle);
        b.state = State::Invalid;
        b.taken = false;
        put(a, std::move(moved), from.kind, from.state, from.tree, from.taken);
        break;
      }
      case 3: copyAssign(a, b); break;
      case 4: moveAssign(a, b); break;
      case 5: view(a, b, arg); break;
      case 6: wrap(a, b, arg); break;
      case 7: add(a, b, arg); break;
      case 8:  // release
        dropOwned(a);
        a.handle->release();
        a.state = State::Invalid;
        break;
      case 9: print(a); break;
      case 10: walk(a); break;
      default: put(a, fresh(a.kind), a.kind, State::Owning, newTree(), false); break;
    }
  }

  void construct(Slot& s, std::uint8_t arg) {
    switch (arg % 8) {
      case 0: putOwned(s, std::make_unique<Value>(static_cast<int>(arg)), Kind::Value); break;
      case 1: putOwned(s, std::make_unique<Value>(arg / 7.0), Kind::Value); break;
      case 2: putOwned(s, std::make_unique<Value>(arg % 3 ? "text" : nullptr), Kind::Value); break;
      case 3: putOwned(s, std::make_unique<Value>(arg > 127), Kind::Value); break;
      case 4: putOwned(s, std::make_unique<Object>(), Kind::Object); break;
      case 5: putOwned(s, std::make_unique<Array>(), Kind::Array); break;
      default: {
        const char* text = TEXTS[arg % TEXTS.size()];
        putOwned(s, std::make_unique<Document>(Document::fromJson(text)), Kind::Document);
        break;
      }
    }
  }

  void copyAssign(Slot& a, Slot& b) {
    if (&a == &b || !readable(b)) return;
    *a.handle = static_cast<const Element&>(*b.handle);
    dropOwned(a);
    a.state = a.handle->is_valid() ? State::Owning : State::Invalid;
    a.tree = a.state == State::Owning ? newTree() : -1;
    a.taken = false;
  }

  void moveAssign(Slot& a, Slot& b) {
    if (&a == &b || !readable(b)) return;
    const bool sameRoot = Peek::of(*a.handle) == Peek::of(*b.handle);
    *a.handle = std::move(*b.handle);
    if (a.state == State::Owning && b.state == State::View && b.tree == a.tree) {
      if (!sameRoot) {  // the rest of the tree is freed; which views survive is not modelled
        alive(a.tree) = false;
        a.tree = newTree();
        a.taken = false;
      }
    } else {
      dropOwned(a);
      a.state = b.state;
      a.tree = b.tree;
      a.taken = b.taken;
    }
    b.state = State::Invalid;
    b.taken = false;
  }

  // A view handed out by a read: of the source's tree, or invalid.
  void view(Slot& a, Slot& b, std::uint8_t arg) {
    if (!readable(b)) return;
    const Element& e = *b.handle;
    std::unique_ptr<Element> v;
    Kind kind = Kind::Value;
    switch (b.kind) {
      case Kind::Document:
        kind = arg % 2 ? Kind::Object : Kind::Array;
        if (kind == Kind::Object)
          v = std::make_unique<Object>(static_cast<const Document&>(e).object());
        else
          v = std::make_unique<Array>(static_cast<const Document&>(e).array());
        break;
      case Kind::Object:
        v = std::make_unique<Value>(static_cast<const Object&>(e).value(KEYS[arg % 4]));
        break;
      case Kind::Array:
        v = std::make_unique<Value>(static_cast<const Array&>(e).at(arg % 4));
        break;
      case Kind::Value:
        kind = arg % 2 ? Kind::Object : Kind::Array;
        if (kind == Kind::Object)
          v = std::make_unique<Object>(static_cast<const Value&>(e).to_object());
        else
          v = std::make_unique<Array>(static_cast<const Value&>(e).to_array());
        break;
    }
    put(a, std::move(v), kind, State::View, b.tree, false);
  }

  // Value or Document of an Object or Array: takes an owned node, copies a viewed one.
  void wrap(Slot& a, Slot& b, std::uint8_t arg) {
    if (!readable(b) || (b.kind != Kind::Object && b.kind != Kind::Array)) return;
    const bool asValue = arg % 2 != 0;
    std::unique_ptr<Element> w;
    if (b.kind == Kind::Object) {
      const auto& o = static_cast<const Object&>(*b.handle);
      w = asValue ? std::unique_ptr<Element>(std::make_unique<Value>(o))
                  : std::make_unique<Document>(o);
    } else {
      const auto& r = static_cast<const Array&>(*b.handle);
      w = asValue ? std::unique_ptr<Element>(std::make_unique<Value>(r))
                  : std::make_unique<Document>(r);
    }
    const Kind kind = asValue ? Kind::Value : Kind::Document;
    if (b.state == State::Owning) {
      b.state = State::View;
      put(a, std::move(w), kind, State::Owning, b.tree, true);
    } else {
      putOwned(a, std::move(w), kind);
    }
  }

  // insert or push_back of a Value slot into an Object or Array slot.
  void add(Slot& t, Slot& v, std::uint8_t arg) {
    if (v.kind != Kind::Value || (t.kind != Kind::Object && t.kind != Kind::Array)) return;
    if (!readable(t) || !readable(v)) return;
    const char* key = t.kind == Kind::Object ? KEYS[arg % KEYS.size()] : "";
    const bool expected = t.state != State::Invalid && v.state != State::Invalid &&
                          key != nullptr && !(v.state == State::Owning && v.tree == t.tree);
    const bool self = Peek::of(*t.handle) == Peek::of(*v.handle);
    const auto& value = static_cast<const Value&>(*v.handle);
    const bool ok = t.kind == Kind::Object ? static_cast<Object&>(*t.handle).insert(key, value)
                                           : static_cast<Array&>(*t.handle).push_back(value);
    if (ok != expected) std::abort();
    if (v.state != State::Owning) return;  // a view: a copy went in, or nothing happened
    if (ok) {
      const int from = v.tree;
      for (Slot& s : m_pool)
        if (s.state != State::Invalid && s.tree == from) s.tree = t.tree;
      v.state = State::View;
    } else if (v.taken) {
      v.state = State::View;
      if (self)
        t.state = State::Owning;
      else
        m_orphaned = true;
    }
  }

  void print(const Slot& s) {
    if (!readable(s)) return;
    Document copy;
    static_cast<Element&>(copy) = *s.handle;
    const std::string text = copy.toJson(JsonFormat::Compact);
    if (text.empty() != (s.state == State::Invalid)) std::abort();
    if (s.kind == Kind::Document) {
      const auto& d = static_cast<const Document&>(*s.handle);
      if (d.toJson(JsonFormat::Compact) != text) std::abort();
      (void)d.toJson(JsonFormat::Formatted);
    }
  }

  void walk(const Slot& s) {
    if (!readable(s)) return;
    std::size_t count = 0;
    const auto visit = [&count](const Value& v) {
      count += v.to_string().size() + static_cast<std::size_t>(v.to_int() != 0) + v.is_null();
    };
    if (s.kind == Kind::Object) static_cast<const Object&>(*s.handle).for_each(visit);
    if (s.kind == Kind::Array) {
      const auto& a = static_cast<const Array&>(*s.handle);
      a.for_each(visit);
      if (a.size() > 0) visit(a.at(a.size() - 1));
    }
    if (count > (1u << 30)) std::abort();
  }

  // Every readable handle is as valid as the model says, and its node is not freed memory.
  void check() const {
    for (const Slot& s : m_pool) {
      if (!readable(s)) continue;
      if (s.handle->is_valid() != (s.state != State::Invalid)) std::abort();
      (void)s.handle->is_object();
    }
  }

  Bytes m_in;
  std::array<Slot, POOL> m_pool;
  std::vector<bool> m_alive;
  bool m_orphaned = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool hooked = [] {
    cJSON_Hooks hooks{trackedMalloc, trackedFree};
    cJSON_InitHooks(&hooks);
    return true;
  }();
  (void)hooked;
  const bool orphaned = Run(Bytes{data, size})();
  if (!liveBlocks().empty() && !orphaned) std::abort();  // a node nobody can have freed
  for (void* p : liveBlocks()) std::free(p);
  liveBlocks().clear();
  return 0;
}
