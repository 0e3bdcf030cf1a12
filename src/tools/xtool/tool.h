#pragma once

// What the commands of xtool share: exit codes, the list of commands, option parsing over
// XCmdLine, input reading, output checking and the UTC time form of the output.

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

// At most the first 64 characters of a text the user gave, then "..."; never splits a UTF-8
// sequence. Keeps messages about a huge bad input readable.
std::string clipped(std::string_view text);
// The clipped text in single quotes.
std::string inQuotes(std::string_view text);

// The words of one command after XCmdLine has walked them: its options by id (the last one
// wins), and its operands in order. -v and --help are every command's.
struct Args {
  std::map<char, std::string> options;
  std::vector<std::string> operands;
  bool has(char id) const { return options.count(id) != 0; }
};

// A table for a command without options of its own.
inline constexpr XCmdLine::Option NO_OPTIONS[] = {{0, nullptr, XCmdLine::END}};

// What a command declares about itself; help, dispatch and completion walk these.
struct Command {
  const char* name;
  // The words after "xtool NAME"; alternative forms are separated by " | ". Fixed words are in
  // lower case, placeholders in upper case; FILE and DIR complete as file names.
  const char* synopsis;
  const char* summary;              // a few words for the list of commands
  const char* description;          // one paragraph, wrapped when printed
  const XCmdLine::Option* options;  // its own options, ending with an END row
  int (*run)(Args& args);           // after parsing; returns the exit status
  // Completion words for any other placeholder; may be null.
  std::vector<std::string> (*values)(std::string_view placeholder) = nullptr;
};

// Adds a command to the list during static initialisation: one such object per command, in
// the command's source.
struct Registration {
  explicit Registration(const Command& command);
};

// Every registered command, by name.
const std::vector<Command>& commands();
const Command* findCommand(std::string_view name);

// The forms of the command's synopsis, without the command's name.
std::vector<std::string_view> synopsisForms(const Command& command);
// The command's --help text: its usage, one line a form, and its description.
std::string commandHelp(const Command& command);
// `text` broken at spaces into lines of at most `width` columns, each indented by `indent`.
std::string wrapped(std::string_view text, std::size_t indent, std::size_t width = 79);

// `table` with -v and --help added, ending with an END row.
std::vector<XCmdLine::Option> withCommonOptions(const XCmdLine::Option* table);

// Walks argv (argv[0] is the command) against `table`, which ends with an END row; -v raises
// the logger's verbosity. Empty when the command goes on; otherwise the exit status, after
// printing `usage` for --help or the problem for a usage error.
std::optional<int> parse(const XCmdLine::Option* table, const std::string& usage, int argc,
                         char** argv, Args& out);

// The words that may follow `words` (those after "xtool", before the one being completed), one
// a line; ":file" or ":dir" asks the shell to offer file or directory names too.
int complete(int count, char** words);

// A closed standard descriptor is taken by /dev/null opened the wrong way round: a file opened
// later cannot become standard input or output, and using them still fails as when closed.
void guardStandardDescriptors();

// The whole of FILE, or of standard input when `file` is empty or "-". False with `error` set
// to "cannot read NAME: REASON" when it cannot be opened or read.
bool readInput(const std::string& file, std::string& out, std::string& error);

// Everything a command prints goes through these, which keep the reason of the first failed
// write for finishOutput(): a large write bypasses stdio's buffer, so no later flush repeats it.
void print(std::string_view text);
void printLine(std::string_view text);  // and a line feed

// Flushes standard output and checks that everything reached it: `status` if so, otherwise
// REFUSED after saying why.
int finishOutput(int status);

// "YYYY-MM-DDTHH:MM:SSZ" of a second since the epoch.
std::string utcText(std::int64_t seconds);
// "YYYY-MM-DDTHH:MM:SS+HH:MM" of a second in the zone that TZ names now.
std::string localText(std::int64_t seconds);
// "+HH:MM" or "-HH:MM" of a UTC offset in seconds (":SS" added when not whole minutes).
std::string offsetText(long offset);
// "YYYY-MM-DDTHH:MM:SS" followed by "Z" or an offset ("+02:00"), or whole seconds since the
// epoch.
bool parseTime(const std::string& text, std::int64_t& seconds);
// A whole number in [low, high].
bool parseInt(const std::string& text, long long low, long long high, long long& value);

// Text pieces without surrounding whitespace (a trailing line feed, say).
std::string_view trimmed(std::string_view text);

}  // namespace xtool
