#include "xcommon/xvariant.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* name;
  std::function<XVariant()> make;
  const char* text;
  int group;  // variants of one group are equal, of different groups not; -1 equals nothing
};

XVariant timeVariant(std::int64_t seconds, std::int32_t nanoseconds) {
  return XVariant(XTime::Timestamp{seconds, nanoseconds});
}

std::vector<Case> cases() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  return {
      {"undef", [] { return XVariant(); }, "<UNDEF>", 1},
      {"null", [] { return XVariant::createNull(); }, "<NULL>", 2},
      {"true", [] { return XVariant(true); }, "<TRUE>", 3},
      {"false", [] { return XVariant(false); }, "<FALSE>", 4},
      {"int32 0", [] { return XVariant(std::int32_t{0}); }, "0", 5},
      {"int32 min", [] { return XVariant(INT32_MIN); }, "-2147483648", 6},
      {"uint32 0", [] { return XVariant(std::uint32_t{0}); }, "0", 7},
      {"uint32 max", [] { return XVariant(UINT32_MAX); }, "4294967295", 8},
      {"int64 0", [] { return XVariant(std::int64_t{0}); }, "0", 9},
      {"int64 min", [] { return XVariant(INT64_MIN); }, "-9223372036854775808", 10},
      {"uint64 max", [] { return XVariant(UINT64_MAX); }, "18446744073709551615", 11},
      {"double 1.5", [] { return XVariant(1.5); }, "1.500000", 12},
      {"double 0", [] { return XVariant(0.0); }, "0.000000", 13},
      {"double -0", [] { return XVariant(-0.0); }, "-0.000000", 13},
      {"double nan", [nan] { return XVariant(nan); }, "nan", -1},
      {"string", [] { return XVariant("abc"); }, "\"abc\"", 14},
      {"string prefix", [] { return XVariant("abcdef", 3); }, "\"abc\"", 14},
      {"string stops at NUL", [] { return XVariant("abcdef", 10); }, "\"abcdef\"", 15},
      {"string case", [] { return XVariant("ABC"); }, "\"ABC\"", 16},
      {"string empty", [] { return XVariant(""); }, "\"\"", 17},
      {"string quote", [] { return XVariant("a\"b"); }, "\"a\"b\"", 18},
      {"string null", [] { return XVariant(static_cast<const char*>(nullptr)); }, "<NULL>", 19},
      {"string null n", [] { return XVariant(nullptr, 3); }, "<NULL>", 19},
      {"json", [] { return XVariant::createJson("{\"a\":1}"); }, "{\"a\":1}", 20},
      {"json prefix", [] { return XVariant::createJson("{\"a\":1}xyz", 7); }, "{\"a\":1}", 20},
      {"string of json", [] { return XVariant("{\"a\":1}"); }, "\"{\"a\":1}\"", 21},
      {"json null", [] { return XVariant::createJson(nullptr); }, "<NULL>", 22},
      {"time 5000ns", [] { return timeVariant(12, 5000); }, "12.000005", 23},
      {"time 499ns", [] { return timeVariant(12, 499); }, "12.000000", 24},
      {"time 500ns", [] { return timeVariant(12, 500); }, "12.000001", 25},
      {"time 1499ns", [] { return timeVariant(12, 1499); }, "12.000001", 26},
      {"time 1500ns", [] { return timeVariant(12, 1500); }, "12.000002", 27},
      {"time carry", [] { return timeVariant(12, 999999600); }, "13.000000", 28},
      {"time 13s", [] { return timeVariant(13, 0); }, "13.000000", 29},
      {"time max carry", [] { return timeVariant(INT64_MAX, 999999999); },
       "9223372036854775808.000000", 30},
      // The text of the value, whatever sign the nanoseconds carry.
      {"time negative", [] { return timeVariant(-1, -999999999); }, "-2.000000", 31},
      {"time negative fraction", [] { return timeVariant(0, -1500); }, "-0.000002", 32},
      {"time mixed signs", [] { return timeVariant(2, -500000000); }, "1.500000", 33},
      {"time min", [] { return timeVariant(INT64_MIN, -999999999); }, "-9223372036854775809.000000",
       34},
  };
}

}  // namespace

TEST(VariantValue, TextAndEqualityOfEveryKind) {
  const std::vector<Case> all = cases();
  for (const Case& a : all) {
    const XVariant va = a.make();
    EXPECT_EQ(va.toString(), a.text) << a.name;
    for (const Case& b : all) {
      const bool equal = a.group != -1 && a.group == b.group;
      EXPECT_EQ(va == b.make(), equal) << a.name << " vs " << b.name;
    }
  }
}

TEST(VariantValue, ConstructorsPickOneKindPerArgument) {
  const char* literal_text = "x";
  char mutable_text[] = "y";
  using T = XVariant::Type;
  const std::pair<XVariant, T> picks[] = {
      {XVariant(1), T::Int32},
      {XVariant(1L), T::Int64},
      {XVariant(1LL), T::Int64},
      {XVariant('a'), T::Int32},
      {XVariant(short{1}), T::Int32},
      {XVariant(0), T::Int32},
      {XVariant(1U), T::UInt32},
      {XVariant(1UL), T::UInt64},
      {XVariant(1ULL), T::UInt64},
      {XVariant(1.0F), T::Double},
      {XVariant(true), T::Bool},
      {XVariant(nullptr), T::String},
      {XVariant("lit"), T::String},
      {XVariant(mutable_text), T::String},
      {XVariant(literal_text), T::String},
      {XVariant(XTime::Timestamp{1, 2}), T::Timestamp},
  };
  for (const auto& [v, type] : picks)
    EXPECT_EQ(static_cast<int>(v.type()), static_cast<int>(type)) << v.toString();
  static_assert(!std::is_constructible_v<XVariant, int*>, "a pointer must not become a Bool");
  static_assert(!std::is_constructible_v<XVariant, const void*>);
}

TEST(VariantValue, GettersReadOnlyTheirOwnKind) {
  const XVariant i32(-7), text("abc");
  EXPECT_EQ(i32.getInt32(), -7);
  EXPECT_EQ(i32.getInt64(42), 42);  // no widening
  EXPECT_EQ(i32.getText(), nullptr);
  EXPECT_STREQ(text.getText(), "abc");
  EXPECT_EQ(text.getTimestamp(), XTime::Timestamp{});
  EXPECT_EQ(XVariant(XTime::Timestamp{5, 6}).getTimestamp(), (XTime::Timestamp{5, 6}));
}

// Run under AddressSanitizer: a shared or double-freed text shows up here.
TEST(VariantValue, CopiesOwnTheirTextAndMovesEmptyTheSource) {
  XVariant source("hello");
  {
    XVariant copy(source);
    EXPECT_NE(copy.getText(), source.getText());
    EXPECT_TRUE(copy == source);
    copy.release();
    EXPECT_EQ(copy.type(), XVariant::Type::Undef);
  }
  EXPECT_EQ(source.toString(), "\"hello\"");

  XVariant target = XVariant::createJson("[1]");
  target = source;  // frees the old text, copies the new one
  EXPECT_EQ(target.toString(), "\"hello\"");
  target = XVariant(INT64_MIN);
  EXPECT_EQ(target.getInt64(), INT64_MIN);
  target = XVariant::createJson("{}");
  EXPECT_EQ(target.type(), XVariant::Type::Json);

  XVariant moved(std::move(source));
  EXPECT_EQ(source.toString(), "<UNDEF>");  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(source.getText(), nullptr);
  EXPECT_EQ(moved.toString(), "\"hello\"");
  target = std::move(moved);
  EXPECT_EQ(moved.type(), XVariant::Type::Undef);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(target.toString(), "\"hello\"");
  source = target;  // a moved-from variant can be assigned again
  EXPECT_TRUE(source == target);

  XVariant& alias = target;
  target = alias;
  EXPECT_EQ(target.toString(), "\"hello\"");
  target = std::move(alias);
  EXPECT_EQ(target.toString(), "\"hello\"");
}
