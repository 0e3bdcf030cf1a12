// libxjson beside raw cJSON on the three corpus files (skipped when the data is absent); the
// parse also beside RapidJSON with exact numbers and the allocation floor.
#include "xjson/xjson.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>

#include "data_files.h"
#include <rapidjson/document.h>

namespace {

using TestSupport::dataDir;
using TestSupport::readFile;

// The work a reader does: the length of every key and string (read in place), every number.
struct Sink {
  std::size_t chars = 0;
  double sum = 0;
};

std::size_t length(const char* text) { return text != nullptr ? std::strlen(text) : 0; }

// Raw traversal through cJSON's own accessors, testing kinds in the same order as walk().
void rawWalk(const cJSON* n, Sink& sink) {
  for (const cJSON* c = n->child; c != nullptr; c = c->next) {
    sink.chars += length(c->string);
    if (cJSON_IsString(c)) {
      sink.chars += length(cJSON_GetStringValue(c));
    } else if (cJSON_IsNumber(c)) {
      sink.sum += cJSON_GetNumberValue(c) + c->valueint;
    } else if (cJSON_IsBool(c)) {
      sink.sum += cJSON_IsTrue(c) ? 1 : 0;
    } else if (cJSON_IsObject(c) || cJSON_IsArray(c)) {
      rawWalk(c, sink);
    }
  }
}

// The floor: the same traversal reading the node's fields directly.
void fieldWalk(const cJSON* n, Sink& sink) {
  for (const cJSON* c = n->child; c != nullptr; c = c->next) {
    sink.chars += length(c->string);
    const int type = c->type & 0xFF;
    if (type == cJSON_String) {
      sink.chars += length(c->valuestring);
    } else if (type == cJSON_Number) {
      sink.sum += c->valuedouble + c->valueint;
    } else if (type == cJSON_True || type == cJSON_False) {
      sink.sum += type == cJSON_True ? 1 : 0;
    } else if (type == cJSON_Object || type == cJSON_Array) {
      fieldWalk(c, sink);
    }
  }
}

void walk(const XJson::Value& v, Sink& sink);

void walkChildren(const XJson::Value& v, Sink& sink) {
  if (v.is_object()) {
    v.to_object().for_each([&](const XJson::Value& m) { walk(m, sink); });
  } else if (v.is_array()) {
    // for_each, not at(i): cJSON finds an element by walking its list, so indexing is O(n).
    v.to_array().for_each([&](const XJson::Value& e) { walk(e, sink); });
  }
}

void walk(const XJson::Value& v, Sink& sink) {
  sink.chars += v.key().size();
  if (v.is_string()) {
    sink.chars += v.to_string_view().size();
  } else if (v.is_number()) {
    sink.sum += v.to_number() + v.to_int();
  } else if (v.is_bool()) {
    sink.sum += v.to_bool() ? 1 : 0;
  } else {
    walkChildren(v, sink);
  }
}

void BM_CjsonParse(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    cJSON* n = cJSON_Parse(text.c_str());
    benchmark::DoNotOptimize(n);
    cJSON_Delete(n);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_FromJson(benchmark::State& state, const std::string& text) {
  for (auto _ : state) benchmark::DoNotOptimize(XJson::Document::fromJson(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The parse that tells where a text fails, of a text that does not.
void BM_FromJsonWithError(benchmark::State& state, const std::string& text) {
  XJson::ParseError error;
  for (auto _ : state)
    benchmark::DoNotOptimize(XJson::Document::fromJson(std::string_view(text), &error));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The same text without its last closing bracket, which fails at the end: what the place costs.
void BM_FailAtEnd(benchmark::State& state, const std::string& text, bool place) {
  const std::string_view cut(text.data(), text.find_last_of("]}"));
  XJson::ParseError error;
  for (auto _ : state)
    benchmark::DoNotOptimize(XJson::Document::fromJson(cut, place ? &error : nullptr));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// RapidJSON's DOM with numbers parsed exactly, as ours and cJSON's are.
void BM_RapidJsonParse(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseFullPrecisionFlag>(text.c_str(), text.size());
    benchmark::DoNotOptimize(d.HasParseError());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The malloc and free calls of one fromJson and the free of its tree, in order: a size for a
// malloc into the next slot, -1 - slot for a free.
std::vector<std::int64_t> allocationTrace(const std::string& text) {
  static std::vector<std::int64_t>* trace = nullptr;
  static std::unordered_map<void*, std::int64_t>* slots = nullptr;  // of the live blocks
  static std::int64_t mallocs = 0;
  std::vector<std::int64_t> ops;
  std::unordered_map<void*, std::int64_t> live;
  trace = &ops;
  slots = &live;
  mallocs = 0;
  cJSON_Hooks hooks{[](std::size_t size) {
                      void* p = std::malloc(size);
                      (*slots)[p] = mallocs++;
                      trace->push_back(static_cast<std::int64_t>(size));
                      return p;
                    },
                    [](void* p) {
                      trace->push_back(-1 - slots->at(p));
                      slots->erase(p);
                      std::free(p);
                    }};
  cJSON_InitHooks(&hooks);
  (void)XJson::Document::fromJson(text);
  cJSON_InitHooks(nullptr);
  return ops;
}

// The allocation floor: that sequence of calls alone.
void BM_AllocationFloor(benchmark::State& state, const std::string& text) {
  const std::vector<std::int64_t> ops = allocationTrace(text);
  std::vector<void*> slots(ops.size());
  for (auto _ : state) {
    std::size_t next = 0;
    for (const std::int64_t op : ops) {
      if (op >= 0) {
        slots[next] = std::malloc(static_cast<std::size_t>(op));
        benchmark::DoNotOptimize(slots[next++]);
      } else {
        std::free(slots[static_cast<std::size_t>(-1 - op)]);
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_CjsonPrint(benchmark::State& state, const std::string& text, bool formatted) {
  cJSON* n = cJSON_Parse(text.c_str());
  for (auto _ : state) {
    char* p = formatted ? cJSON_Print(n) : cJSON_PrintUnformatted(n);
    const std::string s = p;  // the same copy into a string that toJson makes
    benchmark::DoNotOptimize(s.data());
    cJSON_free(p);
  }
  cJSON_Delete(n);
}

void BM_ToJson(benchmark::State& state, const std::string& text, bool formatted) {
  const XJson::Document d = XJson::Document::fromJson(text);
  const auto format = formatted ? XJson::JsonFormat::Formatted : XJson::JsonFormat::Compact;
  for (auto _ : state) benchmark::DoNotOptimize(d.toJson(format));
}

// Copies (and frees) a whole tree.
void BM_CjsonDuplicate(benchmark::State& state, const std::string& text) {
  cJSON* n = cJSON_Parse(text.c_str());
  for (auto _ : state) {
    cJSON* copy = cJSON_Duplicate(n, 1);
    benchmark::DoNotOptimize(copy);
    cJSON_Delete(copy);
  }
  cJSON_Delete(n);
}

void BM_Copy(benchmark::State& state, const std::string& text) {
  const XJson::Document d = XJson::Document::fromJson(text);
  for (auto _ : state) {
    const XJson::Document copy = d;
    benchmark::DoNotOptimize(copy.is_valid());
  }
}

void BM_CjsonWalk(benchmark::State& state, const std::string& text) {
  cJSON* n = cJSON_Parse(text.c_str());
  for (auto _ : state) {
    Sink sink;
    rawWalk(n, sink);
    benchmark::DoNotOptimize(sink);
  }
  cJSON_Delete(n);
}

void BM_CjsonFieldWalk(benchmark::State& state, const std::string& text) {
  cJSON* n = cJSON_Parse(text.c_str());
  for (auto _ : state) {
    Sink sink;
    fieldWalk(n, sink);
    benchmark::DoNotOptimize(sink);
  }
  cJSON_Delete(n);
}

void BM_Walk(benchmark::State& state, const std::string& text) {
  const XJson::Document d = XJson::Document::fromJson(text);
  const XJson::Object object = d.object();
  const XJson::Array array = d.array();
  for (auto _ : state) {
    Sink sink;
    if (object.is_valid())
      object.for_each([&](const XJson::Value& m) { walk(m, sink); });
    else
      array.for_each([&](const XJson::Value& e) { walk(e, sink); });
    benchmark::DoNotOptimize(sink);
  }
}

const bool registered = [] {
  for (const char* name : {"canada.json", "citm_catalog.json", "twitter.json"}) {
    const auto path = dataDir() / name;
    if (!std::filesystem::exists(path)) continue;
    static std::string texts[3];
    std::string& text = texts[name[0] == 'c' ? (name[1] == 'a' ? 0 : 1) : 2];
    text = readFile(path);
    const std::string n = name;
    benchmark::RegisterBenchmark(("CjsonParse/" + n).c_str(), BM_CjsonParse, text);
    benchmark::RegisterBenchmark(("FromJson/" + n).c_str(), BM_FromJson, text);
    benchmark::RegisterBenchmark(("FromJsonWithError/" + n).c_str(), BM_FromJsonWithError, text);
    benchmark::RegisterBenchmark(("RapidJsonParse/" + n).c_str(), BM_RapidJsonParse, text);
    benchmark::RegisterBenchmark(("AllocationFloor/" + n).c_str(), BM_AllocationFloor, text);
    benchmark::RegisterBenchmark(("FailAtEnd/" + n).c_str(), BM_FailAtEnd, text, false);
    benchmark::RegisterBenchmark(("FailAtEndWithPlace/" + n).c_str(), BM_FailAtEnd, text, true);
    benchmark::RegisterBenchmark(("CjsonPrintUnformatted/" + n).c_str(), BM_CjsonPrint, text,
                                 false);
    benchmark::RegisterBenchmark(("ToJsonCompact/" + n).c_str(), BM_ToJson, text, false);
    benchmark::RegisterBenchmark(("CjsonPrint/" + n).c_str(), BM_CjsonPrint, text, true);
    benchmark::RegisterBenchmark(("ToJsonFormatted/" + n).c_str(), BM_ToJson, text, true);
    benchmark::RegisterBenchmark(("CjsonDuplicate/" + n).c_str(), BM_CjsonDuplicate, text);
    benchmark::RegisterBenchmark(("Copy/" + n).c_str(), BM_Copy, text);
    benchmark::RegisterBenchmark(("CjsonWalk/" + n).c_str(), BM_CjsonWalk, text);
    benchmark::RegisterBenchmark(("CjsonFieldWalk/" + n).c_str(), BM_CjsonFieldWalk, text);
    benchmark::RegisterBenchmark(("Walk/" + n).c_str(), BM_Walk, text);
  }
  return true;
}();

}  // namespace
