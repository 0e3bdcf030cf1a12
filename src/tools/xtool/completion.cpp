// xtool --complete WORD...: what the shell may offer after WORD..., read from the commands'
// option tables and synopses.
#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "tool.h"

namespace xtool {

namespace {

// The operands of one synopsis form, without its options ("[--from TIME]") and brackets.
std::vector<std::string_view> operandsOf(std::string_view form) {
  std::vector<std::string_view> operands;
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= form.size(); ++i) {
    const char c = i < form.size() ? form[i] : ' ';
    if (c == '[') ++depth;
    if (c == ']') --depth;
    if (c != ' ' || depth > 0) continue;
    std::string_view word = form.substr(start, i - start);
    start = i + 1;
    while (!word.empty() && (word.front() == '[' || word.front() == ']')) word.remove_prefix(1);
    while (!word.empty() && (word.back() == ']' || word.back() == '.')) word.remove_suffix(1);
    if (!word.empty() && word.front() != '-') operands.push_back(word);
  }
  return operands;
}

bool isPlaceholder(std::string_view word) {
  return std::isupper(static_cast<unsigned char>(word.front())) != 0;
}

// Whether an operand fits a synopsis word: any text fits a placeholder, a fixed word only
// itself ("encode|decode" is two fixed words).
bool fits(std::string_view operand, std::string_view word) {
  if (isPlaceholder(word)) return true;
  for (std::size_t at = 0; at <= word.size();) {
    const std::size_t bar = std::min(word.find('|', at), word.size());
    if (word.substr(at, bar - at) == operand) return true;
    at = bar + 1;
  }
  return false;
}

void offerOperand(const Command& command, std::string_view word) {
  if (word == "FILE") return printLine(":file");
  if (word == "DIR") return printLine(":dir");
  if (isPlaceholder(word)) {
    if (command.values != nullptr) {
      for (const std::string& value : command.values(word)) printLine(value);
    }
    return;
  }
  for (std::size_t at = 0; at <= word.size();) {
    const std::size_t bar = std::min(word.find('|', at), word.size());
    printLine(word.substr(at, bar - at));
    at = bar + 1;
  }
}

// The values of the placeholder that follows `option` ("--zone" or "-z") in the synopsis.
int offerOptionValue(const Command& command, std::string_view option) {
  std::string name(option);
  if (option.size() == 2 && option[0] == '-') {
    for (const XCmdLine::Option* o = command.options; o->argument != XCmdLine::END; ++o)
      if (o->id == option[1] && o->name != nullptr) name = std::string("--") + o->name;
  }
  const std::string_view synopsis = command.synopsis;
  const std::size_t at = synopsis.find(name + " ");
  if (at == std::string_view::npos || command.values == nullptr) return OK;
  const std::size_t start = at + name.size() + 1;
  const std::size_t end = synopsis.find_first_of(" ]", start);
  for (const std::string& value : command.values(synopsis.substr(start, end - start)))
    printLine(value);
  return OK;
}

}  // namespace

int complete(int count, char** words) {
  int first = 0;  // the command's word
  while (first < count && words[first][0] == '-') ++first;
  if (first == count) {
    for (const Command& c : commands()) printLine(c.name);
    for (const char* option : {"--verbose", "--help", "--help-all", "--version"}) printLine(option);
    return OK;
  }
  const Command* command = findCommand(words[first]);
  if (command == nullptr) return OK;

  const std::vector<XCmdLine::Option> table = withCommonOptions(command->options);
  std::vector<std::string_view> given;
  const XCmdLine line(table.data(), count - first, words + first);
  for (auto it = line.begin(); it != line.end(); ++it) {
    // The word being completed is this option's value: the values of its placeholder.
    if (it->id() == XCmdLine::ID_MISSING_ARGUMENT)
      return offerOptionValue(*command, words[count - 1]);
    if (it->id() == XCmdLine::ID_ARGUMENT) given.emplace_back(it->argument());
  }
  for (const XCmdLine::Option& o : table) {
    if (o.name != nullptr) printLine(std::string("--") + o.name);
  }
  for (const std::string_view form : synopsisForms(*command)) {
    const std::vector<std::string_view> operands = operandsOf(form);
    if (operands.size() <= given.size()) continue;
    bool match = true;
    for (std::size_t i = 0; i < given.size() && match; ++i) match = fits(given[i], operands[i]);
    if (match) offerOperand(*command, operands[given.size()]);
  }
  return OK;
}

}  // namespace xtool
