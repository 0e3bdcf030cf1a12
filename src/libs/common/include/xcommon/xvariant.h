#pragma once

/// @file
/// XVariant, the tagged value that log fields and comparisons carry.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "xcommon/xcommon_export.h"
#include "xcommon/xtime.h"

/// A small tagged value (nothing, null, bool, integers, double, text, JSON text, time) that
/// compares itself with another and prints itself for logs. Texts are owned copies. One thread
/// at a time per object.
class XCOMMON_EXPORT XVariant {
 public:
  /// The kind of value held.
  enum class Type : std::uint8_t {
    Undef,      ///< No value: default-constructed, moved from or released.
    Null,       ///< An explicit null, made by createNull().
    Bool,       ///< A bool.
    Int32,      ///< A signed 32-bit integer (also every narrower integer).
    UInt32,     ///< An unsigned 32-bit integer.
    Int64,      ///< A signed 64-bit integer.
    UInt64,     ///< An unsigned 64-bit integer.
    Double,     ///< A double.
    String,     ///< An owned text, possibly null.
    Json,       ///< An owned JSON text, possibly null, never validated.
    Timestamp,  ///< An XTime::Timestamp.
  };

  /// A Type::Undef variant.
  XVariant() noexcept : m_type(Type::Undef), m_value() {}
  /// A Type::Null variant, printed as `<NULL>`.
  static XVariant createNull();

  /// @name Scalar constructors
  /// One constructor per integer width so that int, long, char (an int), 0 (an int, not a
  /// pointer) and long long each pick exactly one kind; a narrower integer widens to Int32.
  ///@{

  /// Type::Bool.
  XVariant(bool value) noexcept : m_type(Type::Bool), m_value() { m_value.b = value; }
  /// Type::Int32.
  XVariant(std::int32_t value) noexcept : m_type(Type::Int32), m_value() { m_value.i32 = value; }
  /// Type::UInt32.
  XVariant(std::uint32_t value) noexcept : m_type(Type::UInt32), m_value() { m_value.u32 = value; }
  /// Type::Int64.
  XVariant(std::int64_t value) noexcept : m_type(Type::Int64), m_value() { m_value.i64 = value; }
  /// Type::UInt64.
  XVariant(std::uint64_t value) noexcept : m_type(Type::UInt64), m_value() { m_value.u64 = value; }
  /// Type::Int64.
  XVariant(long long value) noexcept : XVariant(static_cast<std::int64_t>(value)) {}
  /// Type::UInt64.
  XVariant(unsigned long long value) noexcept : XVariant(static_cast<std::uint64_t>(value)) {}
  /// Type::Double.
  XVariant(double value) noexcept : m_type(Type::Double), m_value() { m_value.d = value; }
  /// Type::Timestamp.
  XVariant(XTime::Timestamp value) noexcept : m_type(Type::Timestamp), m_value() {
    m_value.ts = {value.seconds, value.nanoseconds};
  }
  ///@}

  /// Type::String holding a strdup copy; a null text (or an allocation failure) stays null and
  /// prints `<NULL>`.
  XVariant(const char* text);
  /// Type::String with a null text.
  XVariant(std::nullptr_t) noexcept : m_type(Type::String), m_value() {}
  /// Type::String holding at most `length` bytes of `text`, stopping early at a NUL byte
  /// (strndup).
  XVariant(const char* text, unsigned long length);
  /// Deleted: any other pointer would otherwise quietly become a Type::Bool.
  template <typename T, typename = std::enable_if_t<!std::is_same_v<std::remove_cv_t<T>, char>>>
  XVariant(T*) = delete;

  /// As XVariant(const char*), of kind Type::Json; the text is not validated.
  static XVariant createJson(const char* text);
  /// As XVariant(const char*, unsigned long), of kind Type::Json; the text is not validated.
  static XVariant createJson(const char* text, unsigned long length);

  /// A copy owns a fresh copy of the text. Copy and destruction are inline so that copying a
  /// text costs no more than its strdup and free.
  XVariant(const XVariant& other) : m_type(other.m_type), m_value(other.m_value) {
    if (ownsText() && m_value.text != nullptr) m_value.text = strdup(m_value.text);
  }
  /// Takes over the text; the moved-from variant is Type::Undef.
  XVariant(XVariant&& other) noexcept;
  /// Frees the current text and owns a fresh copy of the other's.
  XVariant& operator=(const XVariant& other);
  /// Frees the current text and takes over the other's; the moved-from variant is Type::Undef.
  XVariant& operator=(XVariant&& other) noexcept;
  /// Frees an owned text.
  ~XVariant() {
    if (ownsText()) std::free(m_value.text);
  }

  /// Frees an owned text; the variant is then Type::Undef and can be assigned again.
  void release() noexcept;

  /// Different kinds are never equal. Doubles compare as numbers (NaN != NaN, 0.0 == -0.0);
  /// texts with strcmp, a null text equal only to a null text.
  bool operator==(const XVariant& other) const;

  /// The value for a log line: `<UNDEF>`, `<NULL>`, `<TRUE>`/`<FALSE>`, decimal integers,
  /// doubles as `{:f}`, a text between double quotes (unescaped), JSON unquoted, a time as
  /// seconds.microseconds (rounded to the nearest microsecond, carried into the seconds).
  std::string toString() const;

  /// The kind held.
  Type type() const { return m_type; }

  /// @name Getters
  /// Each getter gives the value when the variant is of exactly that kind (no conversion
  /// between kinds, not even widening), otherwise the fallback.
  ///@{

  /// The value of a Type::Bool, otherwise `fallback`.
  bool getBool(bool fallback = false) const { return m_type == Type::Bool ? m_value.b : fallback; }
  /// The value of a Type::Int32, otherwise `fallback`.
  std::int32_t getInt32(std::int32_t fallback = 0) const {
    return m_type == Type::Int32 ? m_value.i32 : fallback;
  }
  /// The value of a Type::UInt32, otherwise `fallback`.
  std::uint32_t getUInt32(std::uint32_t fallback = 0) const {
    return m_type == Type::UInt32 ? m_value.u32 : fallback;
  }
  /// The value of a Type::Int64, otherwise `fallback`.
  std::int64_t getInt64(std::int64_t fallback = 0) const {
    return m_type == Type::Int64 ? m_value.i64 : fallback;
  }
  /// The value of a Type::UInt64, otherwise `fallback`.
  std::uint64_t getUInt64(std::uint64_t fallback = 0) const {
    return m_type == Type::UInt64 ? m_value.u64 : fallback;
  }
  /// The value of a Type::Double, otherwise `fallback`.
  double getDouble(double fallback = 0.0) const {
    return m_type == Type::Double ? m_value.d : fallback;
  }
  /// The owned text of a Type::String or Type::Json (possibly null), otherwise null. Valid
  /// until the variant changes.
  const char* getText() const {
    return m_type == Type::String || m_type == Type::Json ? m_value.text : nullptr;
  }
  /// The time of a Type::Timestamp, otherwise the zero timestamp.
  XTime::Timestamp getTimestamp() const {
    return m_type == Type::Timestamp ? XTime::Timestamp{m_value.ts.seconds, m_value.ts.nanoseconds}
                                     : XTime::Timestamp{};
  }
  ///@}

 private:
  // XTime::Timestamp has default member initialisers, which a union member may not have.
  struct Time {
    std::int64_t seconds;
    std::int32_t nanoseconds;
  };
  // Value-initialisation zeroes the first member, the largest, and so the whole slot.
  union Value {
    Time ts;
    bool b;
    std::int32_t i32;
    std::uint32_t u32;
    std::int64_t i64;
    std::uint64_t u64;
    double d;
    char* text;
  };

  bool ownsText() const { return m_type == Type::String || m_type == Type::Json; }

  Type m_type;
  Value m_value;
};
