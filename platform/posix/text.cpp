// The port's text conversions on POSIX, where the narrow texts are UTF-8:
// every code page converts as UTF-8.
#include <cstdint>

#include "platform/port.h"
#include "platform/posix/errors.h"

namespace platform {
namespace {

constexpr uint32_t INSUFFICIENT_BUFFER = 122;  // ERROR_INSUFFICIENT_BUFFER
constexpr uint32_t INVALID_PARAMETER = 87;     // ERROR_INVALID_PARAMETER
constexpr uint32_t REPLACEMENT = 0xFFFD;

// The code point of the well-formed UTF-8 sequence at text[i] (at most
// length - i bytes), and its length in n; U+FFFD for one byte otherwise.
uint32_t decodeUtf8(const unsigned char* text, size_t length, size_t i, size_t* n) {
  const unsigned char lead = text[i];
  *n = 1;
  if (lead < 0x80) return lead;
  size_t size;
  uint32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2, cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3, cp = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4, cp = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return REPLACEMENT;
  }
  if (length - i < size) return REPLACEMENT;
  for (size_t k = 1; k < size; ++k) {
    const unsigned char b = text[i + k];
    if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return REPLACEMENT;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  *n = size;
  return cp;
}

template <typename Unit>
size_t measure(const Unit* text, int length) {
  if (length >= 0) return static_cast<size_t>(length);
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n + 1;  // the terminator too
}

// Writes units to out while they fit capacity (counting only when
// capacity is 0); false once they do not.
template <typename Unit>
bool put(Unit* out, int capacity, size_t& used, const Unit* units, size_t count) {
  if (capacity != 0) {
    if (used + count > static_cast<size_t>(capacity)) return false;
    for (size_t k = 0; k < count; ++k) out[used + k] = units[k];
  }
  used += count;
  return true;
}

int finish(size_t used) {
  if (used > 0x7FFFFFFF) {
    setLastError(INSUFFICIENT_BUFFER);
    return 0;
  }
  return static_cast<int>(used);
}

bool knownCodePage(uint32_t codePage) {
  if (codePage == ANSI_CODE_PAGE || codePage == UTF8_CODE_PAGE) return true;
  setLastError(INVALID_PARAMETER);
  return false;
}

}  // namespace

uint32_t ansiCodePage() { return UTF8_CODE_PAGE; }

int multiByteToWide(uint32_t codePage, const char* text, int length, uint16_t* wide, int capacity) {
  if (!knownCodePage(codePage) || text == nullptr || capacity < 0 ||
      (capacity > 0 && wide == nullptr)) {
    setLastError(INVALID_PARAMETER);
    return 0;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const size_t count = measure(bytes, length);
  size_t used = 0;
  for (size_t i = 0; i < count;) {
    size_t n;
    const uint32_t cp = decodeUtf8(bytes, count, i, &n);
    i += n;
    uint16_t units[2];
    size_t unitCount = 1;
    if (cp >= 0x10000) {
      units[0] = static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
      units[1] = static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      unitCount = 2;
    } else {
      units[0] = static_cast<uint16_t>(cp);
    }
    if (!put(wide, capacity, used, units, unitCount)) {
      setLastError(INSUFFICIENT_BUFFER);
      return 0;
    }
  }
  return finish(used);
}

int wideToMultiByte(uint32_t codePage, const uint16_t* wide, int length, char* text, int capacity) {
  if (!knownCodePage(codePage) || wide == nullptr || capacity < 0 ||
      (capacity > 0 && text == nullptr)) {
    setLastError(INVALID_PARAMETER);
    return 0;
  }
  const size_t count = measure(wide, length);
  size_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = wide[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = REPLACEMENT;
    }
    char bytes[4];
    size_t n;
    if (cp < 0x80) {
      bytes[0] = static_cast<char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
      bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    if (!put(text, capacity, used, bytes, n)) {
      setLastError(INSUFFICIENT_BUFFER);
      return 0;
    }
  }
  return finish(used);
}

}  // namespace platform
