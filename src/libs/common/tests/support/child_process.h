#pragma once

// Test support for tests that share segments with children they fork.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace TestSupport {

// A segment name no other test or process uses: "/<prefix>-<pid>-<n>".
inline std::string uniqueSegmentName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return "/" + prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// The child's exit code; -1 when it did not exit normally.
inline int waitExitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace TestSupport
