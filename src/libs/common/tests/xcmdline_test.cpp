#include "xcommon/xcmdline.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const XCmdLine::Option OPTIONS[] = {
    {'v', "verbose", XCmdLine::NONE},
    {'o', "output", XCmdLine::REQUIRED},
    {'q', nullptr, static_cast<XCmdLine::Argument>(7)},  // an unknown kind acts as NONE
    {0, nullptr, XCmdLine::END},
};

// argv with a program name in front; a null entry in `words` stands for a null word.
struct Argv {
  explicit Argv(const std::vector<const char*>& words) {
    for (const char* w : words) store.push_back(w != nullptr ? w : "");
    ptrs.push_back(const_cast<char*>("prog"));
    for (std::size_t i = 0; i < words.size(); ++i)
      ptrs.push_back(words[i] != nullptr ? store[i].data() : nullptr);
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(ptrs.size()) - 1; }
  char** argv() { return ptrs.data(); }
  std::vector<std::string> store;
  std::vector<char*> ptrs;
};

// One item as a word: "v", "o=out", "arg:x", "?-x" (unrecognised, as written), "!o" (missing).
std::string describe(const XCmdLine::Iterator& it) {
  switch (it.id()) {
    case XCmdLine::ID_ARGUMENT: return std::string("arg:") + it.argument();
    case XCmdLine::ID_UNRECOGNISED: return "?" + it.text();
    case XCmdLine::ID_MISSING_ARGUMENT: return std::string("!") + it.option()->id;
    default:
      if (it.option() == nullptr || it.option()->id != it.id()) return "bad item";
      return it.argument() != nullptr ? std::string(1, it.id()) + "=" + it.argument()
                                      : std::string(1, it.id());
  }
}

std::string walk(const std::vector<const char*>& words) {
  Argv a(words);
  const XCmdLine cl(OPTIONS, a.argc(), a.argv());
  std::string out;
  int steps = 0;
  for (const auto& item : cl) {
    out += (out.empty() ? "" : " ") + describe(item);
    if (++steps > 100) return "endless";
  }
  return out;
}

TEST(CmdLineWalk, WordsGiveItems) {
  struct Case {
    std::vector<const char*> words;
    const char* items;
  };
  const Case cases[] = {
      {{"-vo", "out", "x"}, "v o=out arg:x"},
      {{"-ov", "out"}, "!o v arg:out"},
      {{"-o="}, "o="},
      {{"-o=a=b", "x"}, "o=a=b arg:x"},
      {{"-vo=-x"}, "v o=-x"},
      {{"--output="}, "o="},
      {{"--output=-x", "y"}, "o=-x arg:y"},
      {{"--output", "-v"}, "!o v"},
      {{"--output", "file", "-v"}, "o=file v"},
      {{"-o", "=x", "y"}, "!o arg:y"},  // the '=' word is consumed
      {{"--verbose=3"}, "v"},
      {{"--verb"}, "?--verb"},
      {{"--verbose-x=1"}, "?--verbose-x"},
      {{"--=x"}, "?--"},
      {{"-x"}, "?-x"},
      {{"-vxv"}, "v ?-x v"},
      {{"-q", "-qv"}, "q q v"},
      {{"-"}, "?-"},
      {{"-", "x"}, "?- arg:x"},
      {{"--", "-v", "--output", "--"}, "arg:-v arg:--output arg:--"},
      {{"-v", "--", "=x"}, "v arg:=x"},
      {{"x", "--"}, "arg:x"},
      {{"--output"}, "!o"},
      {{"-vo"}, "v !o"},
      {{}, ""},
      {{"-v", nullptr, "x"}, "v"},
      {{"-vv", nullptr, "x"}, "v v"},
      {{"-o", nullptr, "x"}, "!o"},
      {{nullptr}, ""},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const char* w : c.words) label += std::string(w != nullptr ? w : "(null)") + " ";
    EXPECT_EQ(walk(c.words), c.items) << label;
  }
}

TEST(CmdLineWalk, EmptyVectorsGiveEqualEmptyIterators) {
  char* argv[] = {const_cast<char*>("prog"), nullptr};
  for (const XCmdLine& cl :
       {XCmdLine(OPTIONS, 0, argv), XCmdLine(OPTIONS, 3, nullptr), XCmdLine(OPTIONS, 1, argv)}) {
    EXPECT_TRUE(cl.begin() == cl.end());
    EXPECT_EQ(cl.begin().id(), XCmdLine::ID_END);
  }
}

// A missing argument at the last word holds the end position with its own id, so the loop still
// sees it; the following step reaches end().
TEST(CmdLineWalk, MissingArgumentAtTheEndDiffersFromEnd) {
  Argv a({"-o"});
  const XCmdLine cl(OPTIONS, a.argc(), a.argv());
  auto it = cl.begin();
  ASSERT_NE(it, cl.end());
  EXPECT_EQ(it->id(), XCmdLine::ID_MISSING_ARGUMENT);
  EXPECT_EQ(it->text(), "-o");
  EXPECT_EQ((*it).option(), &OPTIONS[1]);
  EXPECT_EQ(++it, cl.end());
}

// Words built from option-like fragments, with nulls: every walk ends at end() in a bounded
// number of steps, and reports every word it must in order, none twice, none past a null.
TEST(CmdLineWalk, RandomWordListsTerminateAndVisitEachWordOnce) {
  const char* fragments[] = {"-", "--", "=", "v", "o", "x", "q", "output", "verbose", "a"};
  std::mt19937 rng(11);
  for (int round = 0; round < 5000; ++round) {
    std::vector<std::string> text(rng() % 8);
    std::vector<const char*> words;
    std::size_t budget = 2;
    for (auto& w : text) {
      for (auto k = rng() % 4; k > 0; --k) w += fragments[rng() % std::size(fragments)];
      words.push_back(rng() % 10 == 0 ? nullptr : w.c_str());
      budget += w.size() + 1;
    }
    Argv a(words);
    const XCmdLine cl(OPTIONS, a.argc(), a.argv());
    std::vector<int> reported;  // word indices whose start an item returned
    std::size_t steps = 0;
    auto it = cl.begin();
    for (; it != cl.end() && steps <= budget; ++it, ++steps) {
      ASSERT_NE(it->id(), XCmdLine::ID_END);
      for (std::size_t i = 0; i < words.size(); ++i)
        if (words[i] != nullptr && it->argument() == a.ptrs[i + 1])
          reported.push_back(static_cast<int>(i));
    }
    ASSERT_LE(steps, budget) << "round " << round;
    EXPECT_EQ(it.id(), XCmdLine::ID_END);
    for (std::size_t i = 1; i < reported.size(); ++i) ASSERT_LT(reported[i - 1], reported[i]);
    const std::set<int> seen(reported.begin(), reported.end());
    bool argsOnly = false;
    for (std::size_t i = 0; i < words.size() && words[i] != nullptr; ++i) {
      const bool must = argsOnly || (words[i][0] != '-' && words[i][0] != '=');
      EXPECT_TRUE(!must || seen.count(static_cast<int>(i))) << "round " << round << " word " << i;
      if (!argsOnly && std::strcmp(words[i], "--") == 0) argsOnly = true;
    }
    const auto firstNull = std::find(words.begin(), words.end(), nullptr) - words.begin();
    EXPECT_TRUE(seen.empty() || *seen.rbegin() < firstNull);
  }
}

}  // namespace

// Lookups take whole names only, and never read past a table name shorter than the length.
TEST(CmdLineWalk, LookupsMatchWholeNames) {
  const std::string shortName = "out";  // on the heap: AddressSanitizer sees a read past it
  const std::unique_ptr<char[]> name(new char[shortName.size() + 1]);
  std::memcpy(name.get(), shortName.c_str(), shortName.size() + 1);
  const XCmdLine::Option table[] = {{'o', name.get(), XCmdLine::REQUIRED},
                                    {'x', nullptr, XCmdLine::NONE},
                                    {0, nullptr, XCmdLine::END}};
  char* argv[] = {const_cast<char*>("prog"), const_cast<char*>("w"), nullptr};
  const auto it = XCmdLine(table, 2, argv).begin();
  EXPECT_EQ(it.findLongOption("out", 3), &table[0]);
  EXPECT_EQ(it.findLongOption("output", 3), &table[0]);  // the first three characters
  EXPECT_EQ(it.findLongOption("output", 6), nullptr);
  EXPECT_EQ(it.findLongOption("out", 8), nullptr);
  EXPECT_EQ(it.findLongOption("ou", 2), nullptr);
  EXPECT_EQ(it.findShortOption('x'), &table[1]);
  EXPECT_EQ(it.findShortOption('q'), nullptr);
}
