// fromJson on arbitrary text, a walk with typed reads, and both printers. Cross-checked
// against cJSON: the parse must build cJSON_Parse's tree (or refuse where it refuses), the one
// difference being the digits of an integer beyond ±2^53 that ours keeps; the parse of the same
// bytes without a NUL after them must build the same tree or fail at a place inside them, and
// read as a stream it takes no more than they hold; a copy prints the same. Numbers of any length
// read as Debian's cJSON (with the fix for CVE-2023-26819) reads them.
#include "xjson/xjson.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include <cjson/cJSON.h>

#include "exact_copy.h"
#include "same_tree.h"

namespace {

void walk(const XJson::Value& v, int depth) {
  (void)v.to_bool(true);
  (void)v.to_number(1.5);
  (void)v.to_int(7);
  (void)v.to_int64(7);
  (void)v.to_string("d");
  (void)v.to_string_view("d");
  (void)v.key();
  if (!v.is_valid()) return;  // at() past the end gives an invalid value: nothing below it
  const XJson::Object o = v.to_object();
  o.for_each([depth](const XJson::Value& m) { walk(m, depth + 1); });
  (void)o.value("a").to_int();
  (void)o.contains("b");
  (void)o.find("b").to_int();
  const XJson::Array a = v.to_array();
  if (a.size() < 64) {
    for (unsigned long i = 0; i <= a.size(); ++i) walk(a.at(i), depth + 1);
  } else {
    a.for_each([depth](const XJson::Value& e) { walk(e, depth + 1); });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const XJson::Document doc = XJson::Document::fromJson(text);
  // The differential check: the very tree cJSON_Parse builds, or a refusal where it refuses.
  cJSON* raw = cJSON_Parse(text.c_str());
  if (doc.is_valid() != (raw != nullptr)) std::abort();
  cJSON* root = doc.detach();
  if (raw != nullptr && !TestSupport::treeDifference(root, raw).empty()) std::abort();
  cJSON_Delete(raw);
  const auto exact = TestSupport::exactCopy(text);
  const std::string_view bytes(exact.get(), size);
  XJson::ParseError error;
  cJSON* again = XJson::Document::fromJson(bytes, &error).detach();
  const XJson::Document owned(again);
  if ((again != nullptr) != (root != nullptr)) std::abort();
  if (root == nullptr && (error.offset > size || error.reason.empty())) std::abort();
  if (root != nullptr && !TestSupport::treeDifference(again, root).empty()) std::abort();
  std::size_t used = 0;
  if (XJson::Document::fromJsonPrefix(bytes, used).is_valid() != (root != nullptr) || used > size)
    std::abort();
  if (root == nullptr) return 0;
  const XJson::Document owner(root);
  walk(XJson::Value(root), 0);
  const std::string compact = owner.toJson(XJson::JsonFormat::Compact);
  (void)owner.toJson(XJson::JsonFormat::Formatted);
  const XJson::Document copy = owner;  // deep copy prints alike
  if (copy.toJson(XJson::JsonFormat::Compact) != compact) std::abort();
  return 0;
}
