#pragma once

// What the commands of xtool share: exit codes, option parsing over XCmdLine, input reading
// and the UTC time form of the output.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <xcommon/xcmdline.h>

namespace xtool {

enum Exit : int { OK = 0, REFUSED = 1, USAGE = 2 };

// "xtool: TEXT" on standard error; returns REFUSED.
int refuse(std::string_view text);
// "xtool: TEXT" and a hint to --help on standard error; returns USAGE.
int usageError(std::string_view text);

// The words of one command after XCmdLine has walked them: its options by id (the last one
// wins), and its operands in order. -v and --help are every command's.
struct Args {
  std::map<char, std::string> options;
  std::vector<std::string> operands;
  bool has(char id) const { return options.count(id) != 0; }
};

// A table for a command without options of its own.
inline constexpr XCmdLine::Option NO_OPTIONS[] = {{0, nullptr, XCmdLine::END}};

// Walks argv (argv[0] is the command) against `table`, which ends with an END row; -v raises
// the logger's verbosity. Empty when the command goes on; otherwise the exit status, after
// printing `usage` for --help or the problem for a usage error.
std::optional<int> parse(const XCmdLine::Option* table, const char* usage, int argc, char** argv,
                         Args& out);

// The whole of FILE, or of standard input when `file` is empty or "-". False with `error` set
// when it cannot be read.
bool readInput(const std::string& file, std::string& out, std::string& error);

// "YYYY-MM-DDTHH:MM:SSZ" of a second since the epoch.
std::string utcText(std::int64_t seconds);
// That form, or whole seconds since the epoch.
bool parseTime(const std::string& text, std::int64_t& seconds);
// A whole number in [low, high].
bool parseInt(const std::string& text, long long low, long long high, long long& value);

// Text pieces without surrounding whitespace (a trailing line feed, say).
std::string_view trimmed(std::string_view text);

}  // namespace xtool
