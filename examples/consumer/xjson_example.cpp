// libxjson in a few lines: read a document without copies, walk an object whose keys are data,
// build and print one.
#include <cstdio>
#include <string>

#include <xjson/xjson.h>

int main() {
  //! [read]
  const XJson::Document doc = XJson::Document::fromJson(R"({"queue": "mail", "retries": 3})");
  const int retries = doc.object().value("retries").to_int(0);  // a view of the document's node
  //! [read]

  //! [walk]
  const XJson::Document queues = XJson::Document::fromJson(R"({"mail": 4, "sms": 1})");
  int workers = 0;
  queues.object().for_each([&](const XJson::Value& member) {
    std::printf("%.*s: %d\n", static_cast<int>(member.key().size()), member.key().data(),
                member.to_int());
    workers += member.to_int();
  });
  //! [walk]

  //! [build]
  XJson::Object settings;
  settings.insert("queue", XJson::Value("mail"));
  settings.insert("workers", XJson::Value(workers));
  const std::string text = XJson::Document(settings).toJson(XJson::JsonFormat::Compact);
  //! [build]
  std::printf("%s\n", text.c_str());
  return retries == 3 && text == R"({"queue":"mail","workers":5})" ? 0 : 1;
}
