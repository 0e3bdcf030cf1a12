// libxjson beside raw cJSON on the three corpus files (skipped when the data is absent).
#include "xjson/xjson.h"

#include <cstring>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>

#include "data_files.h"

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
