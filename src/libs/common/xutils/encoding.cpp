#include "xcommon/xutils/encoding.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace XUtils {
namespace {

constexpr std::uint8_t INVALID = 0xFF;

constexpr std::array<std::uint8_t, 256> hexValues() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = INVALID;
  for (unsigned c = 0; c < 10; ++c) t['0' + c] = static_cast<std::uint8_t>(c);
  for (unsigned c = 0; c < 6; ++c) {
    t['a' + c] = static_cast<std::uint8_t>(10 + c);
    t['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return t;
}
constexpr auto HEX_VALUES = hexValues();

// Byte value of every two-character pair (first character in the low byte, as loaded from
// memory on x86-64), or -1 when either is not a hex digit: one lookup per output byte.
struct HexPairTable {
  std::int16_t value[65536];
};
constexpr HexPairTable hexPairValues() {
  HexPairTable t{};
  for (unsigned i = 0; i < 65536; ++i) {
    const std::uint8_t hi = HEX_VALUES[i & 0xFF], lo = HEX_VALUES[i >> 8];
    t.value[i] = hi < 16 && lo < 16 ? static_cast<std::int16_t>((hi << 4) | lo) : std::int16_t{-1};
  }
  return t;
}
constexpr HexPairTable HEX_PAIR_VALUES = hexPairValues();

// Two output characters per byte, stored as one 16-bit copy.
constexpr std::array<std::array<char, 2>, 256> hexPairs() {
  constexpr char digits[] = "0123456789abcdef";
  std::array<std::array<char, 2>, 256> t{};
  for (unsigned b = 0; b < 256; ++b) t[b] = {digits[b >> 4], digits[b & 15]};
  return t;
}
constexpr auto HEX_PAIRS = hexPairs();

constexpr char STD_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char URL_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Encoding: one lookup per 12 bits gives two characters.
struct EncodeTable {
  char single[64];
  std::array<char, 2> pair[4096];
};

constexpr EncodeTable encodeTable(const char* alphabet) {
  EncodeTable t{};
  for (int i = 0; i < 64; ++i) t.single[i] = alphabet[i];
  for (int i = 0; i < 4096; ++i) t.pair[i] = {alphabet[i >> 6], alphabet[i & 63]};
  return t;
}
constexpr EncodeTable STD_ENCODE = encodeTable(STD_ALPHABET);
constexpr EncodeTable URL_ENCODE = encodeTable(URL_ALPHABET);

// Decoding: value of each byte, INVALID outside the alphabet (NUL and '=' included), plus four
// tables that place a character's six bits in a 24-bit group; bit 31 marks a byte that the
// fast path must leave to the careful one.
struct DecodeTable {
  std::uint8_t value[256];
  std::uint32_t shifted[4][256];
};
constexpr std::uint32_t STOP_BIT = 0x80000000u;

constexpr DecodeTable decodeTable(const char* alphabet) {
  DecodeTable t{};
  for (auto& v : t.value) v = INVALID;
  for (int i = 0; i < 64; ++i)
    t.value[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  for (int pos = 0; pos < 4; ++pos) {
    for (int c = 0; c < 256; ++c) {
      t.shifted[pos][c] = t.value[c] == INVALID
                              ? STOP_BIT
                              : static_cast<std::uint32_t>(t.value[c]) << (18 - 6 * pos);
    }
  }
  return t;
}
constexpr DecodeTable STD_DECODE = decodeTable(STD_ALPHABET);
constexpr DecodeTable URL_DECODE = decodeTable(URL_ALPHABET);

std::string encode(const EncodeTable& table, const void* data, std::size_t len, bool pad) {
  const auto* in = static_cast<const unsigned char*>(data);
  const std::size_t full = len / 3, rest = len % 3;
  const std::size_t outLen = full * 4 + (rest == 0 ? 0 : pad ? 4 : rest + 1);
  std::string out(outLen, '\0');
  char* o = out.data();
  for (std::size_t g = 0; g < full; ++g, in += 3, o += 4) {
    const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    std::memcpy(o, table.pair[v >> 12].data(), 2);
    std::memcpy(o + 2, table.pair[v & 0xFFF].data(), 2);
  }
  if (rest != 0) {
    const std::uint32_t v =
        (std::uint32_t{in[0]} << 16) | (rest == 2 ? std::uint32_t{in[1]} << 8 : 0);
    *o++ = table.single[(v >> 18) & 63];
    *o++ = table.single[(v >> 12) & 63];
    if (rest == 2) *o++ = table.single[(v >> 6) & 63];
    if (pad) {
      while (o != out.data() + outLen) *o++ = '=';
    }
  }
  return out;
}

// Whole groups of four alphabet bytes while three more bytes fit; it stops at a group boundary,
// so the careful tail continues with nothing collected. `end` is the NUL, measured first
// (strlen is vectorised) so that a group never reads past it. Returns where it stopped.
const unsigned char* decodeGroups(const DecodeTable& table, const unsigned char* p,
                                  const unsigned char* end, unsigned char* out, std::size_t size,
                                  std::size_t& written) {
  auto group4 = [&table](const unsigned char* q) {
    return table.shifted[0][q[0]] | table.shifted[1][q[1]] | table.shifted[2][q[2]] |
           table.shifted[3][q[3]];
  };
  while (end - p >= 8 && size - written >= 6) {
    const std::uint32_t a = group4(p), b = group4(p + 4);
    if ((a | b) & STOP_BIT) break;
    out[written] = static_cast<unsigned char>(a >> 16);
    out[written + 1] = static_cast<unsigned char>(a >> 8);
    out[written + 2] = static_cast<unsigned char>(a);
    out[written + 3] = static_cast<unsigned char>(b >> 16);
    out[written + 4] = static_cast<unsigned char>(b >> 8);
    out[written + 5] = static_cast<unsigned char>(b);
    written += 6;
    p += 8;
  }
  while (end - p >= 4 && size - written >= 3) {
    const std::uint32_t v = group4(p);
    if (v & STOP_BIT) break;
    out[written] = static_cast<unsigned char>(v >> 16);
    out[written + 1] = static_cast<unsigned char>(v >> 8);
    out[written + 2] = static_cast<unsigned char>(v);
    written += 3;
    p += 4;
  }
  return p;
}

// The rest one byte at a time: data up to NUL, '=', a byte outside the alphabet, or an
// alphabet byte that finds the buffer already full; then any number of '=' and the end.
int decodeTail(const DecodeTable& table, const unsigned char* p, unsigned char* out,
               std::size_t size, std::size_t written) {
  std::uint32_t group = 0;
  int collected = 0;
  auto put = [&](std::uint32_t byte) {
    if (written == size) return false;
    out[written++] = static_cast<unsigned char>(byte);
    return true;
  };
  for (; *p != '\0' && *p != '='; ++p) {
    const std::uint8_t v = table.value[*p];
    if (v == INVALID) {
      ++p;  // a stray byte: the end check starts after it
      break;
    }
    if (written == size) {
      ++p;  // one value more could give no byte; the end check starts after it
      break;
    }
    group = (group << 6) | v;
    if (++collected == 4) {
      if (!put(group >> 16) || !put(group >> 8) || !put(group)) return -1;
      group = 0;
      collected = 0;
    }
  }
  if (collected >= 2) {
    group <<= 6 * (4 - collected);
    if (!put(group >> 16)) return -1;
    if (collected == 3 && !put(group >> 8)) return -1;
  }
  while (*p == '=') ++p;
  return *p == '\0' ? static_cast<int>(written) : -1;
}

int decode(const DecodeTable& table, const char* text, void* buffer, std::size_t size) {
  if (text == nullptr) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t written = 0;
  p = decodeGroups(table, p, p + std::strlen(text), out, size, written);
  return decodeTail(table, p, out, size, written);
}

}  // namespace

std::string toHexStr(const void* data, std::size_t len) {
  const auto* in = static_cast<const unsigned char*>(data);
  std::string out(len * 2, '\0');
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 4 <= len; i += 4, o += 8) {  // four pairs per step, stored as one 8-byte copy
    char pairs[8];
    std::memcpy(pairs, HEX_PAIRS[in[i]].data(), 2);
    std::memcpy(pairs + 2, HEX_PAIRS[in[i + 1]].data(), 2);
    std::memcpy(pairs + 4, HEX_PAIRS[in[i + 2]].data(), 2);
    std::memcpy(pairs + 6, HEX_PAIRS[in[i + 3]].data(), 2);
    std::memcpy(o, pairs, 8);
  }
  for (; i < len; ++i, o += 2) std::memcpy(o, HEX_PAIRS[in[i]].data(), 2);
  return out;
}

std::size_t fromHexStr(std::string_view text, void* out, std::size_t size, std::size_t* consumed) {
  auto* o = static_cast<unsigned char*>(out);
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t pos = 0, written = 0;
  while (written < size && pos < n) {
    if (pos + 1 < n) {
      std::uint16_t pair;
      std::memcpy(&pair, t + pos, 2);
      const std::int16_t v = HEX_PAIR_VALUES.value[pair];
      if (v >= 0) {
        o[written++] = static_cast<unsigned char>(v);
        pos += 2;
        continue;
      }
    }
    if (std::isspace(t[pos]) == 0) break;  // a lone or broken pair stops here
    ++pos;
  }
  if (consumed != nullptr) *consumed = pos;
  return written;
}

std::size_t fromHexStr(const char* text, void* out, std::size_t size, const char** end) {
  if (text == nullptr || *text == '\0') {
    if (end != nullptr) *end = text;
    return 0;
  }
  std::size_t consumed = 0;
  const std::size_t written = fromHexStr(std::string_view(text), out, size, &consumed);
  if (end != nullptr) *end = text + consumed;
  return written;
}

std::string base64Encode(const void* data, std::size_t len) {
  return encode(STD_ENCODE, data, len, true);
}

std::string base64urlEncode(const void* data, std::size_t len) {
  return encode(URL_ENCODE, data, len, false);
}

int base64Decode(const char* text, void* out, std::size_t size) {
  return decode(STD_DECODE, text, out, size);
}

int base64urlDecode(const char* text, void* out, std::size_t size) {
  return decode(URL_DECODE, text, out, size);
}

}  // namespace XUtils
