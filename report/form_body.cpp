#include "report/form_body.h"

#include <cstdio>
#include <cstring>

#include "base/buffer.h"
#include "platform/unicode.h"

namespace {

// One formatted "wm_id3[n]=text&" with its terminator.
constexpr size_t ENTRY_SIZE = 1024;
// What the estimate adds per pair for "wm_id3[", the number, "]=" and "&".
constexpr size_t ENTRY_OVERHEAD = 20;

// The byte the escaped unit at escaped[i] stands for; *width is 3 for a
// %XX escape and 1 for a byte kept as it is.
unsigned char unitAt(const char* escaped, size_t i, size_t* width) {
  const auto hex = [](char c) {
    return static_cast<unsigned>(c <= '9' ? c - '0' : (c & ~0x20) - 'A' + 10);
  };
  if (escaped[i] != '%') {
    *width = 1;
    return static_cast<unsigned char>(escaped[i]);
  }
  *width = 3;
  return static_cast<unsigned char>(hex(escaped[i + 1]) << 4 | hex(escaped[i + 2]));
}

// The escaped length of the character at escaped[i]: a well-formed UTF-8
// sequence is one character, and so is any byte that does not start one
// (a code-page title in the old mode cuts between its bytes). Every byte a
// sequence continues with is a %XX escape: a byte kept as it is (or the
// terminator) continues none.
size_t characterAt(const char* escaped, size_t i) {
  size_t first;
  const unsigned char lead = unitAt(escaped, i, &first);
  const auto byteAt = [&](size_t k) -> unsigned {
    if (k == 0) return lead;
    const size_t at = i + first + 3 * (k - 1);
    size_t width;
    return escaped[at] == '%' ? unitAt(escaped, at, &width) : unicode::NO_BYTE;
  };
  uint32_t cp;
  const size_t size = unicode::utf8Sequence(byteAt, &cp);
  return size <= 1 ? first : first + 3 * (size - 1);
}

// Length of the longest prefix of escaped, at most limit bytes, that ends
// between characters (and so never inside a %XX escape).
size_t escapedPrefix(const char* escaped, size_t limit) {
  size_t i = 0;
  while (escaped[i] != '\0') {
    const size_t step = characterAt(escaped, i);
    if (i + step > limit) break;
    i += step;
  }
  return i;
}

// The tag fragment of pairs, a tag reader's or a snapshot's (each pair with
// its number and text): writeTagFragment.
template <typename Pairs>
size_t writeFragment(char* out, size_t room, const Pairs& pairs) {
  size_t used = 0;  // the fragment so far, every entry's "&" included
  size_t estimate = 0;
  bool stopped = false;  // the estimate or the fragment's size ended it
  for (const auto& pair : pairs) {
    // When escaping cannot allocate (the "Out of memory" box has been
    // shown), the entry goes out with an empty value.
    const Buffer escaped = escapeValue(pair.text.c_str());
    const char* text = escaped ? escaped.get() : "";
    estimate += std::strlen(text) + ENTRY_OVERHEAD;
    if (estimate > TAG_FRAGMENT_SIZE) {
      stopped = true;
      break;
    }
    char head[32];
    const int headLength = std::snprintf(head, sizeof head, "wm_id3[%d]=", pair.number);
    if (headLength < 0) break;
    const size_t headSize = static_cast<size_t>(headLength);
    const size_t keep = escapedPrefix(text, ENTRY_SIZE - headSize - 2);
    const size_t length = headSize + keep + 1;
    // The estimate already bounds the fragment; this only guards it.
    if (used + length >= TAG_FRAGMENT_SIZE) {
      stopped = true;
      break;
    }
    // An entry fits when it does without its "&", which may then take the
    // terminator's place for a moment.
    if (used + length - 1 > room) break;
    std::memcpy(out + used, head, headSize);
    std::memcpy(out + used + headSize, text, keep);
    out[used + length - 1] = '&';
    used += length;
  }
  // The "&" after the last entry stays only when the walk was stopped and
  // it fits.
  if (used > 0 && (!stopped || used > room)) --used;
  out[used] = '\0';
  return used;
}

}  // namespace

size_t writeTagFragment(char* out, size_t room, const TagPairs& pairs) {
  return writeFragment(out, room, pairs);
}

size_t writeFormBody(char* body, size_t capacity, long status, const char* title) {
  if (capacity == 0) return 0;
  const int head = std::snprintf(body, capacity,
                                 "wm_action=wm_data&wm_data[status]=%ld&wm_data[title]=", status);
  size_t used = head < 0 ? 0 : static_cast<size_t>(head);
  if (used > capacity - 1) used = capacity - 1;
  // A title that cannot be escaped (the "Out of memory" box has been shown)
  // is sent as the empty text.
  const Buffer escaped = escapeValue(title);
  const char* text = escaped ? escaped.get() : "";
  const size_t titleLength = escapedPrefix(text, capacity - 1 - used);
  std::memcpy(body + used, text, titleLength);
  used += titleLength;
  body[used] = '\0';
  return used;
}

size_t appendTagFragment(char* body, size_t capacity, size_t used, const TagPairs& pairs) {
  if (used + 1 >= capacity) return used;
  body[used++] = '&';
  return used + writeFragment(body + used, capacity - 1 - used, pairs);
}

size_t writeBody(const PlayerSnapshot& snapshot, char* body, size_t capacity) {
  size_t used = writeFormBody(body, capacity, snapshot.status, snapshot.title.c_str());
  if (!snapshot.frames || used + 1 >= capacity) return used;
  body[used++] = '&';
  return used + writeFragment(body + used, capacity - 1 - used, *snapshot.frames);
}
