#include "report/form_body.h"

#include <cstdio>
#include <cstring>

#include "shell/buffer.h"

namespace {

// One formatted "wm_id3[n]=text&" with its terminator.
constexpr size_t ENTRY_SIZE = 1024;
// What the estimate adds per pair for "wm_id3[", the number, "]=" and "&".
constexpr size_t ENTRY_OVERHEAD = 20;

// Length of the longest prefix of escaped, at most limit bytes, that does
// not end inside a %XX escape.
size_t escapedPrefix(const char* escaped, size_t limit) {
  size_t i = 0;
  while (escaped[i] != '\0') {
    const size_t step = escaped[i] == '%' ? 3 : 1;
    if (i + step > limit) break;
    i += step;
  }
  return i;
}

}  // namespace

size_t writeTagFragment(char* out, size_t room, const TagPairs& pairs) {
  size_t used = 0;  // the fragment so far, every entry's "&" included
  size_t estimate = 0;
  bool stopped = false;  // the estimate or the fragment's size ended it
  for (const TagPair& pair : pairs) {
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
  return used + writeTagFragment(body + used, capacity - 1 - used, pairs);
}
