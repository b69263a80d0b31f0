#include "tags/unicode_text.h"

#include <cstdint>
#include <cstring>

namespace {

// Appends code point cp as UTF-8 at out + len unless that would take the
// text past limit bytes; false when it does not fit.
bool appendUtf8(char* out, size_t& len, size_t limit, uint32_t cp) {
  unsigned char bytes[4];
  size_t n;
  if (cp < 0x80) {
    bytes[0] = static_cast<unsigned char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  if (len + n > limit) return false;
  std::memcpy(out + len, bytes, n);
  len += n;
  return true;
}

uint32_t unitAt(const unsigned char* units, size_t i) {
  return (uint32_t{units[2 * i]} << 8) | units[2 * i + 1];
}

bool isHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

size_t utf16ToUtf8(const unsigned char* units, size_t count, char* out, size_t limit) {
  size_t len = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = unitAt(units, i);
    if (cp == 0) break;
    if (isHighSurrogate(cp) && i + 1 < count && isLowSurrogate(unitAt(units, i + 1))) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unitAt(units, i + 1) - 0xDC00);
      ++i;
    } else if (isHighSurrogate(cp) || isLowSurrogate(cp)) {
      cp = 0xFFFD;
    }
    if (!appendUtf8(out, len, limit, cp)) break;
  }
  out[len] = '\0';
  return len;
}

size_t latin1ToUtf8InPlace(char* buffer, size_t limit) {
  const size_t len = std::strlen(buffer);
  // Converted from the end, each byte to its place after the ones before it.
  size_t outLen = 0;
  size_t fits = 0;
  for (; fits < len; ++fits) {
    const size_t n = static_cast<unsigned char>(buffer[fits]) < 0x80 ? 1 : 2;
    if (outLen + n > limit) break;
    outLen += n;
  }
  size_t at = outLen;
  buffer[at] = '\0';
  for (size_t i = fits; i-- > 0;) {
    const auto c = static_cast<unsigned char>(buffer[i]);
    if (c < 0x80) {
      buffer[--at] = static_cast<char>(c);
    } else {
      buffer[--at] = static_cast<char>(0x80 | (c & 0x3F));
      buffer[--at] = static_cast<char>(0xC0 | (c >> 6));
    }
  }
  return outLen;
}
