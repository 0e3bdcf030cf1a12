#include "xcommon/xutils/directory_scanner.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

namespace XUtils {

struct DirectoryScanner::OpenDir {
  dev_t dev;
  ino_t ino;
  const OpenDir* parent;
};

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

void DirectoryScanner::scanDir(const std::string& dir, const std::string& pattern, bool recursive) {
  walk(dir, pattern, recursive, nullptr);
}

void DirectoryScanner::walk(const std::string& dir, const std::string& pattern, bool recursive,
                            const OpenDir* parent) {
  // Every path below is this prefix plus an entry name, so "d" and "d/" give the same paths.
  std::string path = dir.empty() ? std::string("/") : dir;
  if (path.back() != '/') path += '/';
  const std::size_t prefix = path.size();

  DIR* const handle = opendir(path.c_str());
  if (handle == nullptr) {
    reportError("Failed to open", path, errno);
    return;
  }

  // Identified by the open handle rather than by the entry that led here, so that links and
  // mount points are seen for what they lead to.
  OpenDir self{0, 0, parent};
  struct stat status;
  // Without the handle's identity, the path's: the guard against cycles must not lapse.
  if (fstat(dirfd(handle), &status) == 0 || stat(path.c_str(), &status) == 0) {
    self.dev = status.st_dev;
    self.ino = status.st_ino;
    for (const OpenDir* up = parent; up != nullptr; up = up->parent) {
      if (up->dev == self.dev && up->ino == self.ino) {
        // The error the endless descent would end with, without the descent.
        closedir(handle);
        reportError("Failed to open", path, ELOOP);
        return;
      }
    }
  }

  // A read error ends the listing just like its end does.
  while (const dirent* entry = readdir(handle)) {
    const char* const name = entry->d_name;
    unsigned char type = entry->d_type;
    if (type == DT_REG) {
      // The common case: decided from the listing alone, no stat and no path unless it matches.
      if (fnmatch(pattern.c_str(), name, 0) == 0) {
        path.resize(prefix);
        path += name;
        m_files.push_back(path);
      }
      continue;
    }
    if (type == DT_DIR && !recursive) continue;
    if (type != DT_DIR && type != DT_UNKNOWN && type != DT_LNK) continue;

    path.resize(prefix);
    path += name;
    if (type != DT_DIR) {
      if (stat(path.c_str(), &status) != 0) continue;  // dangling link and the like: no report
      if (S_ISDIR(status.st_mode)) {
        type = DT_DIR;
      } else if (S_ISREG(status.st_mode)) {
        if (fnmatch(pattern.c_str(), name, 0) == 0) m_files.push_back(path);
        continue;
      } else {
        continue;
      }
    }
    if (!recursive || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    walk(path, pattern, true, &self);
  }
  closedir(handle);
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
