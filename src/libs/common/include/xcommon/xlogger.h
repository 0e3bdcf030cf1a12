#pragma once

/// @file
/// The process-wide logger XLogger, its sinks, the XLOG logging statement and its rate-limited
/// forms XLOG_EVERY_N and XLOG_EVERY.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "xcommon/xcommon_export.h"
#include "xcommon/xlog_limit.h"
#include "xcommon/xutils/text.h"

/// The process-wide logger. Configure it (addSink, verbosities, destroyInstance) before other
/// threads log or while none does: the instance and its sink map are read without a lock. Each
/// sink serialises its own lines with its own mutex. fork() waits until no thread is inside a
/// sink's write, so a child can log at once, whatever the parent's threads were doing.
class XCOMMON_EXPORT XLogger {
 public:
  /// Severity of a line, most severe first. A sink prints the levels up to its verbosity.
  enum Level : std::int8_t {
    SYSTEM = -1,  ///< Always printed, whatever the verbosity.
    ERROR = 0,    ///< A failure.
    WARNING = 1,  ///< Something suspicious that was handled.
    INFO = 2,     ///< Normal operation.
    DBG1 = 3,     ///< Debugging detail, least verbose.
    DBG2 = 4,     ///< Debugging detail.
    DBG3 = 5      ///< Debugging detail, most verbose.
  };

  /// Any level is stored and printed clamped into SYSTEM..DBG3.
  static constexpr Level clampLevel(int level) {
    return level < SYSTEM ? SYSTEM : level > DBG3 ? DBG3 : static_cast<Level>(level);
  }

  /// Base of all sinks. Verbosity is a relaxed atomic byte so it may change while others log.
  class XCOMMON_EXPORT Sink {
   public:
    /// The name is the sink's key in the logger: a sink added under a taken name replaces it.
    explicit Sink(std::string name);
    virtual ~Sink();  ///< Virtual: the logger destroys sinks through this base.

    /// Moves name and verbosity and copies the colour flag; the source keeps SYSTEM and an
    /// empty name. The mutexes of derived sinks never move.
    Sink(Sink&& other) noexcept;
    /// Moves as the move constructor does.
    Sink& operator=(Sink&& other) noexcept;

    /// Whether the sink can write; the logger skips an invalid sink.
    virtual bool valid() const = 0;
    /// Writes one line from its parts. `file`: base name of the issuing source or null;
    /// `header`: the bracketed prefix; `message`: formatted text without a line end.
    virtual void print(Level level, const char* file, int line, std::string_view header,
                       std::string_view message) const = 0;
    /// The logger's fast path: the finished plain line "header message (file:line)\n". A sink
    /// that writes it as it stands returns true; the default returns false, and the logger then
    /// calls print() with the parts, for a sink that styles or arranges them itself.
    virtual bool printLine(Level level, std::string_view line) const;
    /// Reopens whatever the sink writes to by name, after a rotation; returns whether it now
    /// writes. The default has nothing to reopen and returns valid().
    virtual bool reopen();

    /// Sets the most verbose level the sink prints (clamped); safe while others log.
    void setVerbosity(Level level) {
      m_verbosity.store(clampLevel(level), std::memory_order_relaxed);
    }
    /// The most verbose level the sink prints; SYSTEM until set.
    Level verbosity() const { return m_verbosity.load(std::memory_order_relaxed); }
    /// The key the logger stores the sink under; empty after the sink was moved from.
    const std::string& name() const { return m_name; }

   protected:
    /// An unnamed sink, for a derived sink's move constructor that calls takeBase().
    Sink() = default;
    /// The base part of a move: takes name and verbosity and copies the colour flag, from a
    /// source whose derived part the caller reads afterwards.
    void takeBase(Sink& other) noexcept;

    bool m_useColors = false;  ///< Whether lines are styled with terminal colours.

   private:
    std::atomic<Level> m_verbosity{SYSTEM};
    std::string m_name;
  };

  /// Writes INFO and debug lines to `out`, ERROR and WARNING to `err`, SYSTEM to `sys`. The
  /// streams are not owned and never closed. Each line reaches the stream's descriptor in one
  /// write, after what the stream held before, so processes sharing a pipe or file never tear
  /// each other's lines. Colour is decided once here: on when `out` is a terminal, off when
  /// NO_COLOR is non-empty, on when FORCE_COLOR is non-empty. A stream whose descriptor is the
  /// one JOURNAL_STREAM names (device:inode, as the service manager sets it) is the journal's:
  /// its lines begin with the syslog priority "<N>" (SYSTEM 2, ERROR 3, WARNING 4, INFO 6, the
  /// debug levels 7) and are never coloured.
  class XCOMMON_EXPORT StdOutSink : public Sink {
   public:
    /// A sink named "stdout" over the three borrowed streams, which must outlive it.
    StdOutSink(FILE* out, FILE* err, FILE* sys);
    /// Takes the streams; the source still points at them.
    StdOutSink(StdOutSink&& other) noexcept;
    /// Takes the streams, as the move constructor does.
    StdOutSink& operator=(StdOutSink&& other) noexcept;
    ~StdOutSink() override;  ///< Leaves the streams open.

    /// Always true: the streams are not checked.
    bool valid() const override { return true; }
    /// Builds the line, styled when colouring, and writes it in one call.
    void print(Level level, const char* file, int line, std::string_view header,
               std::string_view message) const override;
    bool printLine(Level level, std::string_view line) const override;  ///< false when colouring

   private:
    // Writes the line to the stream of its level, under the sink's mutex.
    XCOMMON_NO_EXPORT void emitLocked(Level level, std::string_view line) const;

    mutable std::mutex m_mutex;
    FILE* m_out;
    FILE* m_err;
    FILE* m_sys;
    mutable std::uint8_t m_unfinished = 0;  // per stream: a failed write left a line open
    std::uint8_t m_journal = 0;             // per stream, bits as m_unfinished: the journal's
  };

  /// Appends to a regular file, opened for appending and close-on-exec; a FIFO, a device or a
  /// directory at the path is refused (opening never blocks). Each line goes to the file in one
  /// write(2), so processes appending to one file never interleave their lines. About once a
  /// second a line first checks that the path still names the open file and reopens it when it
  /// was renamed away or deleted (log rotation); a file truncated in place goes on from its new
  /// end. A line cut short by a failed write is ended before the next one. Lines that cannot be
  /// written (a full disk; a deleted file whose folder is gone) are counted, and the next line
  /// that can be written is preceded by an ERROR line "N log lines lost: reason"; the first loss
  /// of a gap is also told on stderr, at most once a minute. If the file cannot be opened, the
  /// reason goes to stderr and the sink stays invalid (and is skipped).
  class XCOMMON_EXPORT FileSink : public Sink {
   public:
    /// A sink named "file" that opens `path` at once. Throws nothing but std::bad_alloc, and
    /// then leaves nothing behind.
    explicit FileSink(const std::string& path);
    FileSink(FileSink&& other) noexcept;             ///< the source is left without a file
    FileSink& operator=(FileSink&& other) noexcept;  ///< closes the file held before
    ~FileSink() override;                            ///< Closes the file.

    /// False when the file could not be opened, and in a sink moved from.
    bool valid() const override { return m_file != nullptr; }
    /// Writes the plain line from its parts; files are never coloured.
    void print(Level level, const char* file, int line, std::string_view header,
               std::string_view message) const override;
    /// Writes the finished line; always true.
    bool printLine(Level level, std::string_view line) const override;
    /// Opens the path anew now, as a host that rotates on a signal needs; on failure the sink
    /// keeps the file it had. False when the sink is left without a usable file.
    bool reopen() override;

    /// The file's deleter: fclose for a non-null file.
    static void closeFile(FILE* file);

   protected:
    /// A sink of another name over `path`, for a sink that writes the file in its own form.
    FileSink(std::string name, const std::string& path);
    /// Writes a finished line as printLine() does; `json`: the file holds JSON lines, and a
    /// report of lost lines is written as one.
    XCOMMON_NO_EXPORT void append(std::string_view line, bool json) const;

   private:
    // The rotation check: reopens when the path names another file or none.
    XCOMMON_NO_EXPORT void followPath() const;
    // Opens the path anew; on failure keeps the file it had, and loses lines from now on when
    // that file was deleted. Returns 0 or why it failed.
    XCOMMON_NO_EXPORT int reopenLocked() const;
    XCOMMON_NO_EXPORT void writeOut(std::string_view line, bool json) const;
    XCOMMON_NO_EXPORT void lose(int error) const;  // counts one line that could not be written

    // Everything but the file, its mutex and its path: what a move copies.
    struct State {
      // Identity of the open file, compared with the path's at each check.
      std::uint64_t device = 0;
      std::uint64_t inode = 0;
      std::int64_t nextCheck = 0;  // monotonic second of the next path check
      bool lineOpen = false;       // a failed write left a line unfinished
      // Lines lost since the last one written, and the error of the first of them.
      std::uint64_t lost = 0;
      int lostError = 0;
      std::int64_t quietUntil = 0;  // monotonic second before which stderr hears no more
      // The open file was deleted and the path could not be opened again: why, else 0.
      int orphaned = 0;
      // What was last refused at the path (not a regular file), so it is told once.
      std::uint64_t refusedDevice = 0;
      std::uint64_t refusedInode = 0;
    };

    mutable std::unique_ptr<FILE, decltype(&FileSink::closeFile)> m_file{nullptr,
                                                                         &FileSink::closeFile};
    mutable std::mutex m_mutex;
    std::string m_path;
    mutable State m_state;
  };

  /// A FileSink whose lines are JSON objects, one a line, for log shippers:
  /// `{"time":"2024-03-05T15:07:09.042+01:00","level":"INFO","pid":4711,"tid":4712,`
  /// `"file":"worker.cpp","line":77,"message":"...","context":{"job":"4711"}}`. The time is
  /// local with its offset (RFC 3339, milliseconds); "file" and "line" are left out for a line
  /// without a location, "context" for a thread without Context. Strings are escaped by the JSON
  /// rules (`\"`, `\\`, `\n`, `\r`, `\t`, `\b`, `\f`, other control characters as `\u00XX`); a
  /// byte that is not part of well-formed UTF-8 becomes U+FFFD, one for each maximal invalid
  /// sequence, as Unicode recommends. Rotation, whole lines and lost lines are FileSink's; a
  /// report of lost lines is a JSON line too.
  class XCOMMON_EXPORT JsonLinesSink : public FileSink {
   public:
    /// A sink named "json" that opens `path` at once, as FileSink does.
    explicit JsonLinesSink(const std::string& path);
    JsonLinesSink(JsonLinesSink&& other) noexcept;             ///< As FileSink's move.
    JsonLinesSink& operator=(JsonLinesSink&& other) noexcept;  ///< As FileSink's move.
    ~JsonLinesSink() override;                                 ///< Closes the file.

    /// Writes the JSON line of the parts (the header is not used) and of this thread's context.
    void print(Level level, const char* file, int line, std::string_view header,
               std::string_view message) const override;
    /// False: the line is built from its parts.
    bool printLine(Level level, std::string_view line) const override;
  };

  /// A field that every line of this thread carries while the object lives, after the header
  /// and before the message: `[job=4711 queue=mail] message`. Scopes stack in the order they
  /// were made, and end in reverse order on the thread that made them; a line logged without
  /// any is unchanged. A child forked inside a scope keeps it, as its copy of the stack does.
  class XCOMMON_EXPORT Context {
   public:
    /// Adds `key` with `value` formatted by fmt's "{}" (text is not escaped). Throws what the
    /// formatting throws, or std::bad_alloc, and then adds nothing.
    template <typename T>
    Context(std::string_view key, const T& value) {
      fmt::memory_buffer text;
      fmt::format_to(fmt::appender(text), "{}", value);
      m_mark = push(key, std::string_view(text.data(), text.size()));
    }
    Context(const Context&) = delete;             ///< Bound to its scope.
    Context& operator=(const Context&) = delete;  ///< Bound to its scope.
    ~Context();                                   ///< Removes the field again.

   private:
    // Appends the field to this thread's context; returns how many fields were there before.
    static std::size_t push(std::string_view key, std::string_view value);
    std::size_t m_mark;
  };

  /// The logger, created on first use with no sinks and maximum verbosity SYSTEM; not
  /// synchronised. Never null.
  static XLogger* instance() {
    XLogger* logger = s_instance.get();
    return logger != nullptr ? logger : createInstance();
  }
  /// Destroys the instance and its sinks (files closed); the next instance() makes a new one.
  static void destroyInstance();

  /// Stores the sink under its name at the (clamped) level, replacing and destroying a sink of
  /// the same name. Never lowers the maximum verbosity. A null sink is ignored.
  void addSink(std::unique_ptr<Sink> sink, Level level);
  /// Empty name: all sinks and the maximum become `level`. Otherwise only the named sink, and
  /// the maximum is raised if needed; an unknown name changes nothing.
  void setMaxVerbosity(Level level, const std::string& name = {});
  /// One step up for all sinks (empty name) or the named one; returns the resulting level, or
  /// SYSTEM (-1) for an unknown name.
  Level increaseMaxVerbosity(const std::string& name = {});
  /// The most verbose level any sink prints: a message above it is dropped before formatting.
  Level maxVerbosity() const { return m_maxVerbosity.load(std::memory_order_relaxed); }

  /// Formats and emits one message. A format failure at run time is logged in its place as
  /// "Failed to format message: ...". `file` is the issuing source or null; only its base name
  /// is printed.
  template <typename... Args>
  void printf(Level level, const char* file, int line, fmt::format_string<Args...> format,
              Args&&... args) const {
    printfSuppressed(0, level, file, line, format, std::forward<Args>(args)...);
  }

  /// As printf, and a `suppressed` count above 0 ends the message with " (N similar lines
  /// suppressed)": how XLOG_EVERY reports the lines it kept out.
  template <typename... Args>
  void printfSuppressed(std::uint64_t suppressed, Level level, const char* file, int line,
                        fmt::format_string<Args...> format, Args&&... args) const {
    level = clampLevel(level);
    if (level > maxVerbosity() || m_sinks.empty()) return;
    fmt::memory_buffer buf;  // inline storage: a typical message needs no heap
    try {
      fmt::vformat_to(fmt::appender(buf), fmt::string_view(format), fmt::make_format_args(args...));
    } catch (const fmt::format_error& e) {
      println(level, file, line, std::string("Failed to format message: ") + e.what());
      return;
    }
    if (suppressed != 0)
      fmt::format_to(fmt::appender(buf), " ({} similar {} suppressed)", suppressed,
                     suppressed == 1 ? "line" : "lines");
    println(level, file, line, std::string_view(buf.data(), buf.size()));
  }

  /// Emits one formatted message to every valid sink that admits its (clamped) level.
  void println(Level level, const char* file, int line, std::string_view message) const;

  /// Reopens every sink's file now: for a host that rotates its logs and then signals it. Call
  /// it from the host's own thread, never from a signal handler.
  void reopenFiles();

  XLogger(const XLogger&) = delete;             ///< There is one logger per process.
  XLogger& operator=(const XLogger&) = delete;  ///< There is one logger per process.
  ~XLogger();                                   ///< Destroys the sinks, closing their files.

 private:
  XLogger() = default;
  static XLogger* createInstance();

  std::atomic<Level> m_maxVerbosity{SYSTEM};
  std::unordered_map<std::string, std::unique_ptr<Sink>> m_sinks;

  // Destroyed with the library (unload or exit), which closes every sink's file.
  static std::unique_ptr<XLogger> s_instance;
};

// Not for callers: the body of the logging statements. `pass`, evaluated only when the level is
// logged, is 0 to keep the call out, else 1 plus the calls kept out before it.
#define XINTERNAL_XLOG(level, pass, ...)                                                  \
  do {                                                                                    \
    XLogger* const xlog_logger_ = XLogger::instance();                                    \
    const XLogger::Level xlog_level_ = XLogger::clampLevel(level);                        \
    if (xlog_level_ <= xlog_logger_->maxVerbosity()) {                                    \
      const std::uint64_t xlog_pass_ = (pass);                                            \
      /* The source file's name, found at compile time. */                                \
      constexpr const char* xlog_file_ = XInternal::baseName(__FILE__).data();            \
      if (xlog_pass_ != 0)                                                                \
        xlog_logger_->printfSuppressed(xlog_pass_ - 1, xlog_level_, xlog_file_, __LINE__, \
                                       __VA_ARGS__);                                      \
    }                                                                                     \
  } while (0)

// Not for callers: the state of one rate-limited statement, one per place it is written.
#define XINTERNAL_XLOG_STATE(Type)      \
  ([]() -> XInternal::Type& {           \
    static XInternal::Type xlog_state_; \
    return xlog_state_;                 \
  }())

/// The logging statement: XLOG(level, format, args...) logs through XLogger::instance() with
/// the source file and line. A suppressed message evaluates none of its arguments.
#define XLOG(level, ...) XINTERNAL_XLOG(level, 1, __VA_ARGS__)

/// XLOG that logs only the 1st, (n+1)th, (2n+1)th ... call of this statement in this process,
/// counted over all its threads: XLOG_EVERY_N(level, n, format, args...). Only calls whose level
/// is logged count; n (evaluated then) is taken in 1..2^32. A forked child counts afresh. A
/// call that does not log takes one atomic addition and evaluates none of its arguments.
#define XLOG_EVERY_N(level, n, ...)                                                          \
  XINTERNAL_XLOG(level, XINTERNAL_XLOG_STATE(EveryN).pass(XInternal::everyCount(n)) ? 1 : 0, \
                 __VA_ARGS__)

/// XLOG that logs at most one line per `interval` (a std::chrono duration, in whole
/// milliseconds of the coarse monotonic clock) for this statement in this process, over all
/// its threads: XLOG_EVERY(level, interval, format, args...). The next line that passes ends
/// with " (N similar lines suppressed)". Only calls whose level is logged count; a forked child
/// counts afresh. A call kept out reads the coarse clock, adds one to the count and evaluates
/// none of its arguments.
#define XLOG_EVERY(level, interval, ...)                                                        \
  XINTERNAL_XLOG(level,                                                                         \
                 XINTERNAL_XLOG_STATE(EveryInterval).pass(XInternal::intervalMillis(interval)), \
                 __VA_ARGS__)
