// TagLib reads an ASF file's attribute lists (the extended content
// description, the metadata and metadata library objects) one attribute at
// a time for as many attributes as the list says it holds, reading on past
// the object's end and to the end of the file: a few hundred bytes can ask
// for 65535 attributes, each an allocation and several reads. This looks
// for those objects in the file's first bytes, at any offset (TagLib's walk
// of damaged object sizes may land anywhere), and refuses a file where a
// list declares more attributes than the rest of the file could hold.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tags/readers.h"

namespace {

const unsigned char HEADER_GUID[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
// Each list's GUID and its attributes' least bytes.
struct AttributeList {
  unsigned char guid[16];
  uint64_t leastAttribute;
};
const AttributeList LISTS[] = {
    {{0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11, 0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8,
      0x50},
     6},
    {{0xEA, 0xCB, 0xF8, 0xC5, 0xAF, 0x5B, 0x77, 0x48, 0x84, 0x67, 0xAA, 0x8C, 0x44, 0xFA, 0x4C,
      0xCA},
     12},
    {{0x94, 0x1C, 0x23, 0x44, 0x98, 0x94, 0xD1, 0x49, 0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70,
      0x54},
     12},
};
// How much of the file is looked through: the header objects of real
// files come first and are smaller.
constexpr size_t LOOKED_AT = 256 * 1024;

}  // namespace

bool asfCountsSafe(MediaFile& media) {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(media.size, LOOKED_AT));
  if (n < 16) return true;
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[n]);
  if (readMediaFile(media, 0, bytes.get(), n) != n ||
      std::memcmp(bytes.get(), HEADER_GUID, 16) != 0)
    return true;
  for (size_t at = 16; at + 26 <= n; ++at) {
    for (const AttributeList& list : LISTS) {
      if (std::memcmp(bytes.get() + at, list.guid, 16) != 0) continue;
      const uint64_t count = bytes[at + 24] | uint64_t{bytes[at + 25]} << 8;
      if (count * list.leastAttribute > media.size - (at + 26)) return false;
    }
  }
  return true;
}
