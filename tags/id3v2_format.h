// What the ID3v2 guard and the repair pass both read of a tag's layout: the
// header's size and flags, the frame flags as id3lib reads them (whatever
// the tag's version), and the two ways sizes are written.
#pragma once

#include <cstddef>
#include <cstdint>

// The tag header: its size, and the flags of its sixth byte; then the frame
// flag bits as id3lib reads them whatever the tag's version, and the
// compression bit of the ID3v2.4 layout.
constexpr size_t TAG_HEADER_SIZE = 10;
constexpr unsigned TAG_UNSYNC = 0x80;
constexpr unsigned TAG_EXTENDED = 0x40;
constexpr unsigned TAG_COMPRESSED_V22 = 0x40;
constexpr unsigned TAG_FOOTER_V24 = 0x10;
constexpr unsigned FLAG_COMPRESSED = 0x0080;
constexpr unsigned FLAG_ENCRYPTED = 0x0040;
constexpr unsigned FLAG_GROUPED = 0x0020;
constexpr unsigned FLAG_COMPRESSED_V24 = 0x0008;

// A number written big-endian in n bytes.
inline uint64_t bigEndian(const unsigned char* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// A size written synchsafe: four bytes of seven bits each.
inline uint64_t synchsafe(const unsigned char* p) {
  return (uint64_t{p[0]} & 0x7F) << 21 | (uint64_t{p[1]} & 0x7F) << 14 |
         (uint64_t{p[2]} & 0x7F) << 7 | (uint64_t{p[3]} & 0x7F);
}
