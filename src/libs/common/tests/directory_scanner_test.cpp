#include "xcommon/xutils/directory_scanner.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

using Paths = std::vector<std::string>;

// Files, hidden names, links of every kind, a cycle reached by two paths, a pipe, a socket and
// a locked directory (unreadable unless we are root), built once.
class DirectoryScan : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char base[] = "/tmp/xscan-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    s_root = base;
    for (const char* dir : {"sub", "sub/deeper", ".hidden", "dir.log", "locked"})
      fs::create_directory(at(dir));
    for (const char* file : {"a.log", "b.txt", ".h.log", "sub/c.log", "sub/deeper/d.log",
                             ".hidden/e.log", "dir.log/f.txt", "locked/g.log"})
      std::ofstream(at(file)) << file;
    fs::create_symlink("a.log", at("file-link.log"));
    fs::create_symlink("sub", at("dir-link"));
    fs::create_symlink("nowhere", at("dangling.log"));
    fs::create_symlink("..", at("sub/back"));
    ASSERT_EQ(mkfifo(at("pipe.log").c_str(), 0600), 0);
    sockaddr_un address{AF_UNIX, {}};
    at("sock.log").copy(address.sun_path, sizeof address.sun_path - 1);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(sock);
    chmod(at("locked").c_str(), 0);
  }
  static void TearDownTestSuite() {
    chmod(at("locked").c_str(), 0700);
    fs::remove_all(s_root);
  }

  Paths scan(const std::string& pattern, bool recursive, const std::string& dir = s_root) {
    m_errors.clear();
    XUtils::DirectoryScanner scanner(dir, [this](const std::string& m) { m_errors.push_back(m); });
    const bool found = scanner.scan(pattern, recursive);
    EXPECT_EQ(found, !scanner.files().empty());
    return Paths(scanner.files().begin(), scanner.files().end());
  }
  static std::string at(const std::string& rel) { return s_root + "/" + rel; }
  static std::string failure(const std::string& rel, int err) {
    return "Failed to open " + at(rel) + " : " + std::strerror(err);
  }

  static inline std::string s_root;
  Paths m_errors;
};

// Oracle: std::filesystem's listing (readdir order), depth first, following links except back
// into a directory on the current path.
void walk(const std::string& dir, const char* pattern, Paths& up, Paths& files, Paths& errors) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  for (const std::string& ancestor : up)
    if (!ec && fs::equivalent(ancestor, dir))
      ec = make_error_code(std::errc::too_many_symbolic_link_levels);
  if (ec) return errors.push_back("Failed to open " + dir + "/ : " + std::strerror(ec.value()));
  up.push_back(dir);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename(), path = dir + "/" + name;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) walk(path, pattern, up, files, errors);
    if (fs::is_regular_file(status) && fnmatch(pattern, name.c_str(), 0) == 0)
      files.push_back(path);
  }
  up.pop_back();
}

// Runs in a child: scans `root` for *.log on a thread with a 256 KiB stack while the process
// may hold no descriptor above 31, and exits 0 when it found `expected` alone and no error.
[[noreturn]] void scanSmall(const std::string& root, const std::string& expected) {
  struct Job {
    std::string root, expected;
    bool ok;
  } job{root, expected, false};
  const rlimit few{32, 32};
  pthread_attr_t attr;
  pthread_t thread;
  if (setrlimit(RLIMIT_NOFILE, &few) != 0 || pthread_attr_init(&attr) != 0 ||
      pthread_attr_setstacksize(&attr, 256 * 1024) != 0)
    std::_Exit(2);
  auto body = [](void* arg) -> void* {
    Job& j = *static_cast<Job*>(arg);
    Paths errors;
    XUtils::DirectoryScanner scanner(j.root, [&](const std::string& m) { errors.push_back(m); });
    j.ok = scanner.scan("*.log", true) && errors.empty() &&
           scanner.files() == std::list<std::string>{j.expected};
    for (const std::string& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
    return nullptr;
  };
  if (pthread_create(&thread, &attr, body, &job) != 0 || pthread_join(thread, nullptr) != 0)
    std::_Exit(3);
  std::_Exit(job.ok ? 0 : 1);
}

}  // namespace

// A tree deeper than a walk could go that recursed on the machine stack or kept a descriptor
// open per level; a crash in the child fails the test, not the test program.
TEST(DirectoryScanDepth, DeepTreeOnASmallStackWithFewDescriptors) {
  constexpr int DEPTH = 1900;
  char base[] = "/tmp/xscan-deep-XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  std::string bottom = base;
  int fd = open(base, O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < DEPTH && fd >= 0; ++i, bottom += "/d") {
    const int parent = fd;
    fd = mkdirat(parent, "d", 0700) == 0 ? openat(parent, "d", O_RDONLY | O_DIRECTORY) : -1;
    close(parent);
  }
  EXPECT_GE(fd, 0);
  const std::string file = bottom + "/f.log";
  if (fd >= 0) {
    close(openat(fd, "f.log", O_CREAT | O_WRONLY, 0600));
    close(fd);
    EXPECT_EXIT(scanSmall(base, file), ::testing::ExitedWithCode(0), "");
  }
  // Bottom up, by path: a recursive removal would need a descriptor per level.
  unlink(file.c_str());
  for (; bottom.size() > std::strlen(base); bottom.resize(bottom.size() - 2)) rmdir(bottom.c_str());
  EXPECT_EQ(rmdir(base), 0);
}

TEST_F(DirectoryScan, RecursiveScanMatchesIndependentWalk) {
  for (const char* pattern : {"*", "*.log", "?.log", "[a-c]*", ".*", "", "nothing"}) {
    Paths files, errors, up;
    walk(s_root, pattern, up, files, errors);
    EXPECT_EQ(scan(pattern, true), files) << pattern;  // same paths, same order
    EXPECT_EQ(m_errors, errors) << pattern;            // reported even when nothing can match
    EXPECT_EQ(scan(pattern, true, s_root + "/"), files) << pattern;
  }
}

TEST_F(DirectoryScan, FollowsLinksSkipsOtherTypesAndCutsCycles) {
  const Paths files = scan("*.log", true);
  auto listed = [&](const char* rel) { return std::count(files.begin(), files.end(), at(rel)); };
  for (const char* rel : {"a.log", ".h.log", "file-link.log", "sub/deeper/d.log",
                          "dir-link/deeper/d.log", ".hidden/e.log"})
    EXPECT_EQ(listed(rel), 1) << rel;
  for (const char* rel : {"dangling.log", "pipe.log", "sock.log", "dir.log", "b.txt"})
    EXPECT_EQ(listed(rel), 0) << rel;
  EXPECT_EQ(listed("locked/g.log"), geteuid() == 0);

  Paths expected = {failure("sub/back/", ELOOP), failure("dir-link/back/", ELOOP)};
  if (geteuid() != 0) expected.push_back(failure("locked/", EACCES));
  std::sort(expected.begin(), expected.end());
  std::sort(m_errors.begin(), m_errors.end());
  EXPECT_EQ(m_errors, expected);
}

TEST_F(DirectoryScan, StartDirectoryAndRescans) {
  Paths top = scan("*", false);
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (Paths{at(".h.log"), at("a.log"), at("b.txt"), at("file-link.log")}));

  const Paths root = scan("*", false, "");
  EXPECT_EQ(root, scan("*", false, "/"));
  for (const std::string& path : root) EXPECT_EQ(path.rfind('/'), 0u) << path;

  EXPECT_TRUE(scan("*", true, at("missing")).empty());
  EXPECT_EQ(m_errors, Paths{failure("missing/", ENOENT)});

  XUtils::DirectoryScanner scanner(at("sub"), nullptr);  // messages dropped
  EXPECT_TRUE(scanner.scan("c.*", true));
  EXPECT_EQ(scanner.files(), std::list<std::string>{at("sub/c.log")});
  EXPECT_FALSE(scanner.scan("zzz", true));  // each scan replaces the last
  EXPECT_TRUE(scanner.files().empty());
}
