#pragma once

/// @file
/// XUtils::CmdLine, which splits a command line held as one string into the program and its
/// arguments, with shell-like single quotes, double quotes and backslash escapes. Parses only;
/// starts nothing.

#include <list>
#include <string>
#include <string_view>

#include "xcommon/xcommon_export.h"

namespace XUtils {

/// A command line split into the program and its arguments.
///
/// Only the space separates pieces; tabs and line ends are trimmed at both ends of the text but
/// kept inside it. Bad text never throws: it clears is_valid() and sets error(), keeping the
/// pieces taken before the fault. One thread at a time per object.
class XCOMMON_EXPORT CmdLine {
 public:
  /// Splits `text`. An empty or all-whitespace text gives "empty command line"; a quote left
  /// open at the end gives "unexpected end of the command line".
  explicit CmdLine(std::string_view text);

  /// Replaces the program and appends to the current arguments without clearing them; returns
  /// is_valid().
  [[nodiscard]] bool split(std::string_view text);
  /// Takes the next piece off the front of `text` (left trimmed at both ends) into `out`. False
  /// when nothing is left, leaving `out` alone; on an open quote also clears is_valid(), with
  /// `text` at the start of the failing piece.
  [[nodiscard]] bool get_piece(std::string& out, std::string_view& text);
  /// Unquotes one raw piece. Never fails: an open quote keeps what was read before the end.
  /// A backslash escapes only a space, a quote or a backslash; before anything else it stays.
  std::string to_string(std::string_view raw) const;

  /// False when the last split() or get_piece() met bad text.
  [[nodiscard]] bool is_valid() const { return m_valid; }
  /// Why the text failed to split; empty while valid.
  const std::string& error() const { return m_error; }
  /// The first piece, unquoted.
  const std::string& program() const { return m_program; }
  /// The pieces after the program, unquoted; empty pieces included.
  const std::list<std::string>& args() const { return m_args; }

 private:
  XCOMMON_NO_EXPORT bool fail(const char* reason);  // stores the reason, returns false

  bool m_valid = false;
  std::string m_error;
  std::string m_program;
  std::list<std::string> m_args;
};

}  // namespace XUtils
