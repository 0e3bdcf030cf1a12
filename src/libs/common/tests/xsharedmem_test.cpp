#include "xcommon/xsharedmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "private_tmpfs.h"
#include "xcommon/xrwlock.h"
#include "xcommon/xutils/text.h"

using TestSupport::waitExitCode;

namespace {

std::string uniqueName() { return TestSupport::uniqueSegmentName("xsharedmem-test"); }

}  // namespace

TEST(SharedMem, NameIsGoneAfterConstruction) {
  const std::string name = uniqueName();
  XSharedMem first(name.c_str(), 64);
  ASSERT_TRUE(first.is_valid()) << first.error();
  EXPECT_EQ(first.error(), "");
  EXPECT_EQ(first.size(), 64u);
  EXPECT_NE(fcntl(first.descriptor(), F_GETFD) & FD_CLOEXEC, 0);  // not inherited across exec
  errno = 0;
  EXPECT_EQ(shm_open(name.c_str(), O_RDWR, 0), -1);
  EXPECT_EQ(errno, ENOENT);

  XSharedMem second(name.c_str(), 64);  // a new segment, not the first one again
  ASSERT_TRUE(second.is_valid()) << second.error();
  std::memset(first.address(), 'a', 64);
  std::memset(second.address(), 'b', 64);
  EXPECT_EQ(static_cast<char*>(first.address())[63], 'a');
}

TEST(SharedMem, RefusedSetupNamesTheFailedCall) {
  const std::string taken = uniqueName();
  const int raw = shm_open(taken.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_NE(raw, -1);
  const std::string fresh = uniqueName();
  struct Case {
    const char* name;
    unsigned long size;
    std::string error;
    bool opened;
  };
  const Case cases[] = {
      {"", 16, XUtils::strerror(EINVAL, "shm_open"), false},
      {"/a/b", 16, XUtils::strerror(EINVAL, "shm_open"), false},
      {nullptr, 16, XUtils::strerror(EINVAL, "shm_open"), false},
      {taken.c_str(), 16, XUtils::strerror(EEXIST, "shm_open"), false},
      {fresh.c_str(), 0, XUtils::strerror(EINVAL, "mmap"), true},
  };
  for (const Case& c : cases) {
    const XSharedMem memory(c.name, c.size);
    const std::string label = c.name != nullptr ? c.name : "(null)";
    EXPECT_FALSE(memory.is_valid()) << label;
    EXPECT_EQ(memory.error(), c.error) << label;
    EXPECT_EQ(memory.address(), nullptr) << label;
    EXPECT_EQ(memory.size(), 0u) << label;
    EXPECT_EQ(memory.descriptor() != -1, c.opened) << label;
  }
  close(raw);
  shm_unlink(taken.c_str());
}

TEST(SharedMem, ChildWritesReachParent) {
  XSharedMem memory(uniqueName().c_str(), 4096);
  ASSERT_TRUE(memory.is_valid()) << memory.error();
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    std::memcpy(static_cast<char*>(memory.address()) + 4000, "from child", 11);
    _exit(0);
  }
  ASSERT_EQ(waitExitCode(pid), 0);
  EXPECT_STREQ(static_cast<char*>(memory.address()) + 4000, "from child");
}

// tmpfs reserves nothing at ftruncate: a segment (or a lock) that does not fit is refused at
// construction, where it used to be valid and die of SIGBUS at its first write.
TEST(SharedMem, FullShmMakesInvalidSegmentsNotSigbus) {
  const int rc = TestSupport::inPrivateTmpfs("/dev/shm", "64k", [] {
    const std::string full = XUtils::strerror(ENOSPC, "posix_fallocate");
    XSharedMem big(uniqueName().c_str(), 1 << 20);
    if (big.is_valid() || big.error() != full || big.address() != nullptr) return 1;
    XSharedMem filler(uniqueName().c_str(), 64 << 10);
    if (!filler.is_valid()) return 2;
    static_cast<char*>(filler.address())[(64 << 10) - 1] = 1;
    XSharedReadWriteLock lock(uniqueName().c_str());
    if (lock.is_valid() || lock.error() != full) return 3;
    XRobustSharedReadWriteLock robust(uniqueName().c_str());
    if (robust.is_valid() || robust.error() != full) return 4;
    return 0;
  });
  if (rc == TestSupport::NO_PRIVATE_MOUNT) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(rc, 0);
}

// Owner only while the name exists, whatever the umask, and never inherited across exec.
TEST(SharedMem, SegmentIsTheOwnersOnly) {
  const mode_t old = umask(0);
  XSharedMem segment(uniqueName().c_str(), 64);
  umask(old);
  ASSERT_TRUE(segment.is_valid());
  struct stat st = {};
  ASSERT_EQ(fstat(segment.descriptor(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(fcntl(segment.descriptor(), F_GETFD) & FD_CLOEXEC, 0);
}
