#include <string>

#include <google/protobuf/arena.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/unknown_field_set.h>
#include <gtest/gtest.h>

#include "xmsg/xmsg.h"

namespace pb = google::protobuf;
namespace php = xavro::protobuf::XavroPHP;
namespace mon = xavro::protobuf::Monitor;
namespace jq = xavro::protobuf::JQ;
namespace vireo = xavro::protobuf::Vireo;
namespace ct = xavro::protobuf::CT;
namespace cfg = xavro::protobuf::Config;
namespace login = xavro::protobuf::Login;

namespace {

std::string bytes(const pb::MessageLite& m) {
  std::string out;
  EXPECT_TRUE(m.SerializeToString(&out));
  return out;
}

std::string hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Wire records built by hand, so that the tests do not trust the library for them.
std::string varint(std::uint64_t value) {
  std::string out;
  for (; value >= 0x80; value >>= 7) out += static_cast<char>((value & 0x7f) | 0x80);
  return out + static_cast<char>(value);
}

std::string varintField(int number, std::uint64_t value) {
  return varint(static_cast<std::uint64_t>(number) << 3) + varint(value);
}

std::string lengthField(int number, const std::string& payload) {
  return varint((static_cast<std::uint64_t>(number) << 3) | 2) + varint(payload.size()) + payload;
}

}  // namespace

TEST(MessageBytes, DefaultsAreNotWrittenButSetOneofMembersAre) {
  php::XVal undef;
  EXPECT_EQ(bytes(undef), "");
  php::XVal nul;
  nul.set_value_type(php::XVal::NUL);
  EXPECT_EQ(hex(bytes(nul)), "08 01");
  php::XVal f;
  f.set_value_type(php::XVal::BOOL);
  f.set_bool_value(false);
  EXPECT_EQ(hex(bytes(f)), "08 02 10 00");
  EXPECT_EQ(f.value_case(), php::XVal::kBoolValue);

  mon::Event event;
  EXPECT_EQ(bytes(event), "");
  mon::Event parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes(event)));
  EXPECT_EQ(parsed.event_type(), mon::Event::SlowFunctionExecution);
  event.set_memory_usage_bytes(0);
  EXPECT_EQ(event.data_case(), mon::Event::kMemoryUsageBytes);
  EXPECT_EQ(hex(bytes(event)), "38 00");
  event.set_codetrace(false);
  EXPECT_EQ(hex(bytes(event)), "38 00");
  event.set_codetrace(true);
  EXPECT_EQ(hex(bytes(event)), "38 00 50 01");

  cfg::Value value;
  value.set_key("k");
  EXPECT_EQ(value.value_type(), cfg::Value::NONE);
  EXPECT_EQ(value.value_case(), cfg::Value::VALUE_NOT_SET);
  value.set_value_type(cfg::Value::BOOL);
  value.set_bool_value(false);
  EXPECT_EQ(hex(bytes(value)), "0a 01 6b 10 01 18 00");

  ct::Header header;
  header.set_dump_reason(ct::Header::USER);
  header.set_flags(3);
  EXPECT_EQ(hex(bytes(header)), "08 03");
  header.set_dump_reason(ct::Header::REQUEST);
  EXPECT_EQ(hex(bytes(header)), "08 03 20 02");
}

TEST(MessageBytes, OneMemberOneofsGivePresence) {
  vireo::SqlTransaction none, zero;
  none.set_ident(1);
  zero.set_ident(1);
  zero.set_parent_id(0);
  EXPECT_EQ(hex(bytes(none)), "08 01");
  EXPECT_EQ(hex(bytes(zero)), "08 01 10 00");
  vireo::SqlTransaction a, b;
  ASSERT_TRUE(a.ParseFromString(bytes(none)));
  ASSERT_TRUE(b.ParseFromString(bytes(zero)));
  EXPECT_FALSE(a.has_parent_id());
  EXPECT_TRUE(b.has_parent_id());
  EXPECT_EQ(b.parent_case(), vireo::SqlTransaction::kParentId);

  vireo::SqlQuery query;
  query.set_connection_id(0);
  query.set_transaction_id(0);
  EXPECT_EQ(hex(bytes(query)), "10 00 20 00");
  EXPECT_TRUE(query.has_connection_id());
  EXPECT_FALSE(query.has_driver_type());

  jq::QueueId empty, byNumber;
  EXPECT_EQ(bytes(empty), "");
  EXPECT_EQ(empty.id_or_name_case(), jq::QueueId::ID_OR_NAME_NOT_SET);
  byNumber.set_queue_id(0);
  EXPECT_EQ(hex(bytes(byNumber)), "08 00");
  EXPECT_EQ(byNumber.id_or_name_case(), jq::QueueId::kQueueId);

  php::XavroArrayValue element;
  element.set_string_key("name");
  element.set_int_key(5);
  EXPECT_EQ(element.key_case(), php::XavroArrayValue::kIntKey);
  EXPECT_EQ(element.string_key(), "");
  EXPECT_EQ(hex(bytes(element)), "10 05");

  jq::JobId job;  // the two oneofs are independent
  job.set_queue_id(4);
  job.set_job_name("j");
  EXPECT_EQ(job.queue_id_or_name_case(), jq::JobId::kQueueId);
  EXPECT_EQ(job.job_id_or_name_case(), jq::JobId::kJobName);
  EXPECT_EQ(hex(bytes(job)), "08 04 22 01 6a");
}

TEST(MessageBytes, MapKeepsTheLastEntryOfARepeatedKey) {
  php::XVal first, second;
  first.set_value_type(php::XVal::INTEGER);
  first.set_int_value(1);
  second.set_value_type(php::XVal::STRING);
  second.set_string_value("last");
  const std::string wire = lengthField(1, varintField(1, 7) + lengthField(2, bytes(first))) +
                           lengthField(1, varintField(1, 7) + lengthField(2, bytes(second)));
  jq::AttrList list;
  ASSERT_TRUE(list.ParseFromString(wire));
  ASSERT_EQ(list.attr_list_size(), 1);
  EXPECT_EQ(list.attr_list().at(7).string_value(), "last");
}

TEST(MessageBytes, UnknownFieldsSurviveAReserialise) {
  // Fields 4 and 5 of Function are unused: a reader keeps them only as unknown fields.
  const std::string wire =
      varintField(1, 1) + varintField(4, 99) + lengthField(5, "xyz") + varintField(3, 2);
  vireo::Function function;
  ASSERT_TRUE(function.ParseFromString(wire));
  EXPECT_EQ(function.function_type(), vireo::Function::USER);
  EXPECT_EQ(function.times_called(), 2u);
  const auto& unknown = function.GetReflection()->GetUnknownFields(function);
  ASSERT_EQ(unknown.field_count(), 2);
  EXPECT_EQ(unknown.field(0).number(), 4);
  EXPECT_EQ(unknown.field(0).varint(), 99u);
  EXPECT_EQ(unknown.field(1).length_delimited(), "xyz");
  vireo::Function again;
  ASSERT_TRUE(again.ParseFromString(bytes(function)));
  EXPECT_EQ(again.GetReflection()->GetUnknownFields(again).field_count(), 2);

  vireo::Storage storage;
  storage.add_storage()->set_key("k");
  EXPECT_EQ(hex(bytes(storage)), "1a 03 0a 01 6b");
}

TEST(MessageBytes, InvalidUtf8InAStringIsRefused) {
  login::Login good, bad;
  ASSERT_TRUE(good.ParseFromString(lengthField(1, "h\xc3\xa9")));
  EXPECT_EQ(good.hostname(), "h\xc3\xa9");
  EXPECT_FALSE(bad.ParseFromString(lengthField(1, "h\xc3\x28")));
  vireo::Error error;
  EXPECT_FALSE(error.ParseFromString(lengthField(11, "\xff")));
}

TEST(MessageArena, MessagesLiveOnAnArena) {
  pb::Arena arena;
  auto* job = pb::Arena::CreateMessage<jq::Job>(&arena);
  ASSERT_EQ(job->GetArena(), &arena);
  job->set_body("payload");
  (*job->mutable_attr_list()->mutable_attr_list())[3].set_int_value(42);
  job->mutable_created()->set_seconds(1700000000);
  EXPECT_EQ(job->attr_list().GetArena(), &arena);
  jq::Job copy;
  ASSERT_TRUE(copy.ParseFromString(bytes(*job)));
  EXPECT_EQ(copy.attr_list().attr_list().at(3).int_value(), 42);
  EXPECT_EQ(copy.created().seconds(), 1700000000);
}

// The schema read back through reflection: a slip in a number, type, label or oneof fails here.
TEST(MessageSchema, FieldsMatchTheWireContract) {
  using FD = pb::FieldDescriptor;
  struct Expect {
    const pb::Descriptor* message;
    const char* field;
    int number;
    FD::Type type;
    const char* oneof;  // nullptr: not in a oneof
    bool repeated;
  };
  const Expect cases[] = {
      {php::XVal::descriptor(), "value_type", 1, FD::TYPE_ENUM, nullptr, false},
      {php::XVal::descriptor(), "tm_value", 7, FD::TYPE_MESSAGE, "value", false},
      {php::XVal::descriptor(), "json_value", 6, FD::TYPE_STRING, "value", false},
      {php::XavroArrayValue::descriptor(), "int_key", 2, FD::TYPE_INT64, "key", false},
      {php::StackTraceFrame::descriptor(), "line_no", 4, FD::TYPE_UINT32, nullptr, false},
      {php::RInitData::descriptor(), "queue_id", 7, FD::TYPE_STRING, nullptr, false},
      {php::RShutdownData::descriptor(), "queue_id", 6, FD::TYPE_STRING, nullptr, false},
      {php::RShutdownData::descriptor(), "memory_limit", 5, FD::TYPE_UINT64, nullptr, false},
      {mon::Event::descriptor(), "stack_trace", 5, FD::TYPE_MESSAGE, nullptr, true},
      {mon::Event::descriptor(), "exec_time", 6, FD::TYPE_MESSAGE, "data", false},
      {mon::Event::descriptor(), "memory_usage_bytes", 7, FD::TYPE_UINT64, "data", false},
      {mon::Event::descriptor(), "codetrace", 10, FD::TYPE_BOOL, nullptr, false},
      {mon::CustomEventData::descriptor(), "severity", 4, FD::TYPE_INT32, nullptr, false},
      {jq::JobId::descriptor(), "job_name", 4, FD::TYPE_STRING, "job_id_or_name", false},
      {jq::Job::descriptor(), "completion_time", 14, FD::TYPE_MESSAGE, nullptr, false},
      {jq::Job::descriptor(), "retry_count", 12, FD::TYPE_INT32, nullptr, false},
      {jq::Queue::descriptor(), "attr_list", 4, FD::TYPE_MESSAGE, nullptr, false},
      {vireo::Function::descriptor(), "duration_inclusive", 6, FD::TYPE_MESSAGE, nullptr, false},
      {vireo::Error::descriptor(), "severity", 4, FD::TYPE_ENUM, nullptr, false},
      {vireo::Error::descriptor(), "code", 10, FD::TYPE_STRING, nullptr, false},
      {vireo::SqlQuery::descriptor(), "driver_type", 3, FD::TYPE_INT32, "driver", false},
      {vireo::SqlQuery::descriptor(), "flags", 7, FD::TYPE_UINT64, nullptr, false},
      {vireo::SqlQuery::descriptor(), "stack_trace", 11, FD::TYPE_MESSAGE, nullptr, false},
      {vireo::StorageData::descriptor(), "data", 2, FD::TYPE_STRING, nullptr, true},
      {vireo::RawPostData::descriptor(), "content_length", 3, FD::TYPE_INT64, nullptr, false},
      {ct::Header::descriptor(), "orig_add_data_ptr", 8, FD::TYPE_UINT64, nullptr, false},
      {cfg::Value::descriptor(), "uint_value", 5, FD::TYPE_UINT64, "value", false},
      {cfg::Set::descriptor(), "namespaces", 2, FD::TYPE_MESSAGE, nullptr, true},
      {login::Config::descriptor(), "pub_uri", 1, FD::TYPE_STRING, nullptr, false},
  };
  for (const auto& c : cases) {
    const FD* f = c.message->FindFieldByName(c.field);
    ASSERT_NE(f, nullptr) << c.message->full_name() << "." << c.field;
    SCOPED_TRACE(f->full_name());
    EXPECT_EQ(f->number(), c.number);
    EXPECT_EQ(f->type(), c.type);
    EXPECT_EQ(f->is_repeated(), c.repeated);
    const pb::OneofDescriptor* oneof = f->real_containing_oneof();
    EXPECT_EQ(oneof != nullptr ? oneof->name() : "", c.oneof != nullptr ? c.oneof : "");
  }

  const pb::FieldDescriptor* map = jq::AttrList::descriptor()->FindFieldByName("attr_list");
  ASSERT_TRUE(map->is_map());
  EXPECT_EQ(map->message_type()->map_key()->type(), FD::TYPE_INT32);
  EXPECT_EQ(map->message_type()->map_value()->message_type(), php::XVal::descriptor());

  // Enum value numbers, including the spellings that differ from habit.
  EXPECT_EQ(php::XVal::Type_Name(php::XVal::NUL), "NUL");
  EXPECT_EQ(php::XVal::TIMESTAMP, 7);
  EXPECT_EQ(mon::Event::CustomEvent, 5);
  EXPECT_EQ(vireo::Error::ERROR, 3);
  EXPECT_EQ(cfg::Value::UINT, 3);
  EXPECT_EQ(ct::Header::REQUEST, 2);
}

TEST(MessageSchema, FilesPackagesAndImports) {
  struct File {
    const pb::FileDescriptor* file;
    const char* package;
    std::vector<std::string> imports;
    int messages;
  };
  const File files[] = {
      {php::XVal::descriptor()->file(),
       "xavro.protobuf.XavroPHP",
       {"google/protobuf/timestamp.proto", "google/protobuf/duration.proto"},
       11},
      {mon::Event::descriptor()->file(),
       "xavro.protobuf.Monitor",
       {"xavrophp.proto", "google/protobuf/timestamp.proto", "google/protobuf/duration.proto"},
       5},
      {jq::Job::descriptor()->file(),
       "xavro.protobuf.JQ",
       {"google/protobuf/timestamp.proto", "xavrophp.proto"},
       10},
      {vireo::SqlQuery::descriptor()->file(),
       "xavro.protobuf.Vireo",
       {"xavrophp.proto", "google/protobuf/timestamp.proto", "google/protobuf/duration.proto"},
       17},
      {ct::Header::descriptor()->file(), "xavro.protobuf.CT", {}, 1},
      {cfg::Value::descriptor()->file(), "xavro.protobuf.Config", {}, 3},
      {login::Login::descriptor()->file(), "xavro.protobuf.Login", {}, 2},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.file->name());
    EXPECT_EQ(f.file->package(), f.package);
    EXPECT_EQ(f.file->syntax(), pb::FileDescriptor::SYNTAX_PROTO3);
    EXPECT_TRUE(f.file->options().cc_enable_arenas());
    ASSERT_EQ(f.file->dependency_count(), static_cast<int>(f.imports.size()));
    for (int i = 0; i < f.file->dependency_count(); ++i)
      EXPECT_EQ(f.file->dependency(i)->name(), f.imports[static_cast<std::size_t>(i)]);
    EXPECT_EQ(f.file->message_type_count(), f.messages);
  }
  EXPECT_EQ(vireo::Function::descriptor()->index(), 0);
  EXPECT_EQ(vireo::SqlQueries::descriptor()->index(), 16);
}
