#pragma once

/// @file
/// XUtils::DirectoryScanner, which collects the regular files in a directory tree whose names
/// match a shell wildcard; problems met on the way go to a handler of the caller's, never to
/// the log.

#include <functional>
#include <list>
#include <string>

#include "xcommon/xcommon_export.h"

namespace XUtils {

/// Finds the regular files below one directory whose names match a shell wildcard.
///
/// One thread at a time per scanner; the handler is called on that thread, mid-walk.
/// File-system errors never throw. Symbolic links are followed, except into a directory already
/// on the current path of the walk (a cycle), which is reported as an ELOOP open failure. The
/// walk keeps its place on the heap and holds one directory open at a time, so neither the
/// depth of a tree nor the caller's stack or descriptor limit bounds it.
class XCOMMON_EXPORT DirectoryScanner {
 public:
  /// Scans below `directory` and hands each error message to `errorHandler`. An empty
  /// `directory` stands for the root. An empty handler drops every error message.
  DirectoryScanner(std::string directory, std::function<void(const std::string&)> errorHandler);
  /// Drops the file list and the handler.
  ~DirectoryScanner();

  /// Replaces the file list with the matches below the directory (its subdirectories too when
  /// `recursive`); true when anything matched. False also when the directory cannot be opened:
  /// only the handler tells the two apart.
  bool scan(const std::string& pattern, bool recursive);

  /// Appends the matches of `dir` ("/" when empty) to the file list, in listing order and depth
  /// first: a subdirectory's matches come before those of the entries listed after it.
  /// `pattern` is matched by fnmatch without flags against the entry name alone, so "*" takes
  /// hidden files too. A directory that cannot be opened contributes nothing but one
  /// "Failed to open DIR/ : reason" message. Each directory is read whole and closed before
  /// its entries are visited.
  void scanDir(const std::string& dir, const std::string& pattern, bool recursive);

  /// Hands "what path : description of err" to the handler, if there is one.
  void reportError(const std::string& what, const std::string& path, int err) const;

  /// Full paths found by the last scan, in the order they were found.
  const std::list<std::string>& files() const { return m_files; }

 private:
  std::string m_directory;
  std::function<void(const std::string&)> m_errorHandler;
  std::list<std::string> m_files;
};

}  // namespace XUtils
