#include "xcommon/xvariant.h"

#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

XVariant XVariant::createNull() {
  XVariant v;
  v.m_type = Type::Null;
  return v;
}

XVariant::XVariant(const char* text) : m_type(Type::String), m_value() {
  if (text != nullptr) m_value.text = strdup(text);
}

XVariant::XVariant(const char* text, unsigned long length) : m_type(Type::String), m_value() {
  if (text != nullptr) m_value.text = strndup(text, length);
}

XVariant XVariant::createJson(const char* text) {
  XVariant v(text);
  v.m_type = Type::Json;
  return v;
}

XVariant XVariant::createJson(const char* text, unsigned long length) {
  XVariant v(text, length);
  v.m_type = Type::Json;
  return v;
}

XVariant::XVariant(XVariant&& other) noexcept : m_type(other.m_type), m_value(other.m_value) {
  other.m_type = Type::Undef;
  other.m_value = Value();
}

XVariant& XVariant::operator=(const XVariant& other) {
  if (this == &other) return *this;
  release();
  m_type = other.m_type;
  m_value = other.m_value;
  if (ownsText() && m_value.text != nullptr) m_value.text = strdup(m_value.text);
  return *this;
}

XVariant& XVariant::operator=(XVariant&& other) noexcept {
  if (this == &other) return *this;
  release();
  m_type = other.m_type;
  m_value = other.m_value;
  other.m_type = Type::Undef;
  other.m_value = Value();
  return *this;
}

void XVariant::release() noexcept {
  if (ownsText()) std::free(m_value.text);
  m_type = Type::Undef;
  m_value = Value();
}

bool XVariant::operator==(const XVariant& other) const {
  if (m_type != other.m_type) return false;
  switch (m_type) {
    case Type::Bool: return m_value.b == other.m_value.b;
    case Type::Int32:
    case Type::UInt32: return m_value.u32 == other.m_value.u32;
    case Type::Int64:
    case Type::UInt64: return m_value.u64 == other.m_value.u64;
    case Type::Double: return m_value.d == other.m_value.d;
    case Type::String:
    case Type::Json:
      if (m_value.text == nullptr || other.m_value.text == nullptr)
        return m_value.text == other.m_value.text;
      return std::strcmp(m_value.text, other.m_value.text) == 0;
    case Type::Timestamp:
      return m_value.ts.seconds == other.m_value.ts.seconds &&
             m_value.ts.nanoseconds == other.m_value.ts.nanoseconds;
    default:  // Undef, Null, and kind values outside the enumeration
      return true;
  }
}

namespace {

// seconds + nanoseconds / 1e9 (any nanoseconds, normalised or not) rounded to six places, half
// away from zero, as "[-]S.FFFFFF". Wider than int64, so that no value can overflow.
std::string timeText(const XTime::Timestamp& ts) {
  __extension__ using Wide = __int128;
  const Wide nanos = Wide{ts.seconds} * 1000000000 + ts.nanoseconds;
  const bool negative = nanos < 0;
  const Wide magnitude = negative ? -nanos : nanos;
  const Wide micros = (magnitude + 500) / 1000;
  // fmt prints 128-bit integers; only the whole seconds can exceed 64 bits.
  return fmt::format("{}{}.{:06}", negative ? "-" : "", micros / 1000000,
                     static_cast<std::int64_t>(micros % 1000000));
}

}  // namespace

std::string XVariant::toString() const {
  switch (m_type) {
    case Type::Null: return "<NULL>";
    case Type::Bool: return m_value.b ? "<TRUE>" : "<FALSE>";
    case Type::Int32: return fmt::format("{}", m_value.i32);
    case Type::UInt32: return fmt::format("{}", m_value.u32);
    case Type::Int64: return fmt::format("{}", m_value.i64);
    case Type::UInt64: return fmt::format("{}", m_value.u64);
    case Type::Double: return fmt::format("{:f}", m_value.d);
    case Type::String:
      return m_value.text == nullptr ? "<NULL>" : fmt::format("\"{}\"", m_value.text);
    case Type::Json: return m_value.text == nullptr ? "<NULL>" : std::string(m_value.text);
    case Type::Timestamp: return timeText(getTimestamp());
    default: return "<UNDEF>";
  }
}
