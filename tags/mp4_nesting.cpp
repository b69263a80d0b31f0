// TagLib reads an MP4 file's atoms by recursion, one level per nested
// container, without a bound: a file of thousands of nested containers
// exhausts the stack. This walks the atoms the way TagLib will, without
// recursion, and refuses a file that nests deeper than any real one.
#include <cstdint>
#include <cstring>

#include "tags/readers.h"

namespace {

// Real files nest a handful of levels (moov/trak/mdia/minf/stbl/stsd,
// moov/udta/meta/ilst/item/data).
constexpr size_t MP4_MAX_DEPTH = 32;

bool isContainer(const unsigned char* name) {
  static const char* const containers[] = {"moov", "udta", "mdia", "meta", "ilst", "stbl",
                                           "minf", "moof", "traf", "trak", "stsd"};
  for (const char* c : containers) {
    if (std::memcmp(name, c, 4) == 0) return true;
  }
  return false;
}

// Children that follow a "meta" atom at once, when it has no version and
// flags of its own.
bool isMetaChild(const unsigned char* name) {
  static const char* const children[] = {"hdlr", "ilst", "mhdr", "ctry", "lang"};
  for (const char* c : children) {
    if (std::memcmp(name, c, 4) == 0) return true;
  }
  return false;
}

uint64_t bigEndian(const unsigned char* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

bool mp4NestingSafe(MediaFile& media) {
  uint64_t ends[MP4_MAX_DEPTH];  // where each open container ends
  size_t depth = 0;
  uint64_t pos = 0;
  for (;;) {
    if (depth == 0) {
      if (pos + 8 > media.size) return true;
    } else if (pos >= ends[depth - 1]) {
      --depth;
      continue;
    }
    // An atom TagLib finds broken sends it to the end of the file, where
    // nothing more is read: no deeper nesting can follow.
    const uint64_t offset = pos;
    unsigned char header[8];
    if (readMediaFile(media, offset, header, 8) != 8) return true;
    pos = offset + 8;
    uint64_t length = bigEndian(header, 4);
    if (length == 0) {
      length = media.size - offset;
    } else if (length == 1) {
      unsigned char wide[8];
      if (readMediaFile(media, pos, wide, 8) != 8) return true;
      pos += 8;
      length = bigEndian(wide, 8);
      if (length > static_cast<uint64_t>(INT64_MAX)) return true;
    }
    if (length < 8) return true;
    if (!isContainer(header + 4)) {
      pos = offset + length;
      continue;
    }
    if (std::memcmp(header + 4, "meta", 4) == 0) {
      unsigned char next[8] = {};
      const bool read = readMediaFile(media, pos, next, 8) == 8;
      if (!read || !isMetaChild(next + 4)) pos += 4;
    } else if (std::memcmp(header + 4, "stsd", 4) == 0) {
      pos += 8;
    }
    if (depth == MP4_MAX_DEPTH) return false;
    ends[depth++] = offset + length;
  }
}
