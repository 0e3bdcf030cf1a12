// libxjson in a few lines: read a document without copies, walk an object whose keys are data,
// build and print one, read a stream of documents that tells where it breaks.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

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

  //! [stream]
  const std::string_view stream = "{\"id\": 1234567890123456789} {\"Id\": 2}\n{\"id\": 3,}";
  std::int64_t sum = 0;
  XJson::ParseError error;  // where a document breaks, counted from its start
  for (std::size_t at = 0, used = 0; at < stream.size(); at += used) {
    const XJson::Document job = XJson::Document::fromJsonPrefix(stream.substr(at), used, &error);
    if (!job.is_valid()) break;                 // the third: "1:10: expected a key"
    sum += job.object().find("id").to_int64();  // exact, and "Id" is another key
  }
  //! [stream]
  std::printf("%lld, then %zu:%zu: %.*s\n", static_cast<long long>(sum), error.line, error.column,
              static_cast<int>(error.reason.size()), error.reason.data());
  return retries == 3 && text == R"({"queue":"mail","workers":5})" && sum == 1234567890123456789 &&
                 error.line == 1 && error.column == 10
             ? 0
             : 1;
}
