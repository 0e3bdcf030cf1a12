// A scan that runs out of memory at any point closes every directory it opened.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "alloc_hook.h"
#include "xcommon/xutils/directory_scanner.h"

namespace {

long openDescriptors() {
  long n = 0;
  for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

}  // namespace

TEST(ScannerAllocation, FailedAllocationsCloseEveryDirectory) {
  const auto root =
      std::filesystem::temp_directory_path() / ("scan-alloc." + std::to_string(::getpid()));
  for (const char* dir : {"a", "a/b", "c"}) {
    std::filesystem::create_directories(root / dir);
    for (int i = 0; i < 4; ++i) std::ofstream(root / dir / ("f" + std::to_string(i) + ".log"));
  }
  const long before = openDescriptors();
  int thrown = 0;
  for (long n = 1; n <= 120; ++n) {
    AllocHook::failAt(n);
    try {
      XUtils::DirectoryScanner scanner(root.string(), {});
      scanner.scan("*.log", true);
    } catch (const std::bad_alloc&) {
      ++thrown;
    }
    AllocHook::failAt(0);
  }
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_GT(thrown, 10);
  std::filesystem::remove_all(root);
}
