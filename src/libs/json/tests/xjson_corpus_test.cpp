// Robustness and fidelity over public corpora: the handles agree with cJSON itself.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "data_files.h"
#include "exact_copy.h"
#include "same_tree.h"
#include "xjson/xjson.h"

namespace fs = std::filesystem;

namespace {

using TestSupport::dataDir;
using TestSupport::readFile;

std::string cjsonPrint(cJSON* node, bool formatted) {
  char* p = formatted ? cJSON_Print(node) : cJSON_PrintUnformatted(node);
  std::string s = p != nullptr ? p : "";
  cJSON_free(p);
  return s;
}

// The bits of every finite number in document order (the others print as null).
void numbers(const cJSON* n, std::vector<std::uint64_t>& out) {
  if (cJSON_IsNumber(n) && std::isfinite(n->valuedouble))
    out.push_back(std::bit_cast<std::uint64_t>(n->valuedouble));
  for (const cJSON* c = n->child; c != nullptr; c = c->next) numbers(c, out);
}

std::vector<std::uint64_t> numbersOfText(const std::string& text) {
  std::vector<std::uint64_t> out;
  cJSON* n = cJSON_Parse(text.c_str());
  if (n != nullptr) numbers(n, out);
  cJSON_Delete(n);
  return out;
}

// The text with every number outside strings replaced by '#', and the numbers in order.
std::string maskNumbers(const std::string& text, std::vector<std::string>* numbers = nullptr) {
  std::string out;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      out += c;
      if (c == '\\') out += text[++i];
      inString = c != '"';
    } else if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E') {
      if (out.empty() || out.back() != '#') {
        out += '#';
        if (numbers != nullptr) numbers->emplace_back();
      }
      if (numbers != nullptr) numbers->back() += c;
    } else {
      out += c;
      inString = c == '"';
    }
  }
  return out;
}

// Whether a number is an integer beyond ±2^53 of the int64 range.
bool isBigInteger(const std::string& n) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), value);
  return end == n.data() + n.size() && ec == std::errc() &&
         (value > std::int64_t{1} << 53 || value < -(std::int64_t{1} << 53));
}

// Those integers among the numbers of a text, as written.
std::vector<std::string> bigIntegers(const std::string& text) {
  std::vector<std::string> numbers, big;
  maskNumbers(text, &numbers);
  for (const std::string& n : numbers)
    if (isBigInteger(n)) big.push_back(n);
  return big;
}

// Our text: every number reads back bit for bit, and the text is cJSON's outside numbers. Each
// number is cJSON's wherever cJSON's own text reads back exactly, but for the digits of an
// integer beyond ±2^53 that we keep and cJSON prints as a double. Both printers write a number
// alike in either layout, so the compact texts answer for both.
void expectPrintsLikeCjson(const XJson::Document& doc, cJSON* raw, const std::string& name) {
  std::vector<std::uint64_t> original;
  numbers(raw, original);
  EXPECT_EQ(numbersOfText(doc.toJson(XJson::JsonFormat::Compact)), original) << name;
  const bool cjsonExact = numbersOfText(cjsonPrint(raw, false)) == original;
  for (const bool formatted : {false, true}) {
    const std::string ours =
        doc.toJson(formatted ? XJson::JsonFormat::Formatted : XJson::JsonFormat::Compact);
    std::vector<std::string> a, b;
    EXPECT_EQ(maskNumbers(ours, &a), maskNumbers(cjsonPrint(raw, formatted), &b)) << name;
    if (!cjsonExact || a.size() != b.size()) continue;
    for (std::size_t i = 0; i < a.size(); ++i)
      EXPECT_TRUE(a[i] == b[i] || isBigInteger(a[i])) << name << ": " << a[i] << " " << b[i];
  }
}

// Every string and number in document order, read through the handles.
void walk(const XJson::Value& v, std::string& out) {
  if (v.is_object()) {
    out += '{';
    v.to_object().for_each([&](const XJson::Value& m) { walk(m, out); });
    out += '}';
  } else if (v.is_array()) {
    const XJson::Array a = v.to_array();
    out += '[';
    for (unsigned long i = 0; i < a.size(); ++i) walk(a.at(i), out);
    out += ']';
  } else if (v.is_string()) {
    out += v.to_string() + ',';
  } else if (v.is_number()) {
    out += std::to_string(v.to_number()) + ':' + std::to_string(v.to_int()) + ',';
  } else if (v.is_bool()) {
    out += v.to_bool() ? "T," : "F,";
  } else {
    out += "N,";
  }
}

// The same walk over the raw tree.
void rawWalk(const cJSON* n, std::string& out) {
  if (cJSON_IsObject(n) || cJSON_IsArray(n)) {
    out += cJSON_IsObject(n) ? '{' : '[';
    for (const cJSON* c = n->child; c != nullptr; c = c->next) rawWalk(c, out);
    out += cJSON_IsObject(n) ? '}' : ']';
  } else if (cJSON_IsString(n)) {
    out += std::string(n->valuestring) + ',';
  } else if (cJSON_IsNumber(n)) {
    out += std::to_string(n->valuedouble) + ':' + std::to_string(n->valueint) + ',';
  } else if (cJSON_IsBool(n)) {
    out += cJSON_IsTrue(n) ? "T," : "F,";
  } else {
    out += "N,";
  }
}

}  // namespace

TEST(JsonCorpus, ParsingSuiteAgreesWithCjson) {
  const fs::path dir = dataDir() / "test_parsing";
  if (!fs::is_directory(dir)) XJSON_WITHOUT_DATA(dir << " is absent");
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string text = readFile(entry.path());
    cJSON* raw = cJSON_Parse(text.c_str());
    const XJson::Document doc = XJson::Document::fromJson(text);
    EXPECT_EQ(doc.is_valid(), raw != nullptr) << entry.path().filename();
    // The same verdict without a NUL after the text, and from the parse that tells where.
    XJson::ParseError error;
    const auto exact = TestSupport::exactCopy(text);
    EXPECT_EQ(XJson::Document::fromJson({exact.get(), text.size()}, &error).is_valid(),
              raw != nullptr)
        << entry.path().filename() << " " << error.reason;
    if (raw != nullptr) {
      expectPrintsLikeCjson(doc, raw, entry.path().filename());
      // The root may be a scalar: walk it through a view, with ownership handed to `owner`.
      cJSON* root = doc.detach();
      const XJson::Document owner(root);
      EXPECT_EQ(TestSupport::treeDifference(root, raw), "") << entry.path().filename();
      std::string a, b;
      walk(XJson::Value(root), a);
      rawWalk(raw, b);
      EXPECT_EQ(a, b) << entry.path().filename();
    }
    cJSON_Delete(raw);
    ++files;
  }
  EXPECT_GT(files, 100);
}

TEST(JsonCorpus, LargeDocumentsPrintAndWalkLikeCjson) {
  int found = 0;
  for (const char* name : {"canada.json", "citm_catalog.json", "twitter.json"}) {
    const fs::path path = dataDir() / name;
    if (!fs::exists(path)) continue;
    ++found;
    const std::string text = readFile(path);
    cJSON* raw = cJSON_Parse(text.c_str());
    ASSERT_NE(raw, nullptr) << name;
    const XJson::Document doc = XJson::Document::fromJson(text);
    ASSERT_TRUE(doc.is_valid()) << name;
    expectPrintsLikeCjson(doc, raw, name);
    // The ids of the tweets, and every other integer a double cannot hold, print as written.
    EXPECT_EQ(bigIntegers(doc.toJson(XJson::JsonFormat::Compact)), bigIntegers(text)) << name;
    cJSON* root = doc.detach();
    const XJson::Document owner(root);
    EXPECT_EQ(TestSupport::treeDifference(root, raw), "") << name;
    std::string a, b;
    walk(XJson::Value(root), a);
    rawWalk(raw, b);
    EXPECT_EQ(a, b) << name;
    EXPECT_GT(a.size(), 1000u);
    cJSON_Delete(raw);
  }
  if (found == 0) XJSON_WITHOUT_DATA(dataDir() << " holds none of the three corpus files");
}
