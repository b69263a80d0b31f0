#include "tags/tag_fields.h"

#include <id3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tags/id3v2_guard.h"
#include "tags/unicode_text.h"

namespace {

struct TagDeleter {
  void operator()(ID3Tag* tag) const { ID3Tag_Delete(tag); }
};
struct IteratorDeleter {
  void operator()(ID3TagIterator* iterator) const { ID3TagIterator_Delete(iterator); }
};
using TagOwner = std::unique_ptr<ID3Tag, TagDeleter>;
using IteratorOwner = std::unique_ptr<ID3TagIterator, IteratorDeleter>;

// A frame's text: at most this many bytes, then the terminator.
constexpr size_t FRAME_TEXT_CHARS = 1024;
// One formatted "wm_id3[n]=text&" with its terminator.
constexpr size_t ENTRY_SIZE = 1024;
// What the estimate adds per entry for "wm_id3[", the number, "]=" and "&".
constexpr size_t ENTRY_OVERHEAD = 20;
// UTF-16 units read from a frame: every unit gives at least one UTF-8 byte,
// so this covers a full text plus a surrogate pair straddling the cut.
constexpr size_t UNICODE_UNITS = FRAME_TEXT_CHARS + 2;

// A UTF-16 text field as UTF-8 into text (FRAME_TEXT_CHARS + 1 bytes).
// id3lib keeps such text as big-endian byte pairs whatever byte order mark
// the frame had, and copies those bytes out unchanged, so the units are
// decoded byte by byte rather than as host integers. Its unicode getter
// measures the field in bytes but copies that many units, so it is asked
// for no more units than the field holds.
void readUnicodeText(const ID3Field* field, char* text) {
  size_t units = std::min(ID3Field_Size(field) / 2, UNICODE_UNITS);
  if (units == 0) return;
  unicode_t raw[UNICODE_UNITS];
  units = std::min(ID3Field_GetUNICODE(field, raw, units), units);
  utf16ToUtf8(reinterpret_cast<const unsigned char*>(raw), units, text, FRAME_TEXT_CHARS);
}

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

Buffer collectTagFields(const char* fileName) {
  Buffer fragment = allocZeroed(TAG_FRAGMENT_SIZE);
  if (!fragment) return nullptr;
  // A tag id3lib would fault on gives no frames, as if there were none.
  if (!id3v2FileSafe(fileName)) return fragment;
  TagOwner tag(ID3Tag_New());
  if (!tag) return nullptr;
  // A file that cannot be opened or holds no tag simply yields no frames.
  ID3Tag_Link(tag.get(), fileName);
  IteratorOwner frames(ID3Tag_CreateIterator(tag.get()));
  if (!frames) return fragment;

  char text[FRAME_TEXT_CHARS + 1];
  char entry[ENTRY_SIZE];
  size_t estimate = 0;
  size_t used = 0;
  for (;;) {
    const ID3Frame* frame = ID3TagIterator_GetNext(frames.get());
    if (frame == nullptr) {
      if (used > 0 && fragment[used - 1] == '&') fragment[--used] = '\0';
      break;
    }
    // Cleared per frame: a frame without a text field is sent empty, never
    // with the text of the frame before it.
    std::memset(text, 0, sizeof text);
    const ID3Field* field = ID3Frame_GetField(frame, ID3FN_TEXT);
    if (field != nullptr && ID3Field_GetASCII(field, text, FRAME_TEXT_CHARS) == 0 &&
        ID3Field_GetEncoding(field) == ID3TE_UTF16) {
      readUnicodeText(field, text);
    }
    // When escaping cannot allocate, the entry goes out with an empty value.
    const Buffer escaped = escapeValue(text);
    const char* value = escaped ? escaped.get() : "";
    estimate += std::strlen(value) + ENTRY_OVERHEAD;
    if (estimate > TAG_FRAGMENT_SIZE) break;  // keeps the trailing "&"
    const size_t len = formatEntry(entry, static_cast<int>(ID3Frame_GetID(frame)), value);
    // The estimate already bounds the fragment; this only guards the copy.
    if (used + len >= TAG_FRAGMENT_SIZE) break;
    std::memcpy(fragment.get() + used, entry, len + 1);
    used += len;
  }
  return fragment;
}
