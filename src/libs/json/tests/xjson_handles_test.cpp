// Sequences of documented calls that once read freed memory, freed twice or linked a cycle.
// Every handle involved is used afterwards; leak detection catches a node nobody frees.
#include <functional>
#include <string>
#include <utility>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "xjson/xjson.h"

using XJson::Array;
using XJson::Document;
using XJson::Element;
using XJson::JsonFormat;
using XJson::Object;
using XJson::Value;

namespace {

// The compact text of any handle, through a deep copy.
std::string text(const Element& e) {
  Document d;
  static_cast<Element&>(d) = e;
  return d.toJson(JsonFormat::Compact);
}

constexpr const char* TREE = R"({"a":{"b":[1,2]},"c":3})";

}  // namespace

TEST(JsonHandles, CopyAssignmentFromAViewOfTheOwnTree) {
  // The view dies with the tree it views; the target must have copied it first.
  Document doc = Document::fromJson(TREE);
  const Value a = doc.object().value("a");
  Element& target = doc;
  target = static_cast<const Element&>(a);
  EXPECT_EQ(text(doc), R"({"b":[1,2]})");
  EXPECT_TRUE(doc.object().insert("d", Value(4)));
  EXPECT_EQ(doc.toJson(JsonFormat::Compact), R"({"b":[1,2],"d":4})");

  Object o;
  ASSERT_TRUE(o.insert("x", Value("leaf")));
  const Value x = o.value("x");
  static_cast<Element&>(o) = static_cast<const Element&>(x);
  EXPECT_EQ(text(o), R"("leaf")");
}

TEST(JsonHandles, MoveAssignmentFromAViewOfTheOwnTree) {
  Document doc = Document::fromJson(TREE);
  Array b = doc.object().value("a").to_object().value("b").to_array();
  Value a = doc.object().value("a");
  Element& target = doc;
  target = std::move(a);
  EXPECT_FALSE(a.is_valid());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(doc.toJson(JsonFormat::Compact), R"({"b":[1,2]})");
  // The kept node was cut out, not copied: a view below it still reads it.
  ASSERT_TRUE(b.is_valid());
  EXPECT_EQ(b.size(), 2u);
  ASSERT_TRUE(b.push_back(Value(3)));
  EXPECT_EQ(doc.toJson(JsonFormat::Compact), R"({"b":[1,2,3]})");

  // The same with a temporary view on the right.
  target = doc.object().value("b");
  EXPECT_EQ(doc.toJson(JsonFormat::Compact), "[1,2,3]");
  EXPECT_EQ(doc.array().at(2).to_int(), 3);

  // A view of the root itself keeps the whole tree.
  Document whole = Document::fromJson(TREE);
  const Object rootView = whole.object();
  static_cast<Element&>(whole) = whole.object();
  EXPECT_EQ(whole.toJson(JsonFormat::Compact), TREE);
  EXPECT_EQ(rootView.value("c").to_int(), 3);
}

TEST(JsonHandles, RefusedAdditionsLeaveNoHandleOnFreedMemory) {
  // Self-insertion: the object owns its node again (Document below takes it, so no leak).
  Object o;
  ASSERT_TRUE(o.insert("k", Value(1)));
  EXPECT_FALSE(o.insert("self", Value(o)));
  Array a;
  EXPECT_FALSE(a.push_back(Value(a)));
  ASSERT_TRUE(o.insert("m", Value(2)));
  ASSERT_TRUE(a.push_back(Value(3)));
  const Document ownerOfO(o);
  EXPECT_EQ(ownerOfO.toJson(JsonFormat::Compact), R"({"k":1,"m":2})");
  EXPECT_EQ(Document(a).toJson(JsonFormat::Compact), "[3]");
  EXPECT_EQ(o.value("m").to_int(), 2);  // a view of the document's tree now

  // Any other refusal of a node taken from `inner`: it stays readable through `inner`, and
  // nobody owns it until it is taken back.
  // Each refusal gets an owning handle of its own, so each really hands over a taken node.
  Object bad(static_cast<cJSON*>(nullptr));
  const std::function<bool(const Value&)> refusals[] = {
      [&](const Value& v) { return bad.insert("k", v); },
      [](const Value& v) { return Object().insert(static_cast<const char*>(nullptr), v); },
      [](const Value& v) { return Array(static_cast<cJSON*>(nullptr)).push_back(v); },
  };
  for (const auto& refuse : refusals) {
    Object inner;
    ASSERT_TRUE(inner.insert("x", Value(1)));
    EXPECT_FALSE(refuse(Value(inner)));
    EXPECT_EQ(inner.value("x").to_int(), 1);
    EXPECT_EQ(text(inner), R"({"x":1})");
    const Document back(inner.detach());
    ASSERT_TRUE(inner.insert("y", Value(2)));
    EXPECT_EQ(back.toJson(JsonFormat::Compact), R"({"x":1,"y":2})");
  }
  EXPECT_FALSE(bad.is_valid());

  // A value that made its node keeps it and can be added later.
  Value five(5);
  EXPECT_FALSE(bad.insert("k", five));
  EXPECT_FALSE(bad.insert("k", Value("temporary")));  // freed with the temporary
  Array list;
  ASSERT_TRUE(list.push_back(five));
  EXPECT_EQ(five.to_int(), 5);
  EXPECT_EQ(Document(list).toJson(JsonFormat::Compact), "[5]");
}

TEST(JsonHandles, AnAncestorIsNeverAddedBelowItsDescendant) {
  Object o;
  Object inner;
  ASSERT_TRUE(o.insert("in", Value(inner)));
  EXPECT_FALSE(inner.insert("o", Value(o)));
  EXPECT_TRUE(inner.insert("self", Value(inner)));  // a view: a copy of it goes in
  const Document owner(o.detach());  // the refused node was taken from `o`: take it back
  ASSERT_TRUE(inner.insert("x", Value(1)));
  EXPECT_EQ(owner.toJson(JsonFormat::Compact), R"({"in":{"self":{},"x":1}})");
  EXPECT_EQ(text(o), text(owner));

  // Two levels down, in arrays.
  Array outer;
  Array mid;
  Array leaf;
  ASSERT_TRUE(mid.push_back(Value(leaf)));
  ASSERT_TRUE(outer.push_back(Value(mid)));
  EXPECT_FALSE(leaf.push_back(Value(outer)));
  const Document top(outer.detach());
  ASSERT_TRUE(leaf.push_back(Value(true)));
  ASSERT_TRUE(mid.push_back(Value(false)));
  EXPECT_EQ(top.toJson(JsonFormat::Compact), "[[[true],false]]");
  EXPECT_EQ(text(leaf), "[true]");
  EXPECT_EQ(text(mid), "[[true],false]");

  // A value made by a parse (not taken) that holds the target stays owned by the value.
  Value parsed;
  static_cast<Element&>(parsed) = Document::fromJson(R"({"p":{}})");
  Object p = parsed.to_object().value("p").to_object();
  EXPECT_FALSE(p.insert("up", parsed));
  EXPECT_TRUE(p.insert("n", Value(0)));
  EXPECT_EQ(text(parsed), R"({"p":{"n":0}})");
}

TEST(JsonHandles, OwningHandlesMadeFromViewsCopy) {
  Document doc = Document::fromJson(R"({"a":[1]})");
  const Object view = doc.object();
  Value v = view;
  Document d2 = doc.object();
  Array arr;
  ASSERT_TRUE(arr.push_back(Value(doc.object())));
  ASSERT_TRUE(arr.push_back(doc.object().value("a")));  // a view value: a copy goes in
  Object o;
  ASSERT_TRUE(o.insert("k", view.value("a")));
  const Value a = doc.object().value("a");
  ASSERT_TRUE(Array(a.to_array()).push_back(Value(a)));  // into itself, as a copy

  // Each tree changes alone.
  ASSERT_TRUE(v.to_object().insert("v", Value(1)));
  ASSERT_TRUE(d2.object().insert("d2", Value(2)));
  ASSERT_TRUE(arr.at(0).to_object().insert("arr", Value(3)));
  EXPECT_EQ(doc.toJson(JsonFormat::Compact), R"({"a":[1,[1]]})");
  EXPECT_EQ(text(view), R"({"a":[1,[1]]})");
  EXPECT_EQ(text(a), "[1,[1]]");
  EXPECT_EQ(text(v), R"({"a":[1],"v":1})");
  EXPECT_EQ(d2.toJson(JsonFormat::Compact), R"({"a":[1],"d2":2})");
  EXPECT_EQ(Document(arr).toJson(JsonFormat::Compact), R"([{"a":[1],"arr":3},[1]])");
  EXPECT_EQ(Document(o).toJson(JsonFormat::Compact), R"({"k":[1]})");

  // Owning arguments still hand their node over.
  Object fresh;
  ASSERT_TRUE(fresh.insert("f", Value(1)));
  const Document taken(fresh);
  ASSERT_TRUE(fresh.insert("g", Value(2)));
  EXPECT_EQ(taken.toJson(JsonFormat::Compact), R"({"f":1,"g":2})");
}
