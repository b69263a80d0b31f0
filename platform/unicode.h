// Text conversion between UTF-8, UTF-16 and Latin-1, and where UTF-8 text
// may be cut: one module for the tag readers, the repair pass, the title
// and both backends. Header-only, so the backends share it without the
// core. A surrogate without its partner becomes U+FFFD; so does, in UTF-8,
// every byte that starts no well-formed sequence. The routines that build a
// std::string throw std::bad_alloc when memory runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace unicode {

constexpr uint32_t REPLACEMENT = 0xFFFD;

// The UTF-8 bytes of code point cp into bytes; returns how many (1 to 4).
inline size_t encodeUtf8(uint32_t cp, char bytes[4]) {
  if (cp < 0x80) {
    bytes[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
  bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

inline void appendUtf8(std::string& out, uint32_t cp) {
  char bytes[4];
  out.append(bytes, encodeUtf8(cp, bytes));
}

// The one UTF-8 decoder. The sequence's bytes come from byteAt(0),
// byteAt(1), ..., each a byte's value or NO_BYTE where the text has no more;
// byteAt(k) is asked only once byteAt(k - 1) has continued the sequence.
// Returns the length of the well-formed sequence they start (1 to 4), its
// code point in *cp, or 0 when none starts there: no overlong forms, no
// surrogates, nothing past U+10FFFF.
constexpr unsigned NO_BYTE = 0x100;
template <typename ByteAt>
size_t utf8Sequence(ByteAt byteAt, uint32_t* cp) {
  const unsigned lead = byteAt(size_t{0});
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  size_t size;
  uint32_t value;
  unsigned low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2, value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3, value = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4, value = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k < size; ++k) {
    const unsigned b = byteAt(k);
    if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return 0;
    value = (value << 6) | (b & 0x3Fu);
  }
  *cp = value;
  return size;
}

// The length of the well-formed UTF-8 sequence at text[i] (of length
// bytes), or 0 when none starts there; its code point in *cp.
inline size_t utf8SequenceAt(const unsigned char* text, size_t length, size_t i, uint32_t* cp) {
  return utf8Sequence([&](size_t k) { return i + k < length ? unsigned{text[i + k]} : NO_BYTE; },
                      cp);
}

// Hands put the code points of count UTF-16 units, unitAt(i) giving unit
// i, until put returns false.
template <typename UnitAt, typename Put>
void decodeUtf16(size_t count, UnitAt unitAt, Put put) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = unitAt(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && unitAt(i + 1) >= 0xDC00 &&
        unitAt(i + 1) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = REPLACEMENT;
    }
    if (!put(cp)) return;
  }
}

// count UTF-16 units (in the machine's order) as UTF-8.
inline std::string utf16ToUtf8(const uint16_t* units, size_t count) {
  std::string out;
  out.reserve(count);
  decodeUtf16(
      count, [&](size_t i) -> uint32_t { return units[i]; },
      [&](uint32_t cp) {
        appendUtf8(out, cp);
        return true;
      });
  return out;
}

// count UTF-16 units stored as byte pairs in the given order, as UTF-8.
inline std::string utf16BytesToUtf8(const unsigned char* bytes, size_t count, bool littleEndian) {
  std::string out;
  out.reserve(count);
  decodeUtf16(
      count,
      [&](size_t i) -> uint32_t {
        return littleEndian ? (uint32_t{bytes[2 * i + 1]} << 8 | bytes[2 * i])
                            : (uint32_t{bytes[2 * i]} << 8 | bytes[2 * i + 1]);
      },
      [&](uint32_t cp) {
        appendUtf8(out, cp);
        return true;
      });
  return out;
}

// The same, big-endian, into out (limit + 1 bytes) and terminated: stops at
// a zero unit or before the first character that would take the text past
// limit bytes, never inside one. Returns the length written.
inline size_t utf16BytesToUtf8(const unsigned char* bytes, size_t count, char* out, size_t limit) {
  size_t len = 0;
  decodeUtf16(
      count, [&](size_t i) -> uint32_t { return uint32_t{bytes[2 * i]} << 8 | bytes[2 * i + 1]; },
      [&](uint32_t cp) {
        char b[4];
        const size_t n = encodeUtf8(cp, b);
        if (cp == 0 || len + n > limit) return false;
        for (size_t k = 0; k < n; ++k) out[len + k] = b[k];
        len += n;
        return true;
      });
  out[len] = '\0';
  return len;
}

// UTF-8 text as UTF-16 units (in the machine's order).
inline std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = REPLACEMENT;
    const size_t n = utf8SequenceAt(bytes, text.size(), i, &cp);
    i += n == 0 ? 1 : n;
    if (n == 0) cp = REPLACEMENT;
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

// Latin-1 text as UTF-8.
inline std::string latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

// Whether text is well-formed UTF-8 throughout.
inline bool isUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const size_t n = utf8SequenceAt(bytes, text.size(), i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// A tag frame's text in UTF-8: frames are UTF-8 already, or, when posts
// are not UTF-8 throughout, Latin-1 bytes as stored, converted here.
inline std::string frameTextUtf8(std::string_view text) {
  return isUtf8(text) ? std::string(text) : latin1ToUtf8(text);
}

// The length of the longest prefix of text, at most limit bytes, that ends
// between characters: a well-formed UTF-8 sequence is kept or left out
// whole, and a byte that starts none counts as a character of its own.
inline size_t utf8Prefix(std::string_view text, size_t limit) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    uint32_t cp;
    const size_t n = utf8SequenceAt(bytes, text.size(), i, &cp);
    const size_t step = n == 0 ? 1 : n;
    if (i + step > limit) break;
    i += step;
  }
  return i;
}

}  // namespace unicode
