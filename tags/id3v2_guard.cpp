#include "tags/id3v2_guard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t TAG_HEADER_SIZE = 10;
// Frame flag bits as id3lib reads them, whatever the tag's version.
constexpr unsigned FLAG_COMPRESSED = 0x0080;
// The compression bit of the ID3v2.4 layout.
constexpr unsigned FLAG_COMPRESSED_V24 = 0x0008;
// Tag header flags.
constexpr unsigned TAG_UNSYNC = 0x80;
constexpr unsigned TAG_EXTENDED = 0x40;

uint32_t bigEndian(const unsigned char* p, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

uint32_t synchsafe(const unsigned char* p) {
  return (uint32_t{p[0]} & 0x7F) << 21 | (uint32_t{p[1]} & 0x7F) << 14 |
         (uint32_t{p[2]} & 0x7F) << 7 | (uint32_t{p[3]} & 0x7F);
}

// The frames of one tag's data, read through get(offset, out, n), which
// gives bytes of the data from 0 to end. Returns false on a frame id3lib
// faults on. The walk stops where id3lib's does: at padding, at the end,
// or at a frame that does not fit.
template <typename Get>
bool framesSafe(Get get, uint64_t end, int major, const Id3v2GuardRules& rules) {
  const size_t idBytes = major == 2 ? 3 : 4;
  const size_t sizeBytes = major == 2 ? 3 : 4;
  const size_t flagBytes = major == 2 ? 0 : 2;
  const size_t headerBytes = idBytes + sizeBytes + flagBytes;
  uint64_t pos = 0;
  unsigned char h[10];
  while (pos < end) {
    // id3lib asks for ten bytes whatever the header's size.
    if (end - pos < 10) break;
    if (get(pos, h, 10) != 10 || h[0] == 0) break;
    const uint32_t dataSize = bigEndian(h + idBytes, sizeBytes);
    const unsigned flags = flagBytes ? bigEndian(h + idBytes + sizeBytes, flagBytes) : 0;
    // id3lib measures the data from the start of the header, so a frame
    // may overhang the tag by up to a header's length and still be read.
    if (end - pos < dataSize) break;
    // id3lib's field table for its compressed meta frame has no end mark;
    // it takes "CDM" (or "CDM" and a zero byte, in later versions) for it.
    if (std::memcmp(h, "CDM", 3) == 0 && (idBytes == 3 || h[3] == 0)) return false;
    if (rules.refuseCompressed &&
        ((flags & FLAG_COMPRESSED) != 0 || (major == 4 && (flags & FLAG_COMPRESSED_V24) != 0)))
      return false;
    pos = std::min<uint64_t>(end, pos + headerBytes + dataSize);
  }
  return true;
}

}  // namespace

Id3v2GuardRules id3v2GuardRules() {
  Id3v2GuardRules rules{};
  if constexpr (sizeof(unsigned long) > 4) rules.refuseCompressed = true;
  return rules;
}

bool id3v2TagsSafe(const TagByteReader& reader, uint64_t fileSize, const Id3v2GuardRules& rules) {
  uint64_t start = 0;
  // id3lib reads one tag after another while each header holds.
  while (fileSize - start >= TAG_HEADER_SIZE) {
    unsigned char h[TAG_HEADER_SIZE];
    if (reader(start, h, sizeof h) != sizeof h) break;
    if (std::memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF) break;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) break;
    const int major = h[3];
    const int minor = h[4];
    const unsigned tagFlags = h[5];
    const bool known = minor == 0 ? (major >= 2 && major <= 4) : (major == 2 && minor == 1);
    uint64_t dataSize = synchsafe(h + 6);
    uint64_t dataStart = start + TAG_HEADER_SIZE;
    if (known && (tagFlags & TAG_EXTENDED) != 0 && major == 3) {
      unsigned char e[6];
      if (reader(dataStart, e, sizeof e) != sizeof e) return false;
      const uint64_t bytes = bigEndian(e + 4, 2) != 0 ? 14 : 10;
      if (bytes > dataSize) return false;  // id3lib's size would wrap
      dataStart += bytes;
      dataSize -= bytes;
    } else if (known && (tagFlags & TAG_EXTENDED) != 0 && major == 4) {
      // id3lib keeps one flag byte: any other count overruns its array.
      unsigned char e[6];
      if (reader(dataStart, e, sizeof e) != sizeof e || e[4] != 1) return false;
      uint64_t bytes = 6;
      for (unsigned bit : {0x40u, 0x20u, 0x10u}) {
        if ((e[5] & bit) == 0) continue;
        unsigned char n = 0;
        if (reader(dataStart + bytes, &n, 1) != 1) return false;
        bytes += 1 + n;
      }
      if (bytes > dataSize) return false;
      dataStart += bytes;
      dataSize -= bytes;
    }
    if (dataStart > fileSize) break;
    const uint64_t end = std::min(dataSize, fileSize - dataStart);
    if (known) {
      bool safe = true;
      if ((tagFlags & TAG_UNSYNC) == 0) {
        safe = framesSafe([&](uint64_t at, unsigned char* out,
                              size_t n) { return reader(dataStart + at, out, n); },
                          end, major, rules);
      } else {
        // id3lib reads the whole tag and undoes the unsynchronisation on the
        // fly, while it measures frames partly in raw and partly in restored
        // bytes; both walks are checked.
        std::string raw(static_cast<size_t>(end), '\0');
        auto* bytes = reinterpret_cast<unsigned char*>(raw.data());
        if (reader(dataStart, bytes, raw.size()) != raw.size()) return false;
        std::string restored;
        restored.reserve(raw.size());
        for (size_t i = 0; i < raw.size(); ++i) {
          restored += raw[i];
          if (bytes[i] == 0xFF && i + 1 < raw.size() && bytes[i + 1] == 0x00) ++i;
        }
        auto from = [](const std::string& s) {
          return [&s](uint64_t at, unsigned char* out, size_t n) -> size_t {
            if (at >= s.size()) return 0;
            const size_t k = std::min<size_t>(n, s.size() - at);
            std::memcpy(out, s.data() + at, k);
            return k;
          };
        };
        safe = framesSafe(from(raw), raw.size(), major, rules) &&
               framesSafe(from(restored), restored.size(), major, rules);
      }
      if (!safe) return false;
    }
    const uint64_t next = dataStart + end;
    if (next <= start) break;
    start = next;
  }
  return true;
}

bool id3v2FileSafe(const char* fileName) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file(std::fopen(fileName, "rb"));
  if (!file) return true;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return true;
  const long size = std::ftell(file.get());
  if (size <= 0) return true;
  auto read = [&](uint64_t offset, unsigned char* out, size_t count) -> size_t {
    if (offset > static_cast<uint64_t>(size)) return 0;
    if (std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0) return 0;
    return std::fread(out, 1, count, file.get());
  };
  return id3v2TagsSafe(read, static_cast<uint64_t>(size), id3v2GuardRules());
}
