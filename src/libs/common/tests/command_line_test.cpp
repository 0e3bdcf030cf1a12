#include "xcommon/xutils/command_line.h"

#include <list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Pieces = std::vector<std::string>;

Pieces pieces(const XUtils::CmdLine& cl) {
  Pieces out{cl.program()};
  out.insert(out.end(), cl.args().begin(), cl.args().end());
  return out;
}

TEST(CommandLineSplit, TextsGivePieces) {
  const std::string EMPTY = "empty command line", OPEN = "unexpected end of the command line";
  struct Case {
    std::string text;
    Pieces expected;  // program first; what stays after an error
    std::string error;
  };
  const Case cases[] = {
      {"  prog   a    b  ", {"prog", "a", "b"}, ""},
      {"prog a\tb", {"prog", "a\tb"}, ""},
      {"\t\n prog a \r\n\v\f", {"prog", "a"}, ""},
      {"prog '' \"\"", {"prog", "", ""}, ""},
      {"prog 'a\\b\"c'", {"prog", "a\\b\"c"}, ""},
      {"prog \"it's \\\"x\\\" \\\\ \\n\"", {"prog", "it's \"x\" \\ \\n"}, ""},
      {"prog a\"b c\"d e", {"prog", "ab cd", "e"}, ""},
      {"prog a\\ b \\n \\' \\\"", {"prog", "a b", "\\n", "'", "\""}, ""},
      {"prog a\\", {"prog", "a\\"}, ""},
      {"\\ lead", {" lead"}, ""},
      {"p 'it'\\''s'", {"p", "it's"}, ""},
      {"p a 'b c", {"p", "a"}, OPEN},
      {"p a \"b c", {"p", "a"}, OPEN},
      {"p \"b\\\"", {"p"}, OPEN},
      {"p '", {"p"}, OPEN},
      {"\"", {""}, OPEN},
      {"", {""}, EMPTY},
      {" \t\n ", {""}, EMPTY},
  };
  for (const Case& c : cases) {
    const XUtils::CmdLine cl(c.text);
    EXPECT_EQ(cl.is_valid(), c.error.empty()) << c.text;
    EXPECT_EQ(cl.error(), c.error) << c.text;
    EXPECT_EQ(pieces(cl), c.expected) << c.text;
  }
}

TEST(CommandLineSplit, UnquotingKeepsWhatPrecedesAnOpenQuote) {
  const XUtils::CmdLine cl("x");
  EXPECT_EQ(cl.to_string("a'bc"), "abc");
  EXPECT_EQ(cl.to_string("a\"b\\\"c"), "ab\"c");
  EXPECT_EQ(cl.to_string("\"a\\"), "a\\");
}

// A failing piece leaves the view at its start and the output untouched, so a caller can report
// where the line went wrong.
TEST(CommandLineSplit, FailedPieceLeavesTextAtItsStart) {
  XUtils::CmdLine cl("x");
  std::string out = "kept";
  std::string_view text = "  \"open ";
  EXPECT_FALSE(cl.get_piece(out, text));
  EXPECT_EQ(text, "\"open");
  EXPECT_EQ(out, "kept");
  EXPECT_FALSE(cl.is_valid());
  std::string_view blank = " \t ";
  EXPECT_FALSE(cl.get_piece(out, blank));
  EXPECT_TRUE(blank.empty());
}

// Quoting each piece in single quotes (an embedded one as '\'') and splitting gives the list back.
TEST(CommandLineSplit, QuotedRandomListsSplitBack) {
  const std::string alphabet = std::string("ab '\"\\\t\n=-") + '\0';
  std::mt19937 rng(5);
  const auto quote = [](const std::string& piece) {
    std::string out = "'";
    for (char c : piece) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  };
  for (int round = 0; round < 3000; ++round) {
    Pieces list(1 + rng() % 6);
    std::string line(rng() % 3, '\t');
    for (auto& piece : list) {
      for (auto n = rng() % 6; n > 0; --n) piece += alphabet[rng() % alphabet.size()];
      line += quote(piece) + std::string(1 + rng() % 3, ' ');
    }
    const XUtils::CmdLine cl(line);
    ASSERT_TRUE(cl.is_valid()) << line << ": " << cl.error();
    ASSERT_EQ(pieces(cl), list) << line;
  }
}

}  // namespace
