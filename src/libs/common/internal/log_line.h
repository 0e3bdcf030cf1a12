#pragma once

// The pieces every sink builds its lines from: the header (cached per thread), the location,
// the whole plain or styled line, and the write that keeps a line whole. Private to the library.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <fmt/color.h>
#include <fmt/format.h>

#include "xcommon/xlogger.h"

namespace XInternal {

constexpr auto GREY = fmt::rgb(128, 128, 128);

inline void append(fmt::memory_buffer& buf, std::string_view text) {
  buf.append(text.data(), text.data() + text.size());
}

// The header of a line at `level` logged now, with its trailing space.
void appendHeader(fmt::memory_buffer& buf, XLogger::Level level);

// " (name:line)" with one resize and plain copies: this runs on every plain line.
void appendLocation(fmt::memory_buffer& buf, std::string_view name, int line);

// "header message (file:line)\n"; with a style, the message part is styled and the location
// grey. The line feed is never styled.
void formatLine(fmt::memory_buffer& buf, const fmt::text_style* style, std::string_view header,
                std::string_view message, const char* file, int line);

// What a write achieved: the bytes written and, when that is short, the error that stopped it.
struct Written {
  std::size_t bytes;
  int error;
};

// Writes all of `data`, going on after partial writes and EINTR.
Written writeAll(int fd, std::string_view data);

// Ends a line left unfinished before (`lineOpen`), then writes `line`, in one write(2) when the
// descriptor takes it all; `lineOpen` tells afterwards whether a line is left unfinished.
Written writeLine(int fd, std::string_view line, bool& lineOpen);

std::int64_t monotonicSecond();

}  // namespace XInternal
