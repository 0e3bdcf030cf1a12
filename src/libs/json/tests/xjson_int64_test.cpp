// 64-bit integers: exact from text and from Value(std::int64_t), through both printers, copies
// and changes made through cJSON.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "xjson/xjson.h"

using XJson::Document;
using XJson::JsonFormat;
using XJson::Object;
using XJson::Value;

namespace {

constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t P53 = std::int64_t{1} << 53;

// Integers at the edges of exact doubles and of int64, and ids and times of the messages.
const std::vector<std::int64_t> INTEGERS = {0,
                                            1,
                                            -1,
                                            P53 - 1,
                                            P53,
                                            P53 + 1,
                                            -P53 + 1,
                                            -P53,
                                            -P53 - 1,
                                            MAX,
                                            MIN,
                                            MAX - 1,
                                            MIN + 1,
                                            1234567890123456789,
                                            -987654321098765432,
                                            1718000000123456,
                                            505874924095815681};

std::string compact(const Document& d) { return d.toJson(JsonFormat::Compact); }

}  // namespace

TEST(JsonInt64, ParsedIntegersReadBackAndPrintExactly) {
  for (const std::int64_t n : INTEGERS) {
    const std::string digits = std::to_string(n);
    const Document d = Document::fromJson("[" + digits + ", {\"id\": " + digits + "}]");
    EXPECT_EQ(d.array().at(0).to_int64(), n) << digits;
    EXPECT_EQ(d.array().at(0).to_number(), static_cast<double>(n)) << digits;
    EXPECT_EQ(compact(d), "[" + digits + ",{\"id\":" + digits + "}]");
    EXPECT_EQ(d.toJson(), "[" + digits + ", {\n\t\t\"id\":\t" + digits + "\n\t}]");
  }
}

TEST(JsonInt64, OtherNumbersTruncateAndSaturate) {
  const struct {
    const char* text;
    std::int64_t want;
  } cases[] = {{"9223372036854775808", MAX},  // one past each end
               {"-9223372036854775809", MIN},
               {"99999999999999999999999", MAX},
               {"1e300", MAX},
               {"-1e300", MIN},
               {"-0", 0},
               {"2.9", 2},
               {"-2.9", -2},
               {"1e3", 1000},
               {"00009007199254740993", P53 + 1},
               {"9007199254740993.0", P53},  // a fraction: the double's
               {"9007199254740993e0", P53}};
  for (const auto& c : cases) {
    const Document d = Document::fromJson(std::string("[") + c.text + "]");
    EXPECT_EQ(d.array().at(0).to_int64(-7), c.want) << c.text;
  }
  // One past each end prints as the double it is; -0 keeps its sign.
  EXPECT_EQ(compact(Document::fromJson("[9223372036854775808,-0]")), "[9.2233720368547758e+18,-0]");
  const Document kinds = Document::fromJson(R"(["5", true, null, {}])");
  kinds.array().for_each([](const Value& v) { EXPECT_EQ(v.to_int64(-7), -7); });
  EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()).to_int64(-7), 0);
}

TEST(JsonInt64, BuiltIntegersPrintTheirDigits) {
  for (const std::int64_t n : INTEGERS) {
    Object o;
    ASSERT_TRUE(o.insert("n", Value(n)));
    EXPECT_EQ(o.value("n").to_int64(), n);
    const Document d(o);
    EXPECT_EQ(compact(d), "{\"n\":" + std::to_string(n) + "}");
    EXPECT_EQ(Document::fromJson(d.toJson()).object().value("n").to_int64(), n);
  }
}

// The digits live in the node's valuestring: cJSON copies and frees them with the node, and a
// number set through cJSON afterwards wins over them.
TEST(JsonInt64, CopiesKeepTheDigitsAndCjsonChangesWin) {
  cJSON* parsed = Document::fromJson("[1234567890123456789]").detach();
  const Document ours(parsed);
  EXPECT_EQ(compact(Document(ours)), "[1234567890123456789]");
  cJSON_Delete(cJSON_Duplicate(parsed, 1));  // frees the copied digits (the leak check's part)
  cJSON* theirs = cJSON_Duplicate(parsed, 1);
  const Document copy(theirs);
  EXPECT_EQ(compact(copy), "[1234567890123456789]");

  cJSON_SetNumberValue(theirs->child, 42);
  EXPECT_EQ(compact(copy), "[42]");
  EXPECT_EQ(copy.array().at(0).to_int64(), 42);
  theirs->child->valuedouble = 1234567890123456768.0;  // what the digits round to: they count
  EXPECT_EQ(copy.array().at(0).to_int64(), 1234567890123456789);
  theirs->child->valuedouble = 1e19;
  EXPECT_EQ(copy.array().at(0).to_int64(), MAX);
  EXPECT_EQ(compact(copy), "[1e+19]");
}
