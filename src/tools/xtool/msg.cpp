// xtool msg types|decode|encode: any message of the schemas, through the generated descriptors.
#include <memory>
#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>

#include "tool.h"
#include <xmsg/xmsg.h>

namespace xtool {

namespace {

namespace pb = google::protobuf;

constexpr XCmdLine::Option OPTIONS[] = {{'j', "json", XCmdLine::NONE}, {0, nullptr, XCmdLine::END}};

void addTypes(const pb::Descriptor* type, std::vector<std::string>& names) {
  names.push_back(type->full_name());
  for (int i = 0; i < type->nested_type_count(); ++i) addTypes(type->nested_type(i), names);
}

// Every message type's full name; false with `missing` set when a schema is not linked in.
bool typeNames(std::vector<std::string>& names, std::string& missing) {
  const pb::DescriptorPool* pool = pb::DescriptorPool::generated_pool();
  for (const xmsg::SchemaFile& schema : xmsg::SCHEMA_FILES) {
    const pb::FileDescriptor* file = pool->FindFileByName(schema.name);
    if (file == nullptr) {
      missing = schema.name;
      return false;
    }
    for (int i = 0; i < file->message_type_count(); ++i) addTypes(file->message_type(i), names);
  }
  return true;
}

std::vector<std::string> completeType(std::string_view placeholder) {
  std::vector<std::string> names;
  std::string missing;
  if (placeholder == "TYPE") typeNames(names, missing);
  return names;
}

int listTypes() {
  std::vector<std::string> names;
  std::string missing;
  if (!typeNames(names, missing)) return refuse("schema " + missing + " is not linked in");
  for (const std::string& name : names) printLine(name);
  return OK;
}

// The wire message as protobuf text, or as JSON.
int decode(const pb::Message& prototype, const std::string& input, bool json) {
  std::unique_ptr<pb::Message> message(prototype.New());
  const std::string& type = prototype.GetDescriptor()->full_name();
  if (!message->ParseFromString(input)) return refuse("the input is not a " + type);
  std::string out;
  if (json) {
    pb::util::JsonPrintOptions options;
    options.add_whitespace = true;
    if (!pb::util::MessageToJsonString(*message, &out, options).ok())
      return refuse("cannot print the message as JSON");
  } else if (!pb::TextFormat::PrintToString(*message, &out)) {
    return refuse("cannot print the message as text");
  }
  if (out.empty() || out.back() != '\n') out += '\n';
  print(out);
  return OK;
}

// Protobuf text, or JSON, as the wire message.
int encode(const pb::Message& prototype, const std::string& input, bool json) {
  std::unique_ptr<pb::Message> message(prototype.New());
  const std::string& type = prototype.GetDescriptor()->full_name();
  if (json) {
    const auto status = pb::util::JsonStringToMessage(input, message.get());
    if (!status.ok())
      return refuse("the input is not a " + type + ": " + clipped(std::string(status.message())));
  } else {
    // Parse errors are collected instead of going to protobuf's own log.
    struct Collector : pb::io::ErrorCollector {
      std::string first;
      void AddError(int line, int column, const std::string& message) override {
        if (first.empty())
          first = std::to_string(line + 1) + ":" + std::to_string(column + 1) + ": " + message;
      }
    } errors;
    pb::TextFormat::Parser parser;
    parser.RecordErrorsTo(&errors);
    if (!parser.ParseFromString(input, message.get()))
      return refuse("the input is not a " + type + ": " + clipped(errors.first));
  }
  print(message->SerializeAsString());
  return OK;
}

int run(Args& args) {
  const std::string action = args.operands.empty() ? "" : args.operands[0];
  if (action == "types" && args.operands.size() == 1) return listTypes();
  if ((action != "decode" && action != "encode") || args.operands.size() < 2 ||
      args.operands.size() > 3)
    return usageError(
        "msg needs 'types', or 'decode' or 'encode' with a type and at most one file");

  const pb::Descriptor* type =
      pb::DescriptorPool::generated_pool()->FindMessageTypeByName(args.operands[1]);
  if (type == nullptr) return refuse("unknown message type " + inQuotes(args.operands[1]));
  std::string input, error;
  if (!readInput(args.operands.size() == 3 ? args.operands[2] : "", input, error))
    return refuse(error);
  const pb::Message* prototype = pb::MessageFactory::generated_factory()->GetPrototype(type);
  return action == "decode" ? decode(*prototype, input, args.has('j'))
                            : encode(*prototype, input, args.has('j'));
}

const Registration REGISTRATION({
    .name = "msg",
    .synopsis = "types | decode|encode [--json] TYPE [FILE]",
    .summary = "wire messages",
    .description = "types lists every message type by full name. decode reads a binary TYPE "
                   "message from FILE or standard input and prints it as protobuf text, or as "
                   "JSON with --json; encode reads that text and writes the binary message.",
    .options = OPTIONS,
    .run = run,
    .values = completeType,
});

}  // namespace

}  // namespace xtool
