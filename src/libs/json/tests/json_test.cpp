#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "xjson/xjson.h"

using XJson::Array;
using XJson::Document;
using XJson::JsonFormat;
using XJson::Object;
using XJson::Value;

namespace {
std::string compact(const Document& d) { return d.toJson(JsonFormat::Compact); }
}  // namespace

TEST(JsonDocument, EmptyAndInvalidDocuments) {
  const Document null;
  EXPECT_TRUE(null.is_valid());
  EXPECT_TRUE(null.is_null());
  EXPECT_EQ(null.toJson(), "null");

  for (const Document& bad :
       {Document::fromJson(""), Document::fromJson(static_cast<const char*>(nullptr)),
        Document::fromJson("{\"a\":"), Document::fromJson(std::string("\0{}", 3))}) {
    EXPECT_FALSE(bad.is_valid());
    EXPECT_EQ(bad.toJson(), "");
    EXPECT_EQ(bad.toJson(JsonFormat::Compact), "");
    const Object o = bad.object();
    EXPECT_FALSE(o.is_valid());
    EXPECT_FALSE(o.contains("a"));
    EXPECT_FALSE(o.value("a").is_valid());
    EXPECT_FALSE(bad.array().is_valid());
  }
  const Document trailing = Document::fromJson("{\"a\":1} and more words");
  ASSERT_TRUE(trailing.is_valid());
  EXPECT_EQ(trailing.object().value("a").to_int(), 1);
  EXPECT_EQ(compact(Document::fromJson(std::string("[1]\0[2]", 7))), "[1]");
}

TEST(JsonDocument, PrintsBothLayouts) {
  const Document d = Document::fromJson(R"({"a": [1, 2.5, "x"], "b": {"c": true, "d": null}})");
  EXPECT_EQ(d.toJson(JsonFormat::Compact), R"({"a":[1,2.5,"x"],"b":{"c":true,"d":null}})");
  EXPECT_EQ(
      d.toJson(JsonFormat::Formatted),
      "{\n\t\"a\":\t[1, 2.5, \"x\"],\n\t\"b\":\t{\n\t\t\"c\":\ttrue,\n\t\t\"d\":\tnull\n\t}\n}");
  EXPECT_EQ(d.toJson(static_cast<JsonFormat>(7)), d.toJson(JsonFormat::Formatted));
}

TEST(JsonObject, KeysIgnoreCaseAndDuplicatesStay) {
  Object o;
  ASSERT_TRUE(o.insert("name", Value("first")));
  ASSERT_TRUE(o.insert(std::string("NAME"), Value("second")));
  EXPECT_TRUE(o.contains("NAME"));
  EXPECT_TRUE(o.contains("Name"));
  EXPECT_FALSE(o.contains("nam"));
  EXPECT_EQ(o.value("Name").to_string(), "first");
  const Document d(o);
  EXPECT_EQ(compact(d), R"({"name":"first","NAME":"second"})");
  // A key holding a NUL is seen up to it.
  Object k;
  ASSERT_TRUE(k.insert(std::string("ab\0cd", 5), Value(1)));
  EXPECT_TRUE(k.contains("ab"));
  EXPECT_EQ(k.value(std::string("ab\0zz", 5)).to_int(), 1);
}

TEST(JsonValue, TypedReadsNeverConvertBetweenKinds) {
  const Document d =
      Document::fromJson(R"([3.9, -3.9, 1e10, -1e10, 5, 0, "7", true, false, null, {}, []])");
  const Array a = d.array();
  ASSERT_EQ(a.size(), 12u);
  EXPECT_EQ(a.at(0).to_int(), 3);
  EXPECT_EQ(a.at(1).to_int(), -3);
  EXPECT_EQ(a.at(2).to_int(), 2147483647);
  EXPECT_EQ(a.at(3).to_int(), -2147483647 - 1);
  EXPECT_EQ(a.at(2).to_number(), 1e10);
  EXPECT_EQ(a.at(1).to_number(), -3.9);
  EXPECT_EQ(a.at(4).to_string("def"), "def");
  EXPECT_TRUE(a.at(5).to_bool(true));
  EXPECT_EQ(a.at(6).to_number(2.5), 2.5);
  EXPECT_EQ(a.at(6).to_int(-1), -1);
  EXPECT_EQ(a.at(6).to_string(), "7");
  EXPECT_TRUE(a.at(7).to_bool(false));
  EXPECT_FALSE(a.at(8).to_bool(true));
  EXPECT_TRUE(a.at(8).is_bool());
  EXPECT_TRUE(a.at(9).is_null());
  EXPECT_TRUE(a.at(10).to_object().is_valid());
  EXPECT_FALSE(a.at(10).to_array().is_valid());
  EXPECT_TRUE(a.at(11).to_array().is_empty());
  EXPECT_FALSE(a.at(11).to_object().is_valid());

  EXPECT_FALSE(a.at(12).is_valid());
  EXPECT_FALSE(a.at(~0ul).is_valid());
  const Array invalid = Document::fromJson("{}").array();  // not an array: invalid
  EXPECT_EQ(invalid.size(), 0u);
  EXPECT_TRUE(invalid.is_empty());
  EXPECT_FALSE(invalid.at(0).is_valid());
  EXPECT_EQ(invalid.at(0).to_string("x"), "x");

  EXPECT_FALSE(Value(static_cast<const char*>(nullptr)).is_valid());
  EXPECT_EQ(Value(std::string("a\0b", 3)).to_string(), "a");
  EXPECT_TRUE(Value().is_null());
  EXPECT_EQ(Value(7).to_int(), 7);
}

TEST(JsonValue, NanPrintsAsNull) {
  Array a;
  ASSERT_TRUE(a.push_back(Value(std::nan(""))));
  ASSERT_TRUE(a.push_back(Value(INFINITY)));
  ASSERT_TRUE(a.push_back(Value(0.1)));
  EXPECT_EQ(compact(Document(a)), "[null,null,0.1]");
}

TEST(JsonOwnership, BuildingMovesNodesIntoTheTree) {
  Object root;
  Array list;
  Value item(42);
  ASSERT_TRUE(list.push_back(item));
  EXPECT_TRUE(item.is_valid());  // still a view of the node now in the array
  EXPECT_EQ(item.to_int(), 42);
  Object inner;
  ASSERT_TRUE(inner.insert("deep", Value(true)));
  ASSERT_TRUE(list.push_back(Value(inner)));
  ASSERT_TRUE(root.insert("list", Value(list)));
  ASSERT_TRUE(root.insert("s", Value(std::string("text"))));
  {
    const Document doc(root);
    EXPECT_TRUE(root.is_valid());
    EXPECT_EQ(root.value("s").to_string(), "text");
    EXPECT_EQ(compact(doc), R"({"list":[42,{"deep":true}],"s":"text"})");
  }  // the document frees the tree once; the handles above are views of freed nodes now
}

TEST(JsonOwnership, RefusedAdditionsKeepOwnership) {
  Object o;
  Value v("kept");
  EXPECT_FALSE(o.insert(static_cast<const char*>(nullptr), v));
  EXPECT_FALSE(Object(nullptr).insert("k", v));
  EXPECT_FALSE(Array(nullptr).push_back(v));
  // Still owned: v frees it (leak detection would catch a lost node), and it can be added later.
  ASSERT_TRUE(o.insert("k", v));
  EXPECT_TRUE(o.insert("again", v));  // a view now: a copy goes in instead of the node twice
  EXPECT_FALSE(o.insert("k", Value(static_cast<const char*>(nullptr))));
  Array a;
  const Value self(a);              // owns the array's node; `a` views it
  EXPECT_FALSE(a.push_back(self));  // an array into itself; `a` owns its node again
  EXPECT_EQ(compact(Document(o)), R"({"k":"kept","again":"kept"})");
}

TEST(JsonOwnership, CopiesAreDeepAndIndependent) {
  const Document first = Document::fromJson(R"({"a":{"b":1}})");
  Document copy = first;
  ASSERT_TRUE(copy.object().insert("c", Value(2)));
  EXPECT_EQ(compact(first), R"({"a":{"b":1}})");
  EXPECT_EQ(compact(copy), R"({"a":{"b":1},"c":2})");

  const Object view = first.object().value("a").to_object();
  Object owned = view;  // a copy of a view owns its own tree
  ASSERT_TRUE(owned.insert("x", Value(3)));
  EXPECT_EQ(compact(first), R"({"a":{"b":1}})");
  EXPECT_EQ(compact(Document(owned)), R"({"b":1,"x":3})");

  Document assigned;
  assigned = first;
  assigned = assigned;  // self-assignment keeps it
  EXPECT_EQ(compact(assigned), compact(first));
  Value fromInvalid = Value(static_cast<const char*>(nullptr));
  Value copyOfInvalid(fromInvalid);
  EXPECT_FALSE(copyOfInvalid.is_valid());
}

TEST(JsonOwnership, MovedFromHandlesAreInvalid) {
  Document a = Document::fromJson("[1,2]");
  Document b(std::move(a));
  EXPECT_FALSE(a.is_valid());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(compact(b), "[1,2]");
  Document c;
  c = std::move(b);
  EXPECT_FALSE(b.is_valid());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(compact(c), "[1,2]");
  c.release();
  EXPECT_FALSE(c.is_valid());
  c.release();  // twice is harmless
  // A view moved into an owner stays a view: nothing is freed twice.
  const Document owner = Document::fromJson(R"({"k":[3]})");
  Array view = owner.object().value("k").to_array();
  Array moved(std::move(view));
  EXPECT_EQ(moved.size(), 1u);
}

TEST(JsonOwnership, DetachedObjectOutlivesOrPrecedesItsDocument) {
  auto* object = new Object();
  ASSERT_TRUE(object->insert("n", Value(1)));
  auto* doc = new Document(*object);
  delete object;  // a view now: frees nothing
  EXPECT_EQ(compact(*doc), R"({"n":1})");
  delete doc;

  Object second;
  ASSERT_TRUE(second.insert("m", Value(2)));
  { const Document d(second); }
  // `second` is a view of a freed tree here and is destroyed without touching it.
}

TEST(JsonIteration, ForEachVisitsChildrenInOrder) {
  const Document d = Document::fromJson(R"({"a":1,"b":"two","c":[3,4]})");
  std::vector<std::string> seen;
  d.object().for_each([&](const Value& v) {
    seen.push_back(v.is_number()   ? std::to_string(v.to_int())
                   : v.is_string() ? v.to_string()
                                   : "array");
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "two", "array"}));
  int sum = 0;
  d.object().value("c").to_array().for_each([&](const Value& v) { sum += v.to_int(); });
  EXPECT_EQ(sum, 7);

  const std::function<void(const Value&)> empty;
  EXPECT_THROW(d.object().for_each(empty), std::bad_function_call);
  EXPECT_NO_THROW(Document::fromJson("[]").array().for_each(empty));
  EXPECT_NO_THROW(Array(nullptr).for_each(empty));
  EXPECT_THROW(d.object().for_each([](const Value&) { throw std::runtime_error("stop"); }),
               std::runtime_error);
}
