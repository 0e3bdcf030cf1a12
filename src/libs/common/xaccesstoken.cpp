#include "xcommon/xaccesstoken.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include "internal/fork_guard.h"
#include "internal/text_scan.h"
#include "xcommon/xlogger.h"
#include "xcommon/xutils/encoding.h"

namespace {

constexpr unsigned char CHECKSUM_SEED = 0x97;

unsigned char checksum(const unsigned char* record) {
  unsigned char sum = CHECKSUM_SEED;
  for (std::size_t i = 0; i + 1 < XAccessToken::RECORD_SIZE; ++i) sum ^= record[i];
  return sum;
}

using XInternal::shown;

// Fills `bytes` with kernel randomness in 0..254: a byte 255 is drawn again, so the record and
// its text keep their form. Nothing is kept between calls, so a forked child shares no draw with
// its parent or siblings.
void randomBytes(unsigned char* bytes, std::size_t count) {
  unsigned char pool[16];
  std::size_t filled = 0;
  while (filled < count) {
    const ssize_t got = getrandom(pool, sizeof pool, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::system_error(errno, std::generic_category(), "getrandom");
    for (ssize_t i = 0; i < got && filled < count; ++i)
      if (pool[i] != 255) bytes[filled++] = pool[i];
  }
}

}  // namespace

int XAccessToken::init() {
  const std::lock_guard<std::mutex> lock(XInternal::libcMutex());
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  return 1;
}

XAccessToken::XAccessToken() = default;

XAccessToken::XAccessToken(int validity, unsigned char flag) {
  randomBytes(m_record + 8, 10);
  const auto expiry =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(std::time(nullptr)) + validity);
  for (int i = 0; i < 8; ++i)
    m_record[i] = static_cast<unsigned char>(expiry >> (8 * i));  // little-endian
  m_record[18] = flag;
  m_record[19] = checksum(m_record);
  m_text = XUtils::base64urlEncode(m_record, RECORD_SIZE);
}

XAccessToken XAccessToken::generate(int validity, bool flag) {
  return XAccessToken(validity, static_cast<unsigned char>(flag ? 0 : 1));
}

XAccessToken::XAccessToken(const char* text, unsigned long length) {
  if (text == nullptr) text = "";
  m_text.assign(text, strnlen(text, length));  // a length past the NUL never reads beyond it
  if (XUtils::base64urlDecode(text, m_record, RECORD_SIZE) != static_cast<int>(RECORD_SIZE)) {
    XLOG(XLogger::WARNING, "Invalid access token {}", shown(m_text));
    return;
  }
  if (checksum(m_record) != m_record[19]) {
    XLOG(XLogger::WARNING, "Checksum error in access token {}", shown(m_text));
    return;
  }
  if (expiry() < static_cast<std::int64_t>(std::time(nullptr))) {
    XLOG(XLogger::WARNING, "Expired access token {}", shown(m_text));
    return;
  }
  m_valid = true;
}

std::int64_t XAccessToken::expiry() const {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | m_record[i];
  return static_cast<std::int64_t>(value);
}
