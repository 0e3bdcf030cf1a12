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
  const XInternal::LineTime time = XInternal::lineTime();
  XInternal::appendHeader(buf, level, time);
  const std::string& context = XInternal::threadContext().text;
  if (!context.empty()) {  // "[job=4711 queue=mail] ", part of the header
    buf.push_back('[');
    XInternal::append(buf, context);
    XInternal::append(buf, "] ");
  }
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
  const XInternal::LineScope scope(time);
  for (const auto& [key, sink] : m_sinks) {
    if (sink->valid() && level <= sink->verbosity() && !sink->printLine(level, whole))
      sink->print(level, name, line, header, text);
  }
}

std::size_t XLogger::Context::push(std::string_view key, std::string_view value) {
  XInternal::ThreadContext& context = XInternal::threadContext();
  const std::size_t mark = context.fields.size();
  const std::size_t start = context.text.size() + (mark != 0 ? 1 : 0);
  // All that can throw comes first: a failed push changes nothing.
  context.fields.reserve(mark + 1);
  context.text.reserve(start + key.size() + 1 + value.size());
  if (mark != 0) context.text.push_back(' ');
  context.text.append(key).append(1, '=').append(value);
  context.fields.push_back({start, key.size(), value.size()});
  return mark;
}

XLogger::Context::~Context() {
  XInternal::ThreadContext& context = XInternal::threadContext();
  if (m_mark >= context.fields.size()) return;  // ended out of order: already gone
  context.text.resize(m_mark != 0 ? context.fields[m_mark].start - 1 : 0);
  context.fields.resize(m_mark);
}
