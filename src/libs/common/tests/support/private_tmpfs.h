#pragma once

// Test support: runs a check in a forked child that has a mount namespace of its own, with a
// small tmpfs mounted over a path (a full /dev/shm or a full disk, without touching the
// machine's). Needs the privilege to make the namespace; without it the check is skipped.

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace TestSupport {

// The child's exit code when the namespace or the mount cannot be made.
constexpr int NO_PRIVATE_MOUNT = 77;

// The exit code of `check()` run in the child, or 128 + the signal that killed it.
template <typename Check>
int inPrivateTmpfs(const std::string& where, const std::string& size, const Check& check) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    const std::string options = "size=" + size + ",mode=1777";
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0)
      _exit(NO_PRIVATE_MOUNT);
    _exit(check());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace TestSupport
