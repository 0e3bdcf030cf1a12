#include "xcommon/xcmdline.h"

#include <cstring>

XCmdLine::XCmdLine(const Option* options, int argc, char** argv)
    : m_options(options), m_argc(argc), m_argv(argv) {}

XCmdLine::Iterator XCmdLine::begin() const {
  if (m_argc <= 0 || m_argv == nullptr) return Iterator();
  Iterator it(m_options, m_argc - 1, m_argv + 1, 0);
  it.next();
  return it;
}

XCmdLine::Iterator XCmdLine::end() const {
  if (m_argc <= 0 || m_argv == nullptr) return Iterator();
  Iterator it(m_options, m_argc - 1, m_argv + 1, m_argc - 1);
  it.next();
  return it;
}

XCmdLine::Iterator::Iterator(const Option* options, int count, char** args, int index)
    : m_options(options), m_count(count), m_args(args), m_index(index) {}

bool XCmdLine::Iterator::operator==(const Iterator& other) const {
  return m_options == other.m_options && m_args == other.m_args && m_index == other.m_index &&
         m_pos == other.m_pos && m_id == other.m_id;
}

const XCmdLine::Option* XCmdLine::Iterator::findShortOption(char c) const {
  for (const Option* o = m_options; o != nullptr && o->argument != END; ++o)
    if (o->id == c) return o;
  return nullptr;
}

const XCmdLine::Option* XCmdLine::Iterator::findLongOption(const char* name,
                                                           unsigned long length) const {
  // The first byte and strncmp rule out most rows cheaply; strnlen, only for a row that
  // matched so far, never reads past its name, even when `length` is longer than it.
  for (const Option* o = m_options; o != nullptr && o->argument != END; ++o)
    if (o->name != nullptr && (length == 0 || o->name[0] == name[0]) &&
        std::strncmp(o->name, name, length) == 0 && strnlen(o->name, length + 1) == length)
      return o;
  return nullptr;
}

void XCmdLine::Iterator::reset() {
  m_id = ID_END;
  m_text.clear();
  m_option = nullptr;
  m_argument = nullptr;
}

// A null word ends the walk at the position of end(), so that a loop up to end() terminates.
void XCmdLine::Iterator::finish() {
  reset();
  m_index = m_count;
  m_pos = 0;
}

void XCmdLine::Iterator::next() {
  reset();
  for (;;) {
    if (m_index >= m_count) return;
    const char* word = m_args[m_index];
    if (word == nullptr) return finish();
    if (m_argsOnly) {
      m_id = ID_ARGUMENT;
      m_argument = word;
      ++m_index;
      return;
    }
    if (m_pos > 0) {
      if (processShortOpt(word)) return;
      ++m_index;
      if (m_index >= m_count || m_args[m_index] == nullptr) return finish();
      word = m_args[m_index];
    }
    if (word[0] != '-') {
      m_id = ID_ARGUMENT;
      m_argument = word;
      ++m_index;
      return;
    }
    if (word[1] == '-') {
      if (word[2] == '\0') {
        ++m_index;
        m_argsOnly = true;
        reset();
        continue;
      }
      const char* name = word + 2;
      const char* stop = name;
      while (*stop != '\0' && *stop != '=') ++stop;
      m_text.assign(word, static_cast<std::size_t>(stop - word));
      m_option = findLongOption(name, static_cast<unsigned long>(stop - name));
      if (m_option == nullptr) {
        m_id = ID_UNRECOGNISED;
        ++m_index;
        return;
      }
      m_id = m_option->id;
      if (m_option->argument == REQUIRED) {
        m_argument = findOptArg(stop);
        if (m_argument == nullptr) m_id = ID_MISSING_ARGUMENT;
      } else {
        ++m_index;  // a value after '=' is ignored
      }
      return;
    }
    m_pos = 1;
    if (processShortOpt(word)) return;
    ++m_index;              // a lone dash
    m_text.assign(1, '-');  // not = "-": g++ 12 at -O3 warns falsely (-Wrestrict)
    m_id = ID_UNRECOGNISED;
    return;
  }
}

bool XCmdLine::Iterator::processShortOpt(const char* word) {
  const char c = word[m_pos];
  if (c == '\0') {
    m_pos = 0;
    return false;
  }
  m_text.assign(1, '-');
  m_text.push_back(c);
  m_option = findShortOption(c);
  ++m_pos;
  if (m_option == nullptr) {
    m_id = ID_UNRECOGNISED;  // the rest of the group is still read
    return true;
  }
  m_id = m_option->id;
  if (m_option->argument == REQUIRED) {
    m_argument = findOptArg(nullptr);
    if (m_argument == nullptr) m_id = ID_MISSING_ARGUMENT;
  }
  return true;
}

const char* XCmdLine::Iterator::findOptArg(const char* p) {
  if (p != nullptr && *p == '=') {
    ++m_index;
    return p + 1;
  }
  if (m_index >= m_count || m_args[m_index] == nullptr) return nullptr;
  if (m_pos > 0) {
    const char* at = m_args[m_index] + m_pos;
    if (*at == '=') {
      m_pos = 0;
      ++m_index;
      return at + 1;
    }
    // Letters straight after the option are more options, not its argument.
    if (*at != '\0') return nullptr;
    m_pos = 0;
  }
  ++m_index;
  if (m_index >= m_count || m_args[m_index] == nullptr) return nullptr;
  const char* word = m_args[m_index];
  if (word[0] == '-') return nullptr;  // left as the next word to examine
  ++m_index;
  // Consumed all the same: "-o =x" most likely meant "-o=x", so the word is not read as a plain
  // argument, but "=x" is not taken as the value either.
  if (word[0] == '=') return nullptr;
  return word;
}
