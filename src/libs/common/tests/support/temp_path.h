#pragma once

// Test support: a path in the temporary folder that no other process or test uses.

#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace TestSupport {

// "<tmp>/<name>.<pid>.<current test's name>".
inline std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          (name + "." + std::to_string(getpid()) + "." +
           ::testing::UnitTest::GetInstance()->current_test_info()->name()))
      .string();
}

}  // namespace TestSupport
