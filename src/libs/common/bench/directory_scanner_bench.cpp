#include "xcommon/xutils/directory_scanner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

extern char** environ;

namespace {

// 100,000 empty files in 2,000 directories (50 top-level, 39 below each), 40% of them *.log,
// built on first use and removed at exit. The expected match set is known from the building.
class LogTree {
 public:
  static constexpr int TOP_DIRS = 50, SUB_DIRS = 39, FILES_PER_DIR = 50;

  static const LogTree& get() {
    static const LogTree tree;
    return tree;
  }

  const std::string& root() const { return m_root; }
  const std::set<std::string>& logs() const { return m_logs; }

  ~LogTree() { std::filesystem::remove_all(m_root); }

 private:
  LogTree() {
    char base[] = "/tmp/xscan-bench-XXXXXX";
    if (mkdtemp(base) == nullptr) std::abort();
    m_root = base;
    for (int top = 0; top < TOP_DIRS; ++top) {
      const std::string topDir = m_root + "/d" + std::to_string(top);
      fill(topDir);
      for (int sub = 0; sub < SUB_DIRS; ++sub) fill(topDir + "/s" + std::to_string(sub));
    }
  }

  void fill(const std::string& dir) {
    std::filesystem::create_directory(dir);
    // Near misses too, so that the pattern does real work.
    static const char* const SUFFIXES[] = {".log", ".txt", ".log.gz", ".log", ".dat"};
    for (int i = 0; i < FILES_PER_DIR; ++i) {
      const char* suffix = SUFFIXES[i % 5];
      const std::string path = dir + "/f" + std::to_string(i) + suffix;
      const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
      if (fd < 0) std::abort();
      close(fd);
      if (std::string(suffix) == ".log") m_logs.insert(path);
    }
  }

  std::string m_root;
  std::set<std::string> m_logs;
};

// GNU find's output, one path a line, read through a pipe; no shell in between.
std::vector<std::string> runFind(const std::string& root) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
  std::string dir = root, name = "-name", glob = "*.log", type = "-type", f = "f";
  std::string program = "find";
  char* argv[] = {program.data(), dir.data(), name.data(), glob.data(),
                  type.data(),    f.data(),   nullptr};
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "find", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  std::vector<std::string> lines;
  FILE* const out = fdopen(pipeFds[0], "r");
  char* line = nullptr;
  std::size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, out)) > 0)
    lines.emplace_back(line, static_cast<std::size_t>(length - (line[length - 1] == '\n')));
  std::free(line);
  std::fclose(out);
  if (rc == 0) waitpid(pid, nullptr, 0);
  return lines;
}

template <typename Paths>
void checkResult(benchmark::State& state, const Paths& found) {
  const std::set<std::string> unique(found.begin(), found.end());
  if (unique != LogTree::get().logs() || unique.size() != found.size())
    state.SkipWithError("result differs from the files of the tree");
  state.counters["matches"] = static_cast<double>(found.size());
}

void BM_DirectoryScannerRecursiveLog(benchmark::State& state) {
  const LogTree& tree = LogTree::get();
  XUtils::DirectoryScanner scanner(tree.root(), nullptr);
  for (auto _ : state) benchmark::DoNotOptimize(scanner.scan("*.log", true));
  checkResult(state, scanner.files());
}
BENCHMARK(BM_DirectoryScannerRecursiveLog)->Unit(benchmark::kMillisecond)->UseRealTime();

// The baseline: the same walk by find(1), whose time is spent in a child, hence wall time.
void BM_FindRecursiveLog(benchmark::State& state) {
  const LogTree& tree = LogTree::get();
  std::vector<std::string> found;
  for (auto _ : state) {
    found = runFind(tree.root());
    benchmark::DoNotOptimize(found.data());
  }
  checkResult(state, found);
}
BENCHMARK(BM_FindRecursiveLog)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
