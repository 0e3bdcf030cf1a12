#pragma once

/// @file
/// XCmdLine: an iterator over a program's arguments, read against a table of options.

#include <cstdint>
#include <string>

#include "xcommon/xcommon_export.h"

/// Walks a program's argument vector against a table of short and long options, one item (an
/// option, a plain argument or a problem the caller reports) per step. Never prints or throws.
/// The word "--" ends the options: every word after it is a plain argument.
class XCOMMON_EXPORT XCmdLine {
 public:
  /// Whether an option takes an argument. Any other non-zero value acts as NONE.
  enum Argument : std::uint8_t {
    END = 0,      ///< Marks the row that ends the table.
    NONE = 1,     ///< A flag; a long option's "=value" is ignored.
    REQUIRED = 2  ///< Takes "=value" or the next word, unless that word starts with '-'.
  };

  /// One row of the caller's table; the table ends with a row whose argument is END.
  struct Option {
    char id;            ///< short-option character and reported id; never 0..3
    const char* name;   ///< long name without the dashes; null for a short-only option
    Argument argument;  ///< Whether the option takes an argument.
  };

  /// @name Ids the iterator reports besides the table's own.
  /// @{
  static constexpr char ID_END = 0;               ///< No more items.
  static constexpr char ID_ARGUMENT = 1;          ///< A plain argument, in argument().
  static constexpr char ID_UNRECOGNISED = 2;      ///< text() holds the word as written
  static constexpr char ID_MISSING_ARGUMENT = 3;  ///< option() holds the matched row
  /// @}

  /// Forward-only. Holds pointers into the table and the words, which must outlive it.
  class XCOMMON_EXPORT Iterator {
   public:
    Iterator() = default;  ///< empty: equals the end of an empty command line

    /// Moves to the next item; at the end it stays there.
    void next();
    /// Moves to the next item, as next().
    Iterator& operator++() {
      next();
      return *this;
    }
    /// The iterator is its own item: (*it).id(), it->argument().
    const Iterator& operator*() const { return *this; }
    /// The iterator is its own item, as with operator*().
    const Iterator* operator->() const { return this; }

    /// Compares position and id only, so an item that still holds a missing argument at the last
    /// word differs from end().
    bool operator==(const Iterator& other) const;
    /// The negation of operator==().
    bool operator!=(const Iterator& other) const { return !(*this == other); }

    /// The matched row's id, or one of the ID_ constants; ID_END at the end.
    char id() const { return m_id; }
    /// The option as written, without its argument ("-v", "--output", "-"); empty for a plain
    /// argument and at the end.
    const std::string& text() const { return m_text; }
    const Option* option() const { return m_option; }  ///< null unless an entry matched
    /// The option's argument or the plain argument; null otherwise. Points into the words.
    const char* argument() const { return m_argument; }

    /// First table row with this short id, or null.
    const Option* findShortOption(char c) const;
    /// First row whose whole name is the first `length` characters of `name`; no abbreviations.
    const Option* findLongOption(const char* name, unsigned long length) const;

   private:
    friend class XCmdLine;
    Iterator(const Option* options, int count, char** args, int index);

    XCOMMON_NO_EXPORT void reset();
    XCOMMON_NO_EXPORT void finish();  // moves to the end position
    // Argument of the option just read; `p` is the '=' or end after a long name, null inside
    // a group. Moves the index past what it consumes; null when there is none.
    const char* findOptArg(const char* p);
    // One character of a group at m_pos; false once the group is used up.
    bool processShortOpt(const char* word);

    std::string m_text;
    char m_id = ID_END;
    const Option* m_option = nullptr;
    const char* m_argument = nullptr;
    const Option* m_options = nullptr;
    int m_count = 0;
    char** m_args = nullptr;
    int m_index = 0;
    int m_pos = 0;
    bool m_argsOnly = false;
  };

  /// argv[0] is never read; the table and the words are borrowed, never copied or changed.
  /// A null word among the first argc ends the walk there.
  XCmdLine(const Option* options, int argc, char** argv);

  Iterator begin() const;  ///< already on the first item
  Iterator end() const;    ///< Compares equal to an iterator that has read every item.

 private:
  const Option* m_options;
  int m_argc;
  char** m_argv;
};
