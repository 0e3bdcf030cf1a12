// Parse errors with their place and reason, and streams of documents read one after another.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "exact_copy.h"
#include "xjson/xjson.h"

using XJson::Document;
using XJson::JsonFormat;
using XJson::JsonRest;
using XJson::ParseError;

namespace {

struct Case {
  std::string text;
  std::size_t offset, line, column;
  const char* reason;
};

void expectError(const Case& c, JsonRest rest = JsonRest::Ignore) {
  ParseError error;
  const auto exact = TestSupport::exactCopy(c.text);  // no NUL after the text
  EXPECT_FALSE(Document::fromJson({exact.get(), c.text.size()}, &error, rest).is_valid());
  EXPECT_EQ(error.reason, c.reason) << c.text;
  EXPECT_EQ(error.offset, c.offset) << c.text;
  EXPECT_EQ(error.line, c.line) << c.text;
  EXPECT_EQ(error.column, c.column) << c.text;
}

// cJSON's allocator, failing after a number of allocations.
int allocations = 0;
void* limitedMalloc(std::size_t size) { return allocations-- > 0 ? std::malloc(size) : nullptr; }

}  // namespace

TEST(JsonErrors, EachReasonAtItsPlace) {
  const std::string deep(1001, '[');
  const Case cases[] = {
      {R"({"a": 1 "b": 2})", 8, 1, 9, "expected ',' or '}'"},
      {"[1, 2\n 3]", 7, 2, 2, "expected ',' or ']'"},
      {"{\n\t\"a\" 1}", 7, 2, 6, "expected ':'"},
      {"{1: 2}", 1, 1, 2, "expected a key"},
      {R"({"a": "x\qy"})", 8, 1, 9, "invalid escape"},
      {R"(["\ud800"])", 2, 1, 3, "invalid escape"},
      {"[\"abc", 1, 1, 2, "unterminated string"},
      {"[\"ab\\", 1, 1, 2, "unterminated string"},
      {deep, 1000, 1, 1001, "nesting deeper than 1000"},
      {"[-]", 1, 1, 2, "invalid number"},
      {"[tru]", 1, 1, 2, "invalid literal"},
      {"", 0, 1, 1, "expected a value"},
      {" \n[1,", 5, 2, 4, "expected a value"},
      {std::string("[1\0]", 4), 2, 1, 3, "expected ',' or ']'"},  // a NUL ends the text
      // Columns count characters: two, three and four bytes of UTF-8 are one each.
      {"{\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\": [1,,]}", 17, 1, 12, "expected a value"},
      {"[\"\xC3\xA9\",\n \"\xC3\xBC\" \"x\"]", 13, 2, 6, "expected ',' or ']'"},
      // A byte-order mark counts in the offset, not in the column.
      {"\xEF\xBB\xBF[1,]", 6, 1, 4, "expected a value"},
      {"\xEF\xBB\xBF\n[1,]", 7, 2, 4, "expected a value"},
  };
  for (const Case& c : cases) expectError(c);
  expectError({"[1] [2]", 4, 1, 5, "text after the value"}, JsonRest::Refuse);
  expectError({std::string("[1]\0", 4), 3, 1, 4, "text after the value"}, JsonRest::Refuse);
}

TEST(JsonErrors, SuccessLeavesTheErrorAndWhatFollowsIsRefusedOnlyOnRequest) {
  ParseError error;
  error.line = 77;
  EXPECT_TRUE(Document::fromJson("[1] x", &error).is_valid());
  EXPECT_TRUE(Document::fromJson("[1] \t\r\n", &error, JsonRest::Refuse).is_valid());
  EXPECT_TRUE(Document::fromJson("\xEF\xBB\xBF 7", nullptr, JsonRest::Refuse).is_valid());
  EXPECT_EQ(error.line, 77u);
  EXPECT_FALSE(Document::fromJson("[1", nullptr).is_valid());
}

TEST(JsonErrors, OutOfMemoryIsAReasonAndLeaksNothing) {
  const std::string text =
      R"({"k": ["a long string of more than sixteen bytes", 9007199254740993]})";
  cJSON_Hooks hooks{limitedMalloc, std::free};
  for (int allowed = 0;; ++allowed) {
    allocations = allowed;
    cJSON_InitHooks(&hooks);
    ParseError error;
    const Document d = Document::fromJson(text, &error);
    cJSON_InitHooks(nullptr);
    if (d.is_valid()) {
      EXPECT_EQ(d.object().value("k").to_array().at(1).to_int64(), 9007199254740993);
      break;
    }
    EXPECT_EQ(error.reason, "out of memory") << allowed;
  }
}

// Documents one after another, with whitespace between or none, in a buffer without a NUL.
TEST(JsonStream, DocumentsOneAfterAnother) {
  const std::string text = "{\"a\":1}[2]  \"three\"\n4 5\n\n{\"b\": [true]}\t\nnull42";
  const auto exact = TestSupport::exactCopy(text);
  std::string_view rest(exact.get(), text.size());
  std::vector<std::string> documents;
  std::vector<std::size_t> used;
  while (!rest.empty()) {
    used.push_back(0);
    const Document d = Document::fromJsonPrefix(rest, used.back());
    ASSERT_TRUE(d.is_valid()) << rest;
    documents.push_back(d.toJson(JsonFormat::Compact));
    rest.remove_prefix(used.back());
  }
  EXPECT_EQ(documents, (std::vector<std::string>{"{\"a\":1}", "[2]", "\"three\"", "4", "5",
                                                 "{\"b\":[true]}", "null", "42"}));
  EXPECT_EQ(used, (std::vector<std::size_t>{7, 5, 8, 2, 3, 15, 4, 2}));
}

TEST(JsonStream, ATruncatedLastDocumentFailsWhereItEnds) {
  const std::string text = "{\"a\": 1}\n{\"b\": [1, 2";
  std::size_t used = 0;
  EXPECT_TRUE(Document::fromJsonPrefix(text, used).is_valid());
  EXPECT_EQ(used, 9u);
  ParseError error;
  const std::string_view last = std::string_view(text).substr(used);
  EXPECT_FALSE(Document::fromJsonPrefix(last, used, &error).is_valid());
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(error.offset, last.size());
  EXPECT_EQ(error.reason, "expected ',' or ']'");
  EXPECT_FALSE(Document::fromJsonPrefix(" \n", used, &error).is_valid());
  EXPECT_EQ(error.reason, "expected a value");
}
