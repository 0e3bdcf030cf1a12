#include "xjson/xjson.h"

#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

using XJson::Array;
using XJson::Document;
using XJson::Element;
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

TEST(JsonDocument, PrintsOddNodesAsCjsonDoes) {
  // Nodes only raw cJSON makes: no text, no key, raw text, escapes of every control byte.
  cJSON* root = cJSON_CreateObject();
  std::string bytes;
  for (int c = 1; c < 256; ++c) bytes += static_cast<char>(c);
  cJSON_AddStringToObject(root, bytes.c_str(), bytes.c_str());
  cJSON* noText = cJSON_AddStringToObject(root, "s", "x");
  cJSON_free(noText->valuestring);
  noText->valuestring = nullptr;
  cJSON* noKey = cJSON_AddNullToObject(root, "k");
  cJSON_free(noKey->string);
  noKey->string = nullptr;
  cJSON_AddRawToObject(root, "raw", "[1 ,2]");
  cJSON* list = cJSON_AddArrayToObject(root, "list");
  cJSON_AddItemToArray(list, cJSON_CreateObject());
  cJSON_AddItemToArray(list, cJSON_CreateArray());
  cJSON* inner = cJSON_CreateObject();
  cJSON_AddItemToObject(inner, "e", cJSON_CreateObject());
  cJSON_AddItemToArray(list, inner);
  cJSON_AddItemToObject(root, "", cJSON_CreateNumber(-2147483648.0));
  const Document doc(root);
  for (const bool formatted : {false, true}) {
    char* theirs = formatted ? cJSON_Print(root) : cJSON_PrintUnformatted(root);
    ASSERT_NE(theirs, nullptr);
    EXPECT_EQ(doc.toJson(formatted ? JsonFormat::Formatted : JsonFormat::Compact), theirs);
    cJSON_free(theirs);
  }
  // What cJSON cannot print prints as nothing.
  cJSON* missing = cJSON_AddRawToObject(root, "r", "0");
  cJSON_free(missing->valuestring);
  missing->valuestring = nullptr;
  EXPECT_EQ(doc.toJson(), "");
  missing->type = cJSON_True | cJSON_False;
  EXPECT_EQ(doc.toJson(JsonFormat::Compact), "");
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

TEST(JsonObject, FindAndHasMatchKeysByteForByte) {
  const Document d = Document::fromJson(R"({"Id": 1, "id": 2, "id": 3, "": 4, "\u00e9": 5})");
  const Object o = d.object();
  EXPECT_EQ(o.value("id").to_int(), 1);  // ignoring case, the first
  EXPECT_EQ(o.find("id").to_int(), 2);   // exactly, the first of that spelling
  EXPECT_EQ(o.find("id").key(), "id");
  EXPECT_EQ(o.find("Id").to_int(), 1);
  EXPECT_EQ(o.find("").to_int(), 4);
  EXPECT_EQ(o.find("\xC3\xA9").to_int(), 5);
  EXPECT_TRUE(o.has("Id"));
  for (const std::string_view key : {"ID", "i", "idx", "\xC3\x89"}) EXPECT_FALSE(o.has(key));
  EXPECT_FALSE(o.has(std::string_view("id\0", 3)));
  EXPECT_FALSE(Object(nullptr).has(""));
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

// Each number prints as its integer field, else with 15 significant digits when they read back
// as the same double, else 17, and reads back bit for bit. printf and strtod are the oracle.
TEST(JsonValue, NumbersPrintByTheRuleAndReadBackExactly) {
  std::vector<double> numbers = {
      -0.0, 0.0,  0.49543508709194095, 505874902247677952.0, 0.1, DBL_MAX, -DBL_MIN, DBL_TRUE_MIN,
      1e21, 1e-7, 123456789012345.0};
  for (const double base : {0x1p31, -0x1p31, 0x1p53, -0x1p53}) {
    for (int k = -3; k <= 3; ++k) {
      numbers.push_back(base + k);
      numbers.push_back(base + k + 0.5);
    }
  }
  std::mt19937_64 rng(21);
  while (numbers.size() < 100000) {
    const std::uint64_t bits = rng();
    double d = 0;
    switch (numbers.size() % 4) {
      case 0: d = std::bit_cast<double>(bits); break;                          // every exponent
      case 1: d = std::bit_cast<double>(bits & 0x800fffffffffffffULL); break;  // subnormal
      case 2: d = static_cast<double>(static_cast<std::int64_t>(bits) >> (bits % 63)); break;
      default: d = static_cast<double>(bits % 10000000) / std::pow(10.0, bits % 12);  // decimals
    }
    if (std::isfinite(d)) numbers.push_back(d);
  }
  Array a;
  for (const double d : numbers) ASSERT_TRUE(a.push_back(Value(d)));
  std::vector<int> ints;
  a.for_each([&](const Value& v) { ints.push_back(v.to_int()); });
  const std::string text = compact(Document(a));

  ASSERT_GE(text.size(), 2u);
  std::size_t start = 1;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::size_t end = text.find(i + 1 < numbers.size() ? ',' : ']', start);
    ASSERT_NE(end, std::string::npos);
    const std::string printed = text.substr(start, end - start);
    start = end + 1;
    const double d = numbers[i];
    char expected[32];
    if (d == static_cast<double>(ints[i])) {
      std::snprintf(expected, sizeof expected, std::signbit(d) && d == 0 ? "-%d" : "%d", ints[i]);
    } else {
      std::snprintf(expected, sizeof expected, "%1.15g", d);
      if (std::strtod(expected, nullptr) != d)
        std::snprintf(expected, sizeof expected, "%1.17g", d);
    }
    ASSERT_EQ(printed, expected) << i;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(printed.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(d))
        << printed;
  }
  EXPECT_EQ(start, text.size());
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
  Document& same = assigned;
  assigned = same;  // self-assignment keeps it
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
  EXPECT_NO_THROW(Array(nullptr).for_each([](const Value&) { throw std::runtime_error("no"); }));
}

// Keys are data: a walk reads each member's key and text without copies; a node that is no
// member (an element, an owning handle) has no key, wherever it came from.
TEST(JsonIteration, MembersTellTheirKeysAndTextsWithoutCopies) {
  const Document doc = Document::fromJson(R"({"mail": {"retries": 3}, "sms": "a\u0000b", "": 1})");
  std::string seen;
  doc.object().for_each([&](const Value& m) {
    seen += std::string(m.key()) + "=" + std::string(m.to_string_view("-")) + ";";
  });
  EXPECT_EQ(seen, "mail=-;sms=a;=-;");
  const Value sms = doc.object().value("sms");
  EXPECT_EQ(sms.to_string_view().data(), sms.to_string_view().data());  // the node's own text
  EXPECT_EQ(Value(3).to_string_view("d"), "d");
  EXPECT_EQ(Value(static_cast<const char*>(nullptr)).key(), "");

  const Value member = doc.object().value("mail");
  EXPECT_EQ(member.key(), "mail");
  const Value copy = member;  // a deep, owning copy of a member
  EXPECT_EQ(copy.key(), "");
  Array list;
  ASSERT_TRUE(list.push_back(member));  // a view: copied in
  ASSERT_TRUE(list.push_back(copy));    // owning: moved in
  list.for_each([](const Value& e) { EXPECT_EQ(e.key(), ""); });
  EXPECT_EQ(copy.key(), "");  // now a view of an element
  Object target;
  ASSERT_TRUE(target.insert("renamed", Value(list.at(0).to_object())));
  target.for_each([](const Value& m) { EXPECT_EQ(m.key(), "renamed"); });
}

TEST(JsonIteration, BothFormsReadTheNextLinkAfterEachCall) {
  // A lambda takes the inline template, a std::function the exported form: both go on to
  // elements added during the walk.
  std::vector<int> byLambda, byFunction;
  Array first, second;
  ASSERT_TRUE(first.push_back(Value(1)));
  ASSERT_TRUE(second.push_back(Value(1)));
  first.for_each([&](const Value& v) {
    byLambda.push_back(v.to_int());
    if (v.to_int() < 3) first.push_back(Value(v.to_int() + 1));
  });
  const std::function<void(const Value&)> record = [&](const Value& v) {
    byFunction.push_back(v.to_int());
    if (v.to_int() < 3) second.push_back(Value(v.to_int() + 1));
  };
  second.for_each(record);
  EXPECT_EQ(byLambda, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(byFunction, byLambda);
}

// Built through the handles, a tree has no depth limit: printing, copying, adding to a view,
// moving from a view and freeing walk it without recursion. In a child process, so that a stack
// overflow fails this test instead of ending the run (and leak checks run at its exit).
TEST(JsonDepth, TreeOfAMillionLevelsPrintsCopiesAndFrees) {
  std::fflush(nullptr);  // or the child prints what is buffered once more
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    bool ok = true;
    {
      constexpr std::size_t DEPTH = 1000000;
      Array tree;
      for (std::size_t i = 1; i < DEPTH; ++i) {
        Array outer;
        ok = ok && outer.push_back(Value(tree));
        tree = std::move(outer);
      }
      Object objects;
      for (std::size_t i = 0; i < DEPTH; ++i) {
        Object outer;
        ok = ok && outer.insert("k", Value(objects));
        objects = std::move(outer);
      }
      const auto nested = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
      Document doc(tree);
      ok = ok && compact(doc) == nested(DEPTH) && doc.toJson() == nested(DEPTH);
      const Document copy = doc;
      Array view = doc.array();
      Array viewCopy = view;
      ok = ok && compact(copy) == nested(DEPTH) && viewCopy.push_back(Value(view));
      // An owning value added to a view: the value is searched for the view before it goes in.
      ok = ok && view.push_back(Value(viewCopy));
      ok = ok && compact(doc) == "[" + nested(DEPTH - 1) + ",[" + nested(DEPTH - 1) + "," +
                                     nested(DEPTH) + "]]";
      // Keeps a node two levels down, frees the rest.
      static_cast<Element&>(doc) = view.at(1).to_array().at(1);
      ok = ok && compact(doc) == nested(DEPTH);
      const Document objectDoc(objects);
      const std::string objectText = compact(objectDoc);
      ok = ok && objectText.size() == 6 * DEPTH + 2 && objectText.compare(0, 6, R"({"k":{)") == 0;
    }
    std::exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
