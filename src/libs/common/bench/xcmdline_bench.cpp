// The splitter beside a byte loop that copies the same text, and the option walk beside
// getopt_long over the same words and an equivalent table.
#include "xcommon/xcmdline.h"

#include <getopt.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "xcommon/xutils/command_line.h"

namespace {

// 200 bytes: plain words, quoted parts, escapes and runs of spaces.
std::string line200() {
  std::string line =
      "/usr/local/bin/worker --config '/etc/app/my config.ini' -v -o \"out dir/log \\\"x\\\"\" "
      "--name=job\\ one  'it'\\''s' --level 3 a\\b \"$HOME/data\" -- plain words here ";
  while (line.size() < 200) line += 'x';
  line.resize(200);
  return line;
}

void BM_CopyLoop(benchmark::State& state) {
  const std::string line = line200();
  for (auto _ : state) {
    std::string out;
    for (char c : line) out.push_back(c);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_CopyLoop);

void BM_CmdLineSplit(benchmark::State& state) {
  const std::string line = line200();
  for (auto _ : state) {
    XUtils::CmdLine cl(line);
    benchmark::DoNotOptimize(cl);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_CmdLineSplit);

const XCmdLine::Option OPTIONS[] = {
    {'a', "all", XCmdLine::NONE},        {'b', "brief", XCmdLine::NONE},
    {'c', "config", XCmdLine::REQUIRED}, {'d', "debug", XCmdLine::NONE},
    {'l', "level", XCmdLine::REQUIRED},  {'n', "name", XCmdLine::REQUIRED},
    {'o', "output", XCmdLine::REQUIRED}, {'q', "quiet", XCmdLine::NONE},
    {'v', "verbose", XCmdLine::NONE},    {'x', "exclude", XCmdLine::REQUIRED},
    {0, nullptr, XCmdLine::END},
};

// The same table; a leading '-' returns plain arguments in place (id 1), as the walk does, and
// ':' keeps getopt quiet.
const char* SHORT_OPTS = "-:abc:dl:n:o:qvx:";
const option LONG_OPTS[] = {
    {"all", no_argument, nullptr, 'a'},
    {"brief", no_argument, nullptr, 'b'},
    {"config", required_argument, nullptr, 'c'},
    {"debug", no_argument, nullptr, 'd'},
    {"level", required_argument, nullptr, 'l'},
    {"name", required_argument, nullptr, 'n'},
    {"output", required_argument, nullptr, 'o'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"exclude", required_argument, nullptr, 'x'},
    {nullptr, 0, nullptr, 0},
};

// 20 words after the program name: short, grouped, long, '=' and separate arguments, plain words.
std::vector<std::string> words20() {
  return {"prog", "-v",          "--config", "/etc/app.ini", "-qa",      "file1",   "--level=3",
          "-o",   "out.log",     "--brief",  "input.txt",    "-x=tmp",   "--debug", "--name",
          "job",  "--exclude=c", "-d",       "second.txt",   "--output", "o2",      "last"};
}

struct Argv {
  Argv() : store(words20()) {
    for (auto& w : store) ptrs.push_back(w.data());
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(store.size()); }
  std::vector<std::string> store;
  std::vector<char*> ptrs;
};

void BM_GetoptLong(benchmark::State& state) {
  Argv a;
  opterr = 0;
  for (auto _ : state) {
    optind = 0;  // full re-initialisation for every walk
    int sum = 0, items = 0;
    for (int c; (c = getopt_long(a.argc(), a.ptrs.data(), SHORT_OPTS, LONG_OPTS, nullptr)) != -1;
         ++items)
      sum += c + (optarg != nullptr ? optarg[0] : 0);
    benchmark::DoNotOptimize(sum);
    state.counters["items"] = items;
  }
}
BENCHMARK(BM_GetoptLong);

void BM_CmdLineWalk(benchmark::State& state) {
  Argv a;
  const XCmdLine cl(OPTIONS, a.argc(), a.ptrs.data());
  for (auto _ : state) {
    int sum = 0, items = 0;
    for (const auto& item : cl) {
      sum += item.id() + (item.argument() != nullptr ? item.argument()[0] : 0);
      ++items;
    }
    benchmark::DoNotOptimize(sum);
    state.counters["items"] = items;
  }
}
BENCHMARK(BM_CmdLineWalk);

}  // namespace
