#include "xcommon/xaccesstoken.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "xcommon/xlogger.h"
#include "xcommon/xutils/encoding.h"

namespace {

const std::string URL_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Collects the WARNING lines of the logger in memory.
class AccessTokens : public ::testing::Test {
 protected:
  std::string logged() { return m_log.take(); }
  TestSupport::LogCapture m_log{XLogger::WARNING};
};

XAccessToken parse(const std::string& text) { return XAccessToken(text.c_str(), text.size()); }

}  // namespace

TEST_F(AccessTokens, GeneratedTokenParsesBack) {
  const std::time_t before = std::time(nullptr);
  const XAccessToken token(60, 0x5A);
  EXPECT_FALSE(token.is_valid());  // only the parsing constructor decides validity
  ASSERT_EQ(token.text().size(), 27u);
  EXPECT_EQ(token.text().find_first_not_of(URL_ALPHABET), std::string::npos);
  EXPECT_GE(token.expiry(), before + 60);
  EXPECT_LE(token.expiry(), std::time(nullptr) + 60);
  EXPECT_EQ(token.flag(), 0x5A);
  for (int i = 8; i < 18; ++i) EXPECT_NE(token.record()[i], 255);

  const XAccessToken parsed = parse(token.text());
  EXPECT_TRUE(parsed.is_valid());
  EXPECT_EQ(parsed.expiry(), token.expiry());
  EXPECT_EQ(parsed.flag(), 0x5A);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(parsed.record()), 20),
            std::string(reinterpret_cast<const char*>(token.record()), 20));
  EXPECT_EQ(parsed.text(), token.text());
  EXPECT_EQ(logged(), "");

  EXPECT_EQ(XAccessToken::generate(10, true).flag(), 0);
  EXPECT_EQ(XAccessToken::generate(10, false).flag(), 1);
  EXPECT_EQ(XAccessToken::init(), 1);
  const XAccessToken empty;
  EXPECT_FALSE(empty.is_valid());
  EXPECT_EQ(empty.text(), "");
  EXPECT_EQ(empty.expiry(), 0);
}

// A text made outside the library: expiry 2000000000, random bytes 1..10, flag 0x5A and the
// checksum 0x10, in unpadded base64url.
TEST_F(AccessTokens, KnownTextDecodesFieldByField) {
  const XAccessToken token = parse("AJQ1dwAAAAABAgMEBQYHCAkKWhA");
  EXPECT_TRUE(token.is_valid());
  EXPECT_EQ(token.expiry(), 2000000000);
  EXPECT_EQ(token.flag(), 0x5A);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(token.record()[8 + i], i + 1) << i;
  EXPECT_EQ(token.record()[19], 0x10);
  EXPECT_EQ(logged(), "");
}

// The random bytes come from the kernel: the seed of rand() neither repeats them nor moves.
TEST_F(AccessTokens, RandomBytesDoNotDependOnRand) {
  std::srand(77);
  const int first = std::rand();
  std::srand(77);
  const XAccessToken a(60, 0);
  EXPECT_EQ(std::rand(), first);  // no draw taken
  std::srand(77);
  const XAccessToken b(60, 0);
  EXPECT_NE(a.text(), b.text());
}

// Every byte value but 255 turns up among the random bytes of the decoded records, and 255
// never: the text keeps its form, and the draw is not narrowed further.
TEST_F(AccessTokens, RandomBytesCoverZeroTo254) {
  std::size_t seen[256] = {};
  for (int i = 0; i < 100000; ++i) {
    const XAccessToken token(60, 0);
    unsigned char record[XAccessToken::RECORD_SIZE];
    ASSERT_EQ(XUtils::base64urlDecode(token.text().c_str(), record, sizeof record),
              static_cast<int>(sizeof record));
    for (int b = 8; b < 18; ++b) ++seen[record[b]];
  }
  EXPECT_EQ(seen[255], 0u);
  for (int v = 0; v < 255; ++v) EXPECT_GT(seen[v], 0u) << v;
}

// Workers forked after init() share rand()'s state and the clock; their tokens must differ.
TEST_F(AccessTokens, ForkedWorkersMintDistinctTokens) {
  XAccessToken::init();
  constexpr int WORKERS = 16, TOKENS = 500;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<pid_t> children;
  for (int w = 0; w < WORKERS; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      for (int i = 0; i < TOKENS; ++i) {
        const std::string line = XAccessToken(600, 0).text() + "\n";  // one atomic pipe write
        if (write(fds[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  close(fds[1]);
  std::string all;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    all.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> texts;
  std::size_t invalid = 0, start = 0;
  for (std::size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string text = all.substr(start, nl - start);
    if (text.size() != 27 || !parse(text).is_valid()) ++invalid;
    texts.insert(text);
  }
  EXPECT_EQ(start, all.size());
  EXPECT_EQ(texts.size(), static_cast<std::size_t>(WORKERS * TOKENS));
  EXPECT_EQ(invalid, 0u);
}

TEST_F(AccessTokens, EveryChangedCharacterIsCaught) {
  const XAccessToken token(600, 1);
  const std::string text = token.text();
  for (std::size_t i = 0; i < 26; ++i) {
    for (char c : URL_ALPHABET) {
      if (c == text[i]) continue;
      std::string changed = text;
      changed[i] = c;
      ASSERT_FALSE(parse(changed).is_valid()) << i << " " << c;
    }
  }
  std::string changed = text;
  changed[3] = text[3] == 'A' ? 'B' : 'A';
  logged();
  parse(changed);
  EXPECT_NE(
      logged().find("WARNING] Checksum error in access token " + changed + " (xaccesstoken.cpp:"),
      std::string::npos);
}

TEST_F(AccessTokens, MalformedAndExpiredTokensWarn) {
  const XAccessToken token(600, 1);
  struct Case {
    std::string text, warning;
  };
  const Case cases[] = {
      {token.text().substr(0, 26), "Invalid access token "},
      {"", "Invalid access token "},
      {token.text() + "AA", "Invalid access token "},
      {token.text().substr(0, 10) + "+" + token.text().substr(11), "Invalid access token "},
      {XAccessToken(-1, 0).text(), "Expired access token "},
  };
  for (const auto& c : cases) {
    logged();
    EXPECT_FALSE(parse(c.text).is_valid()) << c.text;
    const std::string line = logged();
    EXPECT_NE(line.find("WARNING] " + c.warning + c.text + " (xaccesstoken.cpp:"),
              std::string::npos)
        << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "exactly one line: " << line;
  }
  // Expiry equal to now is still valid (unless the second turns in between, which the loop rides
  // out).
  bool sawValid = false;
  for (int i = 0; i < 3 && !sawValid; ++i) {
    const std::time_t t = std::time(nullptr);
    const XAccessToken now(0, 0);
    const XAccessToken parsed = parse(now.text());
    sawValid = parsed.is_valid() || std::time(nullptr) != t;
    if (std::time(nullptr) == t) {
      EXPECT_TRUE(parsed.is_valid());
    }
  }
  EXPECT_TRUE(sawValid);

  // A rejected token keeps what it decoded.
  const XAccessToken expired = parse(XAccessToken(-100, 7).text());
  EXPECT_FALSE(expired.is_valid());
  EXPECT_EQ(expired.flag(), 7);
  EXPECT_LT(expired.expiry(), std::time(nullptr));
}

TEST_F(AccessTokens, RejectedTextCanNeitherForgeNorFloodALine) {
  logged();
  const std::string forged = "x\n[2024-01-01 00:00:00.000 p1/t1 SYSTEM] forged\r\x7f";
  EXPECT_FALSE(parse(forged).is_valid());
  EXPECT_NE(logged().find("Invalid access token x\\x0a[2024-01-01 00:00:00.000 p1/t1 SYSTEM] "
                          "forged\\x0d\\x7f (xaccesstoken.cpp:"),
            std::string::npos);

  EXPECT_FALSE(parse(std::string(1000000, 'A')).is_valid());
  const std::string line = logged();
  EXPECT_NE(line.find("Invalid access token " + std::string(64, 'A') + "... (xaccesstoken.cpp:"),
            std::string::npos)
      << line.substr(0, 200);
  EXPECT_LT(line.size(), 200u);
}

TEST_F(AccessTokens, NothingIsLoggedBelowWarning) {
  XLogger::instance()->setMaxVerbosity(XLogger::ERROR);
  EXPECT_FALSE(parse("garbage").is_valid());
  EXPECT_EQ(logged(), "");
}

TEST_F(AccessTokens, LengthBeyondTheTextIsSafe) {
  const XAccessToken token(60, 0);
  const XAccessToken parsed(token.text().c_str(), 1000);  // never reads past the NUL
  EXPECT_TRUE(parsed.is_valid());
  EXPECT_EQ(parsed.text(), token.text());
}

// A second implementation of the format: Python's base64 and its own checksum and expiry.
TEST_F(AccessTokens, PythonReadsTheRecord) {
  const XAccessToken token(3600, 0x42);
  const std::string script =
      "import base64,sys\n"
      "t=sys.argv[1]\n"
      "b=base64.urlsafe_b64decode(t+'='*(-len(t)%4))\n"
      "x=0x97\n"
      "for c in b[:19]: x^=c\n"
      "print(len(b), int(x==b[19]), int.from_bytes(b[:8],'little',signed=True), b[18])\n";
  const std::string command = "/usr/bin/python3 -c \"" + script + "\" " + token.text();
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[128] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = pclose(pipe);
  if (!read || status != 0) GTEST_SKIP() << "/usr/bin/python3 is not available";
  EXPECT_EQ(std::string(line), fmt::format("20 1 {} 66\n", token.expiry()));
}
