#pragma once

/// @file
/// XAccessToken: short-lived, checksummed access tokens carried as base64url text.

#include <cstdint>
#include <string>

#include "xcommon/xcommon_export.h"

/// A short-lived access token: a 20-byte record (expiry, 10 random bytes, a flag byte, a
/// checksum) carried as 27 characters of unpadded base64url. Only form, checksum and expiry
/// are checked; there is no key. The random bytes come from the kernel (getrandom(2)), each in
/// 0..254, so tokens made in different threads or forked workers never repeat one another's
/// and cannot be foreseen from the clock.
class XCOMMON_EXPORT XAccessToken {
 public:
  static constexpr std::size_t RECORD_SIZE = 20;  ///< Bytes in the decoded record.

  /// Seeds rand() with the current second for the whole process, for callers that use rand();
  /// returns 1. Tokens do not depend on it.
  static int init();

  XAccessToken();  ///< empty: zero record, not valid, no text

  /// A new token expiring `validity` seconds from now, its random bytes from getrandom(2) (one
  /// call, about a microsecond). It is not marked valid: validity reports the checks of the
  /// parsing constructor only. Throws std::system_error when the kernel gives no random bytes.
  XAccessToken(int validity, unsigned char flag);
  /// A new token as the constructor makes it. A true flag is stored as the byte 0, a false one
  /// as 1.
  static XAccessToken generate(int validity, bool flag);

  /// Rebuilds and checks a token from a NUL-terminated text of `length` characters. A rejected
  /// token logs one WARNING and keeps what was decoded, so expiry() and flag() stay readable.
  XAccessToken(const char* text, unsigned long length);

  /// True only for a parsed token whose form, checksum and expiry passed.
  [[nodiscard]] bool is_valid() const { return m_valid; }
  /// The base64url form: encoded for a new token, as given for a parsed one, empty otherwise.
  const std::string& text() const { return m_text; }
  /// When the token expires, in seconds since the epoch.
  std::int64_t expiry() const;
  /// The flag byte; generate() stores true as 0 and false as 1.
  unsigned char flag() const { return m_record[18]; }
  /// The RECORD_SIZE bytes of the record, owned by the token.
  const unsigned char* record() const { return m_record; }

 private:
  unsigned char m_record[RECORD_SIZE] = {};
  bool m_valid = false;
  std::string m_text;
};
