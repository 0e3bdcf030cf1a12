// The journal's priority prefix of StdOutSink and the JSON lines of JsonLinesSink.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_reader.h"
#include "scoped_env.h"
#include "temp_path.h"
#include "xcommon/xlogger.h"
#include "xcommon/xutils/encoding.h"
#include "xcommon/xutils/ids.h"

namespace {

using TestSupport::tempPath;

class LoggerSinks : public ::testing::Test {
 protected:
  void SetUp() override { XLogger::destroyInstance(); }
  void TearDown() override {
    XLogger::destroyInstance();
    std::filesystem::remove_all(m_dir);
  }
  std::string path(const std::string& name) { return m_dir + "/" + name; }

  const std::string m_dir = [] {
    std::string dir = tempPath("sinks");
    std::filesystem::create_directories(dir);
    return dir;
  }();
  TestSupport::ScopedEnv m_noColor{"NO_COLOR", nullptr};
  TestSupport::ScopedEnv m_forceColor{"FORCE_COLOR", "1"};  // the journal's streams turn it off
};

std::string identity(const std::string& file) {
  struct stat st = {};
  return ::stat(file.c_str(), &st) == 0 ? fmt::format("{}:{}", st.st_dev, st.st_ino) : "";
}

// Each level logged once, in order, through a StdOutSink over a file; JOURNAL_STREAM as given.
std::string levelsThroughStdOut(const std::string& file, const std::string& journal) {
  const TestSupport::ScopedEnv env("JOURNAL_STREAM", journal.c_str());
  FILE* const stream = std::fopen(file.c_str(), "w");
  XLogger::instance()->addSink(std::make_unique<XLogger::StdOutSink>(stream, stream, stream),
                               XLogger::DBG3);
  for (const int level : {-1, 0, 1, 2, 3, 4, 5}) {
    const auto l = static_cast<XLogger::Level>(level);
    XLogger::instance()->println(l, nullptr, 0, "m");  // the logger's finished line
  }
  XLogger::StdOutSink direct(stream, stream, stream);
  direct.print(XLogger::WARNING, "f.cpp", 3, "[H]", "styled path");
  XLogger::destroyInstance();
  std::fclose(stream);
  return TestSupport::readFile(file);
}

}  // namespace

TEST_F(LoggerSinks, JournalPriorityOnlyOnTheJournalsOwnStream) {
  const std::string log = path("journal.log"), other = path("other");
  { std::ofstream(other) << ""; }
  { std::ofstream(log) << ""; }
  const std::string journal = levelsThroughStdOut(log, identity(log));
  std::string expected;
  for (const char* p : {"<2>", "<3>", "<4>", "<6>", "<7>", "<7>", "<7>"}) expected += p;
  std::string priorities;
  for (std::size_t at = 0; (at = journal.find("\n", at)) != std::string::npos; ++at)
    if (at + 1 < journal.size() && journal[at + 1] == '<') priorities += journal.substr(at + 1, 3);
  EXPECT_EQ(journal.substr(0, 3) + priorities, expected + "<4>") << journal;
  EXPECT_EQ(journal.find('\x1b'), std::string::npos);
  EXPECT_NE(journal.find("<4>[H] styled path (f.cpp:3)\n"), std::string::npos) << journal;

  for (const std::string& elsewhere : {identity(other), std::string("junk"), std::string()}) {
    const std::string plain = levelsThroughStdOut(log, elsewhere);
    EXPECT_EQ(plain.find('<'), std::string::npos) << elsewhere << ": " << plain;
    EXPECT_NE(plain.find('\x1b'), std::string::npos) << "FORCE_COLOR styles the direct print";
  }
}

namespace {

// Python's json reads the file; each record is checked there against what was logged: the
// message as Python decodes its bytes (invalid UTF-8 replaced, one U+FFFD per maximal invalid
// sequence), the time as RFC 3339 with milliseconds and offset, and the other fields.
constexpr const char* CHECK_JSON = R"(
import datetime, json, re, sys
pid, messages = int(sys.argv[2]), [bytes.fromhex(h).decode('utf-8', 'replace') for h in sys.argv[3:]]
lines = open(sys.argv[1], 'rb').read().decode('utf-8').split('\n')
assert lines.pop() == ''
for n, line in enumerate(lines):
    r = json.loads(line)
    assert re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d', r['time']), r['time']
    assert abs(datetime.datetime.fromisoformat(r['time']).timestamp() - datetime.datetime.now().timestamp()) < 60
    assert r['pid'] == pid and r['tid'] > 0, r
    print(r['level'], r.get('file'), int(r['message'] == messages[n]) if n < len(messages) else r['message'], json.dumps(r.get('context')))
)";

std::string hex(const std::string& bytes) { return XUtils::toHexStr(bytes.data(), bytes.size()); }

// The checker's lines, or "" when /usr/bin/python3 cannot run.
std::string checkJson(const std::string& file, const std::vector<std::string>& messages) {
  const std::string script = file + ".py";
  { std::ofstream(script) << CHECK_JSON; }
  std::string command = "/usr/bin/python3 " + script + " " + file + " " + std::to_string(getpid());
  for (const auto& m : messages) command += " " + hex(m);
  FILE* const pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  return pclose(pipe) == 0 || !out.empty() ? out : "";
}

}  // namespace

TEST_F(LoggerSinks, JsonLinesParseBackWithEveryEscapeAndBadUtf8) {
  const std::string log = path("app.jsonl");
  XLogger::instance()->addSink(std::make_unique<XLogger::JsonLinesSink>(log), XLogger::DBG3);
  std::string controls;
  for (char c = 1; c < 0x20; ++c) controls += c;
  const std::vector<std::string> messages = {
      "quote \" backslash \\ slash / " + controls + " del \x7f",
      "valid \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 end",
      "bad \xff \xc0\xaf \xe2\x82 x \xed\xa0\x80 \xf4\x90\x80\x80 \xf0\x9f\x98 \xc3",
      std::string("nul \0 inside", 12),
  };
  XLOG(XLogger::INFO, "{}", messages[0]);
  {
    const XLogger::Context job("job", 4711);
    const XLogger::Context quote("q\"k", "v\n\xff");
    XLOG(XLogger::WARNING, "{}", messages[1]);
  }
  XLogger::instance()->println(XLogger::DBG2, nullptr, 0, messages[2]);
  XLogger::instance()->println(XLogger::SYSTEM, "/a/b/c.cpp", 9, messages[3]);
  const std::string out = checkJson(log, messages);
  if (out.empty()) GTEST_SKIP() << "/usr/bin/python3 is not available";
  EXPECT_EQ(out,
            "INFO xlogger_sinks_test.cpp 1 null\n"
            "WARNING xlogger_sinks_test.cpp 1 {\"job\": \"4711\", \"q\\\"k\": \"v\\n\\ufffd\"}\n"
            "DBG2 None 1 null\n"
            "SYSTEM c.cpp 1 null\n");
}

// Lines lost to a deleted folder are reported in the file as a JSON line of their own.
TEST_F(LoggerSinks, JsonLinesReportLostLinesAsJson) {
  const std::string dir = path("gone");
  std::filesystem::create_directory(dir);
  const std::string log = dir + "/app.jsonl";
  XLogger::instance()->addSink(std::make_unique<XLogger::JsonLinesSink>(log), XLogger::INFO);
  std::filesystem::remove_all(dir);
  XLogger::instance()->reopenFiles();
  for (int i = 0; i < 3; ++i) XLOG(XLogger::INFO, "lost {}", i);
  std::filesystem::create_directory(dir);
  XLogger::instance()->reopenFiles();
  XLOG(XLogger::INFO, "back");
  const std::string out = checkJson(log, {});
  if (out.empty()) GTEST_SKIP() << "/usr/bin/python3 is not available";
  EXPECT_EQ(out,
            "ERROR file_sink.cpp 3 log lines lost: No such file or directory null\n"
            "INFO xlogger_sinks_test.cpp back null\n");
}
