// A FileSink constructor that fails (an allocation failure while it reports a path it cannot
// open) leaves nothing behind: every later fork() still works.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include <gtest/gtest.h>

#include "alloc_hook.h"
#include "xcommon/xlogger.h"

TEST(LoggerAllocation, FailedFileSinkConstructionLeavesForkUsable) {
  const int savedErr = dup(2);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, 2);  // the "Failed to open log file" lines
  int thrown = 0;
  for (long n = 1; n <= 30; ++n) {
    AllocHook::failAt(n);
    try {
      const XLogger::FileSink sink("/no/such/dir/app.log");
    } catch (const std::bad_alloc&) {
      ++thrown;
    }
    AllocHook::failAt(0);
    // fork()'s prepare step takes every mutex the sinks registered: a freed one hangs it.
    alarm(10);
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    alarm(0);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
  }
  dup2(savedErr, 2);
  close(savedErr);
  close(devNull);
  EXPECT_GT(thrown, 0);  // the failures did fall inside the constructor
}
