// The C++ half of the interoperability test with the Python implementation.
//   msg_interop write DIR   one file per message type and variant, filled by the shared rule
//   msg_interop check DIR   parses the Python-written files and compares them with the rule
// Rule (mirrored in interop_test.py): every field set, from its number and nesting depth;
// variant v picks member v % size of each oneof; two elements per repeated field and map.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/message_differencer.h>

#include "xmsg/xmsg.h"

namespace pb = google::protobuf;
using FD = pb::FieldDescriptor;

namespace {

constexpr int MAX_DEPTH = 6;
constexpr int VARIANTS = 6;  // the largest oneof has six members

void fill(pb::Message* m, int depth, int variant);

void setScalar(pb::Message* m, const FD* f, int depth, int k, bool add) {
  const pb::Reflection* r = m->GetReflection();
  const int n = f->number();
  const std::int64_t base = n * 1000 + depth * 10 + k;
  switch (f->cpp_type()) {
    case FD::CPPTYPE_INT32:
      add ? r->AddInt32(m, f, static_cast<std::int32_t>(-base))
          : r->SetInt32(m, f, static_cast<std::int32_t>(-base));
      break;
    case FD::CPPTYPE_INT64:
      add ? r->AddInt64(m, f, -base - (std::int64_t{1} << 40))
          : r->SetInt64(m, f, -base - (std::int64_t{1} << 40));
      break;
    case FD::CPPTYPE_UINT32:
      add ? r->AddUInt32(m, f, static_cast<std::uint32_t>(base))
          : r->SetUInt32(m, f, static_cast<std::uint32_t>(base));
      break;
    case FD::CPPTYPE_UINT64: {
      const std::uint64_t v = static_cast<std::uint64_t>(base) + (std::uint64_t{1} << 50);
      add ? r->AddUInt64(m, f, v) : r->SetUInt64(m, f, v);
      break;
    }
    case FD::CPPTYPE_DOUBLE:
      add ? r->AddDouble(m, f, static_cast<double>(base) + 0.25)
          : r->SetDouble(m, f, static_cast<double>(base) + 0.25);
      break;
    case FD::CPPTYPE_FLOAT:
      add ? r->AddFloat(m, f, static_cast<float>(base) + 0.5f)
          : r->SetFloat(m, f, static_cast<float>(base) + 0.5f);
      break;
    case FD::CPPTYPE_BOOL: add ? r->AddBool(m, f, true) : r->SetBool(m, f, true); break;
    case FD::CPPTYPE_ENUM: {
      const pb::EnumDescriptor* e = f->enum_type();
      const int v = e->value(e->value_count() - 1 - (k % e->value_count()))->number();
      add ? r->AddEnumValue(m, f, v) : r->SetEnumValue(m, f, v);
      break;
    }
    case FD::CPPTYPE_STRING: {
      const std::string v = f->name() + "-" + std::to_string(base) + "-\xc3\xa9";
      add ? r->AddString(m, f, v) : r->SetString(m, f, v);
      break;
    }
    case FD::CPPTYPE_MESSAGE: break;
  }
}

void fillField(pb::Message* m, const FD* f, int depth, int variant) {
  const pb::Reflection* r = m->GetReflection();
  if (f->is_map()) {
    // Keys from the field number; values by the rule one level down.
    for (int k = 0; k < 2; ++k) {
      pb::Message* entry = r->AddMessage(m, f);
      const FD* key = entry->GetDescriptor()->map_key();
      entry->GetReflection()->SetInt32(entry, key, f->number() * 100 + k);
      fill(entry->GetReflection()->MutableMessage(entry, entry->GetDescriptor()->map_value()),
           depth + 1, variant + k);
    }
    return;
  }
  if (f->is_repeated()) {
    for (int k = 0; k < 2; ++k) {
      if (f->cpp_type() == FD::CPPTYPE_MESSAGE)
        fill(r->AddMessage(m, f), depth + 1, variant + k);
      else
        setScalar(m, f, depth, k, true);
    }
    return;
  }
  if (f->cpp_type() == FD::CPPTYPE_MESSAGE)
    fill(r->MutableMessage(m, f), depth + 1, variant);
  else
    setScalar(m, f, depth, 0, false);
}

void fill(pb::Message* m, int depth, int variant) {
  if (depth > MAX_DEPTH) return;
  const pb::Descriptor* d = m->GetDescriptor();
  for (int i = 0; i < d->field_count(); ++i) {
    const FD* f = d->field(i);
    if (const pb::OneofDescriptor* o = f->real_containing_oneof()) {
      if (o->field(variant % o->field_count()) != f) continue;
    }
    if (d->full_name() == "google.protobuf.Timestamp" ||
        d->full_name() == "google.protobuf.Duration") {
      // Keep well-known types valid: nanos within a second, seconds positive.
      if (f->name() == "seconds") m->GetReflection()->SetInt64(m, f, 1700000000 + depth);
      if (f->name() == "nanos") m->GetReflection()->SetInt32(m, f, 1000 * depth + variant);
      continue;
    }
    fillField(m, f, depth, variant);
  }
}

std::vector<const pb::Descriptor*> allMessages() {
  const pb::FileDescriptor* files[] = {
      xavro::protobuf::XavroPHP::XVal::descriptor()->file(),
      xavro::protobuf::Monitor::Event::descriptor()->file(),
      xavro::protobuf::JQ::Job::descriptor()->file(),
      xavro::protobuf::Vireo::SqlQuery::descriptor()->file(),
      xavro::protobuf::CT::Header::descriptor()->file(),
      xavro::protobuf::Config::Value::descriptor()->file(),
      xavro::protobuf::Login::Login::descriptor()->file(),
  };
  std::vector<const pb::Descriptor*> out;
  for (const auto* file : files)
    for (int i = 0; i < file->message_type_count(); ++i) out.push_back(file->message_type(i));
  return out;
}

std::unique_ptr<pb::Message> expected(const pb::Descriptor* d, int variant) {
  std::unique_ptr<pb::Message> m(pb::MessageFactory::generated_factory()->GetPrototype(d)->New());
  fill(m.get(), 0, variant);
  return m;
}

std::string fileName(const pb::Descriptor* d, int variant) {
  return d->full_name() + "." + std::to_string(variant) + ".bin";
}

int writeAll(const std::filesystem::path& dir) {
  int count = 0;
  for (const auto* d : allMessages()) {
    for (int v = 0; v < VARIANTS; ++v) {
      std::ofstream out(dir / fileName(d, v), std::ios::binary);
      if (!expected(d, v)->SerializeToOstream(&out)) return 1;
      ++count;
    }
  }
  std::cout << "wrote " << count << " messages\n";
  return 0;
}

int checkAll(const std::filesystem::path& dir) {
  int checked = 0, failed = 0;
  for (const auto* d : allMessages()) {
    for (int v = 0; v < VARIANTS; ++v) {
      std::ifstream in(dir / fileName(d, v), std::ios::binary);
      if (!in) {
        std::cerr << "missing " << fileName(d, v) << "\n";
        ++failed;
        continue;
      }
      std::unique_ptr<pb::Message> got(
          pb::MessageFactory::generated_factory()->GetPrototype(d)->New());
      std::string diff;
      pb::util::MessageDifferencer differ;
      differ.ReportDifferencesToString(&diff);
      if (!got->ParseFromIstream(&in) || !differ.Compare(*expected(d, v), *got)) {
        std::cerr << fileName(d, v) << " differs:\n" << diff;
        ++failed;
      }
      ++checked;
    }
  }
  std::cout << "checked " << checked << " messages from Python, " << failed << " failed\n";
  return failed == 0 && checked > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: msg_interop write|check DIR\n";
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "write") return writeAll(argv[2]);
  if (mode == "check") return checkAll(argv[2]);
  return 2;
}
