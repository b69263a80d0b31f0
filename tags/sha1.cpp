#include "tags/sha1.h"

#include <cstdint>
#include <cstring>

namespace {

uint32_t rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

void sha1Block(uint32_t h[5], const unsigned char* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
           uint32_t{block[4 * i + 2]} << 8 | uint32_t{block[4 * i + 3]};
  }
  for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d), k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d, k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d, k = 0xCA62C1D6;
    }
    const uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d, d = c, c = rotl(b, 30), b = a, a = t;
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
}

}  // namespace

std::string sha1Hex(std::string_view bytes) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t whole = bytes.size() / 64 * 64;
  for (size_t i = 0; i < whole; i += 64) sha1Block(h, p + i);
  // The tail, the 0x80 byte, zeros and the length in bits (one or two
  // blocks).
  unsigned char tail[128] = {};
  const size_t rest = bytes.size() - whole;
  if (rest > 0) std::memcpy(tail, p + whole, rest);
  tail[rest] = 0x80;
  const size_t blocks = rest < 56 ? 1 : 2;
  const uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
  for (int i = 0; i < 8; ++i)
    tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  for (size_t b = 0; b < blocks; ++b) sha1Block(h, tail + 64 * b);
  static const char HEX[] = "0123456789abcdef";
  std::string out;
  for (const uint32_t word : h) {
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(HEX[(word >> shift) & 0xF]);
  }
  return out;
}
