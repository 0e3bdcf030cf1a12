#include "xcommon/xutils/system_info.h"

#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "scoped_env.h"

TEST(OsReleaseName, PicksAndCleansTheName) {
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  const std::string kernel = std::string(names.sysname) + " " + names.release;
  char base[] = "/tmp/xosrel-XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  const TestSupport::ScopedEnv root("XCOMMON_TEST_OS_ROOT", base);
  const std::string first = std::string(base) + "/etc/os-release",
                    second = std::string(base) + "/usr/lib/os-release";
  std::filesystem::create_directories(std::string(base) + "/etc");
  std::filesystem::create_directories(std::string(base) + "/usr/lib");
  struct Case {
    const char* primary;  // null: no such file
    const char* fallback;
    std::string expected;
  };
  const Case cases[] = {
      {"NAME=\"Debian GNU/Linux\"\nVERSION=\"12 (bookworm)\"\n", nullptr,
       "Debian GNU/Linux 12 (bookworm)"},
      {"NAME=Arch\n", nullptr, "Arch"},
      {"VERSION=12\n", nullptr, kernel},
      {"NAME=n\nPRETTY_NAME=\"P 1\"\nVERSION=v\n", nullptr, "P 1"},
      {"PRETTY_NAME=first\nNAME=a\nNAME=b\nPRETTY_NAME=second", nullptr, "second"},
      {"NAME=a\nVERSION=1\nNAME=b\nVERSION=2\n", nullptr, "b 2"},
      {"PRETTY_NAME=\"\"\nNAME=n\n", nullptr, ""},
      {"PRETTY_NAME='single quoted'\n", nullptr, "single quoted"},
      {"PRETTY_NAME=\"mixed'\n", nullptr, "\"mixed'"},
      {"PRETTY_NAME=\"say \\\"hi\\\" a\\\\b\\c\"\n", nullptr, "say \"hi\" a\\bc"},
      {"PRETTY_NAME=\"ends\\\"\n", nullptr, "ends\\"},  // no escaping the closing quote
      {"PRETTY_NAME=\"\n", nullptr, "\""},
      {"PRETTY_NAME= \t \"spaced\" \r\n", nullptr, "spaced"},
      {"PRETTY_NAME=  bare=words  \n", nullptr, "bare=words"},
      {" PRETTY_NAME=x\npretty_name=y\nPRETTY_NAME =z\nNAME=n\n", nullptr, "n"},
      {"# PRETTY_NAME=comment\nID=debian\n\nno equals\n", "NAME=other\n", kernel},
      {nullptr, "NAME=fallback\n", "fallback"},  // only a missing first file defers
      {nullptr, nullptr, kernel},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(first);
    std::filesystem::remove(second);
    if (c.primary != nullptr) std::ofstream(first) << c.primary;
    if (c.fallback != nullptr) std::ofstream(second) << c.fallback;
    EXPECT_EQ(XUtils::get_pretty_os_name(), c.expected)
        << (c.primary != nullptr ? c.primary : "-") << " / " << (c.fallback ? c.fallback : "-");
  }
  std::filesystem::remove_all(base);
}
