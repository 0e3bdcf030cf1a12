#include "xcommon/xaccesstoken.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

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

}  // namespace

int XAccessToken::init() {
  const std::lock_guard<std::mutex> lock(XInternal::libcMutex());
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  return 1;
}

XAccessToken::XAccessToken() = default;

XAccessToken::XAccessToken(int validity, unsigned char flag) {
  {
    const std::lock_guard<std::mutex> lock(XInternal::libcMutex());
    for (auto& byte : m_record) byte = static_cast<unsigned char>(std::rand() % 255);
  }
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
