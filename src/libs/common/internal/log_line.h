#pragma once

// The pieces every sink builds its lines from: the header (cached per thread), the location,
// the whole plain or styled line, and the write that keeps a line whole. Private to the library.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/color.h>
#include <fmt/format.h>

#include "xcommon/xlogger.h"

namespace XInternal {

constexpr auto GREY = fmt::rgb(128, 128, 128);

inline void append(fmt::memory_buffer& buf, std::string_view text) {
  buf.append(text.data(), text.data() + text.size());
}

// The local time of a line, rounded to the millisecond (999.5 ms and up carry into the next
// second).
struct LineTime {
  std::int64_t seconds = 0;
  int millis = 0;
};
LineTime lineTime();  // now

// The header of a line at `level` logged at `time` (or now), with its trailing space.
void appendHeader(fmt::memory_buffer& buf, XLogger::Level level, LineTime time);
void appendHeader(fmt::memory_buffer& buf, XLogger::Level level);

// "2024-03-05T15:07:09.042+01:00", with this thread's cached local date.
void appendRfc3339(fmt::memory_buffer& buf, LineTime time);

// While the logger hands a line to the sinks: its time, for a sink that writes it its own way.
struct LineScope {
  explicit LineScope(LineTime time);
  LineScope(const LineScope&) = delete;
  LineScope& operator=(const LineScope&) = delete;
  ~LineScope();
};
LineTime currentLineTime();  // the logger's line's, or now outside one

// The fields of this thread's XLogger::Context scopes, oldest first: `text` holds them as lines
// show them ("job=4711 queue=mail"), each field a key and a value in it.
struct ContextField {
  std::size_t start;  // of the key in text
  std::size_t keySize;
  std::size_t valueSize;  // after the '='
};
struct ThreadContext {
  std::string text;
  std::vector<ContextField> fields;
};
ThreadContext& threadContext();

// The JSON line of a message, ending in '\n'; `context` may be null.
void appendJsonLine(fmt::memory_buffer& buf, LineTime time, XLogger::Level level, const char* file,
                    int line, std::string_view message, const ThreadContext* context);

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
