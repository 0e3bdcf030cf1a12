#include "xcommon/xutils/text.h"

#include <cerrno>
#include <string>
#include <utility>

#include <gtest/gtest.h>

TEST(TextHelpers, TruthWords) {
  for (const char* yes :
       {"1", "on", "On", "ON", "yes", "Yes", "YES", "true", "True", "TRUE", "tRuE"})
    EXPECT_TRUE(XUtils::is_true(yes)) << yes;
  for (const char* no : {"", "2", "y", "yes ", " yes", "yess", "truely", "0", "off", "no"})
    EXPECT_FALSE(XUtils::is_true(no)) << no;
  EXPECT_TRUE(XUtils::is_true(std::string_view("yes\0more", 8)));
}

TEST(TextHelpers, TimeIntervals) {
  const std::pair<int, const char*> cases[] = {
      {1, "1 second"},     {0, "0 seconds"},      {-5, "-5 seconds"},  {59, "59 seconds"},
      {60, "1 minute"},    {61, "1.0 minutes"},   {90, "1.5 minutes"}, {3599, "60.0 minutes"},
      {3600, "1 hour"},    {86399, "24.0 hours"}, {86400, "1 day"},    {86401, "1.0 days"},
      {5400, "1.5 hours"}, {259200, "3.0 days"},
  };
  for (const auto& [seconds, text] : cases)
    EXPECT_EQ(XUtils::format_time_interval(seconds), text) << seconds;
}

TEST(TextHelpers, PathParts) {
  const char* cases[][3] = {
      {"", "", ""},         {"/", "", ""},
      {"a", "a", ""},       {"a/b", "b", "a"},
      {"a/b/", "b", "a"},   {"/a", "a", ""},
      {"/a/b", "b", "/a"},  {"a//b", "b", "a"},
      {"a/b///", "b", "a"}, {"//a//b//", "b", "//a"},
      {"../x", "x", ".."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(XUtils::basename(c[0]), c[1]) << c[0];
    EXPECT_EQ(XUtils::dirname(c[0]), c[2]) << c[0];
  }
}

TEST(TextHelpers, ErrorTexts) {
  EXPECT_EQ(XUtils::strerror(ENOENT, "shm_open"), "shm_open : No such file or directory");
  EXPECT_EQ(XUtils::strerror(ENOENT), "No such file or directory");
  EXPECT_EQ(XUtils::strerror(EACCES, ""), " : Permission denied");
  EXPECT_EQ(XUtils::strerror(123456, nullptr), "Unknown error 123456");
}
