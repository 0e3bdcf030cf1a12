#include "xcommon/xutils/directory_scanner.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace XUtils {

namespace {

// An entry of a listing that may add to the result: a matching regular file, a directory to
// walk, or a link or unknown type that only the file status can tell.
struct Entry {
  std::string name;
  unsigned char type;  // as the listing gave it
};

// A directory on the current path of the walk, read whole; the walk is at entries[next].
struct Level {
  std::size_t prefix = 0;  // its path's length in the walk's path, trailing '/' included
  dev_t dev = 0;           // 0 and 0 when its identity could not be read
  ino_t ino = 0;
  std::vector<Entry> entries;
  std::size_t next = 0;
};

// An open directory, closed on every way out (an allocation failure mid-listing included).
struct CloseDir {
  void operator()(DIR* handle) const { closedir(handle); }
};
using DirHandle = std::unique_ptr<DIR, CloseDir>;

bool matches(const std::string& pattern, const char* name) {
  return fnmatch(pattern.c_str(), name, 0) == 0;
}

// The identity of an open directory, from the handle rather than the path that led to it, so
// that links and mount points are seen for what they lead to. Without the handle's, the
// path's: the guard against cycles must not lapse.
void identify(DIR* handle, const std::string& path, Level& level) {
  struct stat status;
  if (fstat(dirfd(handle), &status) == 0 || stat(path.c_str(), &status) == 0) {
    level.dev = status.st_dev;
    level.ino = status.st_ino;
  }
}

bool onPath(const Level& level, const std::vector<Level>& up) {
  if (level.dev == 0 && level.ino == 0) return false;
  for (const Level& above : up)
    if (above.dev == level.dev && above.ino == level.ino) return true;
  return false;
}

// Reads the directory at `path` (ending in '/') into `level`, keeping only the entries that
// may add to the result, and closes it. Returns 0, or the error number of an open failure;
// ELOOP, the error the endless descent would end with, for a directory already on `up`.
int readLevel(const std::string& path, const std::string& pattern, bool recursive,
              const std::vector<Level>& up, Level& level) {
  const DirHandle handle(opendir(path.c_str()));
  if (!handle) return errno;
  level.prefix = path.size();
  identify(handle.get(), path, level);
  if (onPath(level, up)) return ELOOP;
  // A read error ends the listing just like its end does.
  while (const dirent* entry = readdir(handle.get())) {
    const char* const name = entry->d_name;
    const unsigned char type = entry->d_type;
    bool keep = false;
    if (type == DT_REG) {
      keep = matches(pattern, name);  // decided from the listing alone, no stat
    } else if (type == DT_DIR) {
      keep = recursive && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
    } else if (type == DT_LNK || type == DT_UNKNOWN) {
      keep = recursive || matches(pattern, name);
    }
    if (keep) level.entries.push_back({name, type});
  }
  return 0;
}

// What an entry turns out to be: DT_REG, DT_DIR, or DT_UNKNOWN for anything else, a dangling
// link included (skipped without a report).
unsigned char resolve(const Entry& entry, const std::string& path) {
  if (entry.type == DT_REG || entry.type == DT_DIR) return entry.type;
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return DT_UNKNOWN;
  if (S_ISDIR(status.st_mode)) return DT_DIR;
  return S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
}

}  // namespace

DirectoryScanner::DirectoryScanner(std::string directory,
                                   std::function<void(const std::string&)> errorHandler)
    : m_directory(std::move(directory)), m_errorHandler(std::move(errorHandler)) {}

// Members go in reverse order of declaration: file list, handler, directory.
DirectoryScanner::~DirectoryScanner() = default;

bool DirectoryScanner::scan(const std::string& pattern, bool recursive) {
  m_files.clear();
  scanDir(m_directory, pattern, recursive);
  return !m_files.empty();
}

// Depth first, as if it called itself for each subdirectory: the levels stand for the calls.
void DirectoryScanner::scanDir(const std::string& dir, const std::string& pattern, bool recursive) {
  // Every path below is this prefix plus an entry name, so "d" and "d/" give the same paths.
  std::string path = dir.empty() ? std::string("/") : dir;
  if (path.back() != '/') path += '/';
  std::vector<Level> levels;  // the start directory first
  auto enter = [&] {
    Level level;
    const int err = readLevel(path, pattern, recursive, levels, level);
    if (err != 0) {
      reportError("Failed to open", path, err);
      return;
    }
    levels.push_back(std::move(level));
  };
  enter();
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.entries.size()) {
      levels.pop_back();
      continue;
    }
    const Entry& entry = level.entries[level.next++];
    path.resize(level.prefix);
    path += entry.name;
    const unsigned char type = resolve(entry, path);
    if (type == DT_REG && (entry.type == DT_REG || matches(pattern, entry.name.c_str()))) {
      m_files.push_back(path);
    } else if (type == DT_DIR && recursive) {
      path += '/';
      enter();  // `level` and `entry` may move: not used again
    }
  }
}

void DirectoryScanner::reportError(const std::string& what, const std::string& path,
                                   int err) const {
  if (!m_errorHandler) return;
  char buffer[256];
  // GNU strerror_r: the text it returns need not be in our buffer.
  const char* const text = strerror_r(err, buffer, sizeof buffer);
  m_errorHandler(fmt::format("{} {} : {}", what, path, text));
}

}  // namespace XUtils
