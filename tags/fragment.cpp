#include "tags/fragment.h"

#include <cstdio>
#include <cstring>

#include "shell/buffer.h"
#include "tags/tag_fields.h"

namespace {

// One formatted "wm_id3[n]=text&" with its terminator.
constexpr size_t ENTRY_SIZE = 1024;
// What the estimate adds per entry for "wm_id3[", the number, "]=" and "&".
constexpr size_t ENTRY_OVERHEAD = 20;

// Formats "wm_id3[number]=value&" into entry, cutting value where a %XX
// escape starts so that the whole entry fits ENTRY_SIZE. Returns its length.
size_t formatEntry(char* entry, int number, const char* value) {
  const int head = std::snprintf(entry, ENTRY_SIZE, "wm_id3[%d]=", number);
  if (head < 0 || static_cast<size_t>(head) + 2 > ENTRY_SIZE) return 0;
  const size_t keep = escapedPrefix(value, ENTRY_SIZE - static_cast<size_t>(head) - 2);
  std::memcpy(entry + head, value, keep);
  size_t len = static_cast<size_t>(head) + keep;
  entry[len++] = '&';
  entry[len] = '\0';
  return len;
}

}  // namespace

bool appendFrame(FragmentBuilder& builder, int number, const char* value) {
  if (builder.stopped) return false;
  // When escaping cannot allocate, the entry goes out with an empty value.
  const Buffer escaped = escapeValue(value);
  if (!escaped) builder.lossy = true;
  const char* text = escaped ? escaped.get() : "";
  builder.estimate += std::strlen(text) + ENTRY_OVERHEAD;
  char entry[ENTRY_SIZE];
  const size_t len = builder.estimate > TAG_FRAGMENT_SIZE ? 0 : formatEntry(entry, number, text);
  // The estimate already bounds the fragment; the second test only guards
  // the copy.
  if (len == 0 || builder.used + len >= TAG_FRAGMENT_SIZE) {
    builder.stopped = true;
    return false;
  }
  std::memcpy(builder.out + builder.used, entry, len + 1);
  builder.used += len;
  return true;
}

void finishFragment(FragmentBuilder& builder) {
  if (builder.stopped) return;
  if (builder.used > 0 && builder.out[builder.used - 1] == '&') builder.out[--builder.used] = '\0';
}
