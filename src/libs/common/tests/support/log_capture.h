#pragma once

// Test support: the logger's output captured in memory.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "xcommon/xlogger.h"

namespace TestSupport {

// A stream backed by memory; text() flushes and returns everything written so far.
class MemStream {
 public:
  MemStream() : m_file(open_memstream(&m_data, &m_size)) {}
  MemStream(const MemStream&) = delete;
  MemStream& operator=(const MemStream&) = delete;
  ~MemStream() {
    std::fclose(m_file);
    std::free(m_data);
  }
  FILE* get() const { return m_file; }
  std::string text() {
    std::fflush(m_file);
    return {m_data, m_size};
  }
  // Everything written since the last take().
  std::string take() {
    std::string all = text();
    std::string fresh = all.substr(m_taken);
    m_taken = all.size();
    return fresh;
  }

 private:
  char* m_data = nullptr;
  std::size_t m_size = 0;
  std::size_t m_taken = 0;
  FILE* m_file;
};

// A fresh logger instance whose one sink writes every stream into memory, for the lifetime of
// the capture; the instance is destroyed on both ends so no test sees another's sinks.
class LogCapture {
 public:
  explicit LogCapture(XLogger::Level level = XLogger::DBG3) {
    XLogger::destroyInstance();
    XLogger::instance()->addSink(
        std::make_unique<XLogger::StdOutSink>(m_stream.get(), m_stream.get(), m_stream.get()),
        level);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() { XLogger::destroyInstance(); }

  std::string text() { return m_stream.text(); }
  std::string take() { return m_stream.take(); }

 private:
  MemStream m_stream;
};

}  // namespace TestSupport
