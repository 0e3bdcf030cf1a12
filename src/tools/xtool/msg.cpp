// xtool msg types|decode|encode: any message of the schemas, through the generated descriptors.
#include <cstdio>
#include <memory>
#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>

#include "commands.h"
#include "tool.h"
#include <xmsg/xmsg.h>

namespace xtool {

namespace {

namespace pb = google::protobuf;

constexpr const char* USAGE_TEXT =
    "usage: xtool msg types\n"
    "       xtool msg decode [--json] TYPE [FILE]\n"
    "       xtool msg encode [--json] TYPE [FILE]\n"
    "  types lists every message type by full name. decode reads a binary TYPE message and\n"
    "  prints it as protobuf text (or JSON); encode reads that text and writes the binary.\n";

void listTypes(const pb::Descriptor* type) {
  std::printf("%s\n", type->full_name().c_str());
  for (int i = 0; i < type->nested_type_count(); ++i) listTypes(type->nested_type(i));
}

}  // namespace

int msgCommand(int argc, char** argv) {
  static const XCmdLine::Option table[] = {{'j', "json", XCmdLine::NONE},
                                           {0, nullptr, XCmdLine::END}};
  Args args;
  if (const auto done = parse(table, USAGE_TEXT, argc, argv, args)) return *done;
  const std::string action = args.operands.empty() ? "" : args.operands[0];
  const pb::DescriptorPool* pool = pb::DescriptorPool::generated_pool();

  if (action == "types" && args.operands.size() == 1) {
    for (const xmsg::SchemaFile& schema : xmsg::SCHEMA_FILES) {
      const pb::FileDescriptor* file = pool->FindFileByName(schema.name);
      if (file == nullptr)
        return refuse(std::string("schema ") + schema.name + " is not linked in");
      for (int i = 0; i < file->message_type_count(); ++i) listTypes(file->message_type(i));
    }
    return OK;
  }
  if ((action != "decode" && action != "encode") || args.operands.size() < 2 ||
      args.operands.size() > 3)
    return usageError(
        "msg needs 'types', or 'decode' or 'encode' with a type and at most one file");

  const pb::Descriptor* type = pool->FindMessageTypeByName(args.operands[1]);
  if (type == nullptr) return refuse("unknown message type " + args.operands[1]);
  std::string input, error;
  if (!readInput(args.operands.size() == 3 ? args.operands[2] : "", input, error))
    return refuse(error);
  const pb::Message* prototype = pb::MessageFactory::generated_factory()->GetPrototype(type);
  std::unique_ptr<pb::Message> message(prototype->New());
  const bool json = args.has('j');

  if (action == "decode") {
    if (!message->ParseFromString(input)) return refuse("the input is not a " + type->full_name());
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
    std::fputs(out.c_str(), stdout);
    return OK;
  }
  if (json) {
    const auto status = pb::util::JsonStringToMessage(input, message.get());
    if (!status.ok())
      return refuse("the input is not a " + type->full_name() + ": " +
                    std::string(status.message()));
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
      return refuse("the input is not a " + type->full_name() + ": " + errors.first);
  }
  const std::string wire = message->SerializeAsString();
  std::fwrite(wire.data(), 1, wire.size(), stdout);
  return OK;
}

}  // namespace xtool
