// A loaded module's use of libxjson: parse, read and print.
#include "xjson/xjson.h"

extern "C" __attribute__((visibility("default"))) int x_plugin_run() {
  const XJson::Document doc = XJson::Document::fromJson(R"({"a": [1, 2], "b": "c"})");
  if (!doc.is_valid()) return 1;
  if (doc.object().value("b").to_string("?") != "c") return 2;
  if (doc.toJson(XJson::JsonFormat::Compact) != R"({"a":[1,2],"b":"c"})") return 3;
  return 0;
}
