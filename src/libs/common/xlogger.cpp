#include "xcommon/xlogger.h"

#include "internal/log_line.h"
#include "xcommon/xutils/text.h"

std::unique_ptr<XLogger> XLogger::s_instance;

XLogger::Sink::Sink(std::string name) : m_name(std::move(name)) {}

XLogger::Sink::~Sink() = default;

bool XLogger::Sink::printLine(Level, std::string_view) const { return false; }

bool XLogger::Sink::reopen() { return valid(); }

XLogger::Sink::Sink(Sink&& other) noexcept { takeBase(other); }

XLogger::Sink& XLogger::Sink::operator=(Sink&& other) noexcept {
  takeBase(other);
  return *this;
}

void XLogger::Sink::takeBase(Sink& other) noexcept {
  if (this == &other) return;
  m_useColors = other.m_useColors;
  m_verbosity.store(other.m_verbosity.exchange(SYSTEM, std::memory_order_relaxed),
                    std::memory_order_relaxed);
  m_name.swap(other.m_name);
  other.m_name.clear();
}

XLogger::~XLogger() = default;

XLogger* XLogger::createInstance() {
  s_instance.reset(new XLogger());
  return s_instance.get();
}

void XLogger::destroyInstance() { s_instance.reset(); }

namespace {

void raise(std::atomic<XLogger::Level>& maximum, XLogger::Level level) {
  if (level > maximum.load(std::memory_order_relaxed))
    maximum.store(level, std::memory_order_relaxed);
}

}  // namespace

void XLogger::addSink(std::unique_ptr<Sink> sink, Level level) {
  if (!sink) return;
  level = clampLevel(level);
  sink->setVerbosity(level);
  auto it = m_sinks.find(sink->name());
  if (it != m_sinks.end())
    it->second = std::move(sink);
  else
    m_sinks.emplace(sink->name(), std::move(sink));
  raise(m_maxVerbosity, level);
}

void XLogger::setMaxVerbosity(Level level, const std::string& name) {
  level = clampLevel(level);
  if (name.empty()) {
    m_maxVerbosity.store(level, std::memory_order_relaxed);
    for (auto& [key, sink] : m_sinks) sink->setVerbosity(level);
    return;
  }
  auto it = m_sinks.find(name);
  if (it == m_sinks.end()) return;
  it->second->setVerbosity(level);
  raise(m_maxVerbosity, level);
}

XLogger::Level XLogger::increaseMaxVerbosity(const std::string& name) {
  Level current = maxVerbosity();
  if (!name.empty()) {
    const auto it = m_sinks.find(name);
    if (it == m_sinks.end()) return SYSTEM;
    current = it->second->verbosity();
  }
  if (current >= DBG3) return current;
  const Level raised = clampLevel(current + 1);
  setMaxVerbosity(raised, name);
  return raised;
}

void XLogger::reopenFiles() {
  for (auto& [key, sink] : m_sinks) sink->reopen();
}

void XLogger::println(Level level, const char* file, int line, std::string_view message) const {
  level = clampLevel(level);
  fmt::memory_buffer buf;
  XInternal::appendHeader(buf, level);
  const std::size_t start = buf.size();
  XInternal::append(buf, message);
  const std::size_t messageEnd = buf.size();
  const char* const name = file != nullptr ? XInternal::baseName(file).data() : nullptr;
  if (name != nullptr) XInternal::appendLocation(buf, name, line);
  buf.push_back('\n');
  // Views into the buffer, taken once it no longer grows.
  const std::string_view whole(buf.data(), buf.size());
  const std::string_view header = whole.substr(0, start - 1);
  const std::string_view text = whole.substr(start, messageEnd - start);
  for (const auto& [key, sink] : m_sinks) {
    if (sink->valid() && level <= sink->verbosity() && !sink->printLine(level, whole))
      sink->print(level, name, line, header, text);
  }
}
