#include "xcommon/xutils/encoding.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string decodeToString(int (*decoder)(const char*, void*, std::size_t), const std::string& text,
                           std::size_t size, int* result) {
  std::vector<unsigned char> buf(size + 8, 0xEE);  // guard bytes after the buffer
  *result = decoder(text.c_str(), buf.data(), size);
  for (std::size_t i = size; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE) << "overrun at " << i;
  return std::string(buf.begin(), buf.begin() + static_cast<long>(*result > 0 ? *result : 0));
}

int decodeStd(const std::string& text, std::string* out, std::size_t size = 256) {
  int r = 0;
  *out = decodeToString(XUtils::base64Decode, text, size, &r);
  return r;
}

// The decoding rules written out literally, byte by byte: the oracle for the table-driven code.
int referenceDecode(const char* alphabet, const char* text, unsigned char* out, std::size_t size) {
  if (text == nullptr || *text == '\0') return 0;
  std::size_t written = 0, i = 0;
  unsigned vals[4];
  int n = 0;
  bool full = false;
  if (text[0] != '=') {
    for (;; ++i) {
      const char c = text[i];
      if (c == '\0' || c == '=') break;
      const char* hit = std::strchr(alphabet, c);
      if (hit == nullptr) {
        ++i;
        break;
      }
      if (written == size) {
        full = true;
        ++i;
        break;
      }
      vals[n++] = static_cast<unsigned>(hit - alphabet);
      if (n == 4) {
        const unsigned v = (vals[0] << 18) | (vals[1] << 12) | (vals[2] << 6) | vals[3];
        for (int k = 0; k < 3; ++k) {
          if (written == size) return -1;
          out[written++] = static_cast<unsigned char>(v >> (16 - 8 * k));
        }
        n = 0;
      }
    }
    (void)full;
    if (n >= 2) {
      for (int k = n; k < 4; ++k) vals[k] = 0;
      const unsigned v = (vals[0] << 18) | (vals[1] << 12) | (vals[2] << 6) | vals[3];
      for (int k = 0; k < n - 1; ++k) {
        if (written == size) return -1;
        out[written++] = static_cast<unsigned char>(v >> (16 - 8 * k));
      }
    }
  }
  while (text[i] == '=') ++i;
  return text[i] == '\0' ? static_cast<int>(written) : -1;
}

const char* STD = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char* URL = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

TEST(Hex, EncodesLowerCaseAndDecodesEitherCase) {
  const unsigned char bytes[] = {0x00, 0x9f, 0xAB, 0xff, 0x10};
  EXPECT_EQ(XUtils::toHexStr(bytes, sizeof bytes), "009fabff10");
  EXPECT_EQ(XUtils::toHexStr(bytes, 0), "");
  unsigned char out[8];
  std::size_t consumed = 99;
  EXPECT_EQ(XUtils::fromHexStr(std::string_view("009FaBfF10"), out, sizeof out, &consumed), 5u);
  EXPECT_EQ(consumed, 10u);
  EXPECT_EQ(std::memcmp(out, bytes, 5), 0);
}

TEST(Hex, StopPositions) {
  unsigned char out[8] = {};
  std::size_t consumed = 99;
  struct Case {
    const char* text;
    std::size_t size, written, consumed;
  };
  const Case cases[] = {
      {"ab cd", 8, 2, 5},                            // whitespace between pairs is skipped
      {"  ab\t\ncd  ", 8, 2, 10}, {"a b", 8, 0, 0},  // not inside a pair: stops at the first digit
      {"abc", 8, 1, 2},                              // a lone last digit is left
      {"abcdef", 2, 2, 4},                           // size reached: stops just after the pair
      {"ab  ", 1, 1, 2},                             // ... and later whitespace is not skipped
      {"abzz", 8, 1, 2},          {"", 8, 0, 0},    {"abcd", 0, 0, 0}, {"   ", 8, 0, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(XUtils::fromHexStr(std::string_view(c.text), out, c.size, &consumed), c.written)
        << c.text;
    EXPECT_EQ(consumed, c.consumed) << c.text;
  }
  const char* text = "0102 zz";
  const char* end = nullptr;
  EXPECT_EQ(XUtils::fromHexStr(text, out, sizeof out, &end), 2u);
  EXPECT_EQ(end, text + 5);
  EXPECT_EQ(XUtils::fromHexStr(static_cast<const char*>(nullptr), out, sizeof out, &end), 0u);
  EXPECT_EQ(end, nullptr);
}

TEST(Base64, EncodesGroupsAndPadding) {
  EXPECT_EQ(XUtils::base64Encode("", 0), "");
  EXPECT_EQ(XUtils::base64urlEncode("", 0), "");
  EXPECT_EQ(XUtils::base64Encode("f", 1), "Zg==");
  EXPECT_EQ(XUtils::base64Encode("fo", 2), "Zm8=");
  EXPECT_EQ(XUtils::base64Encode("foo", 3), "Zm9v");
  EXPECT_EQ(XUtils::base64Encode("foobar", 6), "Zm9vYmFy");
  EXPECT_EQ(XUtils::base64urlEncode("f", 1), "Zg");
  EXPECT_EQ(XUtils::base64urlEncode("fo", 2), "Zm8");
  EXPECT_EQ(XUtils::base64urlEncode("foo", 3), "Zm9v");
  const unsigned char high[] = {0xfb, 0xff, 0xbf};
  EXPECT_EQ(XUtils::base64Encode(high, 3), "+/+/");
  EXPECT_EQ(XUtils::base64urlEncode(high, 3), "-_-_");
}

TEST(Base64, PaddingIsOptionalAndStrayBytesAreRefused) {
  std::string out;
  EXPECT_EQ(decodeStd("Zm8=", &out), 2);
  EXPECT_EQ(out, "fo");
  EXPECT_EQ(decodeStd("Zm8", &out), 2);
  EXPECT_EQ(decodeStd("Zm8===", &out), 2);
  EXPECT_EQ(out, "fo");
  EXPECT_EQ(decodeStd("", &out), 0);
  EXPECT_EQ(decodeStd("==", &out), 0);
  EXPECT_EQ(decodeStd("Z", &out), 0);  // a single leftover value gives nothing
  EXPECT_EQ(decodeStd("Zm 9v", &out), -1);
  EXPECT_EQ(decodeStd("Zm\n9v", &out), -1);
  EXPECT_EQ(decodeStd("Zm8=x", &out), -1);
  EXPECT_EQ(decodeStd("Zm9v\n", &out), 3);  // one stray byte at the very end is tolerated
  EXPECT_EQ(decodeStd("Zm8\n==", &out), 2);
  EXPECT_EQ(decodeStd("-_-_", &out), -1);  // the other alphabet
  EXPECT_EQ(decodeStd("Zm9v-", &out), 3);
  int r = 0;
  decodeToString(XUtils::base64urlDecode, "+/+/", 16, &r);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(XUtils::base64Decode(nullptr, nullptr, 0), 0);
}

TEST(Base64, BufferLimits) {
  const std::string token = "AAECAwQFBgcICQoLDA0ODxAREhM";  // 20 bytes, 27 characters
  int r = 0;
  const std::string full = decodeToString(XUtils::base64urlDecode, token, 20, &r);
  EXPECT_EQ(r, 20);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(full[static_cast<std::size_t>(i)], static_cast<char>(i));
  decodeToString(XUtils::base64urlDecode, token, 19, &r);
  EXPECT_EQ(r, -1);
  std::string out;
  EXPECT_EQ(decodeStd("Zm9v", &out, 3), 3);
  EXPECT_EQ(decodeStd("Zm9vY", &out, 3), 3);  // one value more gives no byte anyway
  EXPECT_EQ(decodeStd("Zm9vYm", &out, 3), -1);
  EXPECT_EQ(decodeStd("Zm9v", &out, 2), -1);
  EXPECT_EQ(decodeStd("Zm9v", &out, 0), -1);
}

// Random bytes of every length round-trip through both alphabets and hex.
TEST(Base64, RoundTripsEveryLength) {
  std::mt19937 rng(1234);
  for (std::size_t len = 0; len <= 300; ++len) {
    std::string bytes(len, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    const std::string s = XUtils::base64Encode(bytes.data(), len);
    const std::string u = XUtils::base64urlEncode(bytes.data(), len);
    ASSERT_EQ(s.size(), (len + 2) / 3 * 4);
    ASSERT_EQ(u.size(), len / 3 * 4 + (len % 3 == 0 ? 0 : len % 3 + 1));
    int r = 0;
    ASSERT_EQ(decodeToString(XUtils::base64Decode, s, len, &r), bytes) << len;
    ASSERT_EQ(r, static_cast<int>(len));
    ASSERT_EQ(decodeToString(XUtils::base64urlDecode, u, len, &r), bytes) << len;
    ASSERT_EQ(r, static_cast<int>(len));
    if (len > 0) {  // one byte too small: -1, and the guard bytes stay untouched
      decodeToString(XUtils::base64Decode, s, len - 1, &r);
      ASSERT_EQ(r, -1) << len;
    }
    std::string back(len, '\0');
    ASSERT_EQ(XUtils::fromHexStr(XUtils::toHexStr(bytes.data(), len), back.data(), len), len);
    ASSERT_EQ(back, bytes) << len;
  }
}

// Valid and corrupted texts, into buffers of random sizes: the decoders agree with the
// literal reference in result and in every byte written.
TEST(Base64, AgreesWithTheReferenceOnCorruptedText) {
  std::mt19937 rng(99);
  const std::string noise = "=\n -_+/\x01\xff.A";
  for (int round = 0; round < 20000; ++round) {
    const bool url = round % 2 == 1;
    std::string bytes(rng() % 40, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    std::string text = url ? XUtils::base64urlEncode(bytes.data(), bytes.size())
                           : XUtils::base64Encode(bytes.data(), bytes.size());
    const int edits = static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = rng() % (text.size() + 1);
      const char c = noise[rng() % noise.size()];
      if (rng() % 2 == 0 && at < text.size())
        text[at] = c;
      else
        text.insert(at, 1, c);
    }
    const std::size_t size = rng() % 2 == 0 ? bytes.size() : rng() % 45;
    std::vector<unsigned char> want(size + 1, 0xEE), got(size + 1, 0xEE);
    const int expected = referenceDecode(url ? URL : STD, text.c_str(), want.data(), size);
    const int actual =
        (url ? XUtils::base64urlDecode : XUtils::base64Decode)(text.c_str(), got.data(), size);
    ASSERT_EQ(actual, expected) << (url ? "url " : "std ") << text << " size " << size;
    ASSERT_EQ(got, want) << text;
  }
}
