#include "tags/id3v2_guard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "tags/id3v2_format.h"

namespace {

// Reads a tag's data through get(offset, out, n), a chunk at a time, the
// way id3lib's reader moves over it. Offsets are those of the stored bytes.
// In an unsynchronised tag, reading a 0xFF also passes the 0x00 after it.
template <typename Get>
class ByteCursor {
 public:
  ByteCursor(Get& get, uint64_t end, bool unsync) : get_(get), end_(end), unsync_(unsync) {}
  // The byte at offset (below the end).
  unsigned char at(uint64_t offset) {
    if (offset < chunkStart_ || offset >= chunkStart_ + chunkSize_) {
      chunkStart_ = offset;
      chunkSize_ = get_(offset, chunk_,
                        static_cast<size_t>(std::min<uint64_t>(sizeof chunk_, end_ - offset)));
      if (chunkSize_ == 0) return 0;
    }
    return chunk_[offset - chunkStart_];
  }
  // Where the reader stands after reading the byte at offset.
  uint64_t step(uint64_t offset) {
    if (unsync_ && at(offset) == 0xFF && offset + 1 < end_ && at(offset + 1) == 0)
      return offset + 2;
    return offset + 1;
  }
  // After reading count bytes one at a time from offset, stopping at limit.
  uint64_t skip(uint64_t offset, uint64_t count, uint64_t limit) {
    if (!unsync_) return offset + std::min(count, limit > offset ? limit - offset : 0);
    for (; count > 0 && offset < limit; --count) offset = step(offset);
    return offset;
  }
  // After reading len bytes as a block from offset up to limit, as id3lib
  // measures a frame's window: as many bytes as are stored before limit,
  // up to 1024 at a time, which in an unsynchronised tag are restored bytes
  // and can take it past limit.
  uint64_t block(uint64_t offset, uint64_t len, uint64_t limit) {
    if (!unsync_) return offset + std::min(len, limit > offset ? limit - offset : 0);
    uint64_t remaining = len;
    while (offset < limit && remaining > 0) {
      const uint64_t n = std::min<uint64_t>({remaining, 1024, limit - offset});
      uint64_t read = 0;
      for (; read < n && offset < end_; ++read) offset = step(offset);
      if (read == 0) break;
      remaining -= read;
    }
    return offset;
  }

 private:
  Get& get_;
  uint64_t end_;
  bool unsync_;
  unsigned char chunk_[4096];
  uint64_t chunkStart_ = 0;
  size_t chunkSize_ = 0;
};

// One field of a frame as id3lib reads it.
enum class FieldKind : uint8_t {
  integer,  // fixed size
  fixed,    // text of a fixed size
  cstr,     // text up to a terminator
  list,     // terminated texts up to the end
  rest,     // text up to the end
  binary,   // bytes up to the end
};
// Which tag versions a field is read in: id3lib skips it elsewhere.
enum class Scope : uint8_t { all, v22, v23 };
struct Field {
  FieldKind kind;
  uint8_t size;  // Integer and Fixed
  bool encodable;
  Scope scope;
  bool isEncoding;
};
constexpr Field ENC{FieldKind::integer, 1, false, Scope::all, true};
constexpr Field LANG{FieldKind::fixed, 3, false, Scope::all, false};
constexpr Field CSTR{FieldKind::cstr, 0, false, Scope::all, false};
constexpr Field CSTR_ENC{FieldKind::cstr, 0, true, Scope::all, false};
constexpr Field TEXT{FieldKind::rest, 0, false, Scope::all, false};
constexpr Field TEXT_ENC{FieldKind::rest, 0, true, Scope::all, false};
constexpr Field BYTE{FieldKind::integer, 1, false, Scope::all, false};
constexpr Field COUNTER{FieldKind::integer, 4, false, Scope::all, false};
constexpr Field DATA{FieldKind::binary, 0, false, Scope::all, false};

// The frames whose fields can leave part of the frame unread: every field
// list but a single field read to the end. Short and long identifiers;
// "" where id3lib has none. Any other frame is read to its end.
struct FrameFields {
  const char* shortId;
  const char* longId;
  Field fields[6];
  size_t count;
};
const FrameFields FRAME_FIELDS[] = {
    {"WXX", "WXXX", {ENC, CSTR_ENC, TEXT}, 3},
    {"TXX", "TXXX", {ENC, CSTR_ENC, TEXT_ENC}, 3},
    {"COM", "COMM", {ENC, LANG, CSTR_ENC, TEXT_ENC}, 4},
    {"ULT", "USLT", {ENC, LANG, CSTR_ENC, TEXT_ENC}, 4},
    {"",
     "USER",
     {{FieldKind::integer, 1, false, Scope::v23, true},
      {FieldKind::fixed, 3, false, Scope::v23, false},
      {FieldKind::rest, 0, true, Scope::v23, false}},
     3},
    {"LNK",
     "LINK",
     {{FieldKind::fixed, 3, false, Scope::v22, false},
      {FieldKind::fixed, 4, false, Scope::v23, false},
      CSTR,
      TEXT},
     4},
    {"PIC",
     "APIC",
     {ENC,
      {FieldKind::fixed, 3, false, Scope::v22, false},
      {FieldKind::cstr, 0, false, Scope::v23, false},
      BYTE,
      CSTR_ENC,
      DATA},
     6},
    {"GEO", "GEOB", {ENC, CSTR, CSTR_ENC, CSTR_ENC, DATA}, 5},
    {"UFI", "UFID", {CSTR, DATA}, 2},
    {"CNT", "PCNT", {COUNTER}, 1},
    {"POP", "POPM", {CSTR, BYTE, COUNTER}, 3},
    {"",
     "PRIV",
     {{FieldKind::cstr, 0, false, Scope::v23, false},
      {FieldKind::binary, 0, false, Scope::v23, false}},
     2},
    {"",
     "ENCR",
     {{FieldKind::cstr, 0, false, Scope::v23, false},
      {FieldKind::integer, 1, false, Scope::v23, false},
      {FieldKind::binary, 0, false, Scope::v23, false}},
     3},
    {"",
     "GRID",
     {{FieldKind::cstr, 0, false, Scope::v23, false},
      {FieldKind::integer, 1, false, Scope::v23, false},
      {FieldKind::binary, 0, false, Scope::v23, false}},
     3},
    {"IPL", "IPLS", {ENC, {FieldKind::list, 0, true, Scope::all, false}}, 2},
    {"SLT", "SYLT", {ENC, LANG, BYTE, BYTE, CSTR_ENC, DATA}, 6},
};

// Text frames: an encoding, then text to the end, which UTF-16 after a
// little-endian byte order mark can leave one byte short.
const FrameFields TEXT_FRAME = {"", "", {ENC, TEXT_ENC}, 2};
// id3lib's text frames, short and long identifiers side by side.
constexpr const char TEXT_IDS[] =
    "TAL TALB TBP TBPM TCM TCOM TCO TCON TCR TCOP TDA TDAT TDY TDLY TEN TENC TXT TEXT "
    "TFT TFLT TIM TIME TT1 TIT1 TT2 TIT2 TT3 TIT3 TKE TKEY TLA TLAN TLE TLEN TMT TMED "
    "TOT TOAL TOF TOFN TOL TOLY TOA TOPE TOR TORY TP1 TPE1 TP2 TPE2 TP3 TPE3 TP4 TPE4 "
    "TPA TPOS TPB TPUB TRK TRCK TRD TRDA TRN TRSN TRO TRSO TSI TSIZ TRC TSRC TSS TSSE "
    "TYE TYER ";

// id3lib's frame for an identifier read as a C string: a short one when it
// is three characters long, a long one when four, in every tag version.
const FrameFields* frameFields(const unsigned char* id, size_t idBytes) {
  const size_t len = strnlen(reinterpret_cast<const char*>(id), idBytes);
  if (len != 3 && len != 4) return nullptr;
  for (const char* t = TEXT_IDS; *t != '\0'; t += std::strcspn(t, " ") + 1) {
    if (std::strcspn(t, " ") == len && std::memcmp(t, id, len) == 0) return &TEXT_FRAME;
  }
  for (const FrameFields& f : FRAME_FIELDS) {
    const char* want = len == 3 ? f.shortId : f.longId;
    if (std::strlen(want) == len && std::memcmp(want, id, len) == 0) return &f;
  }
  return nullptr;
}

constexpr uint64_t HANG = UINT64_MAX;

// Where id3lib's reader stands after reading the fields of a frame whose
// field bytes are [begin, end) of the cursor; HANG when id3lib would never
// finish. id3lib goes back to the start of the last field it began when a
// field reads nothing or the bytes run out before the last field.
template <typename Cursor>
uint64_t fieldsEnd(Cursor& c, uint64_t begin, uint64_t end, const FrameFields& frame, bool v22) {
  uint64_t pos = begin;
  uint64_t exitPos = begin;
  unsigned encoding = 0;
  // UTF-16 up to a zero pair: two bytes at a time, none when one is left.
  auto unicodeString = [&](uint64_t at) {
    while (at < end) {
      const uint64_t second = c.step(at);
      if (second >= end) break;
      const bool null = c.at(at) == 0 && c.at(second) == 0;
      at = c.step(second);
      if (null) break;
    }
    return at;
  };
  auto string = [&](uint64_t at) {
    while (at < end) {
      const bool null = c.at(at) == 0;
      at = c.step(at);
      if (null) break;
    }
    return at;
  };
  for (size_t i = 0; i < frame.count; ++i) {
    const Field& f = frame.fields[i];
    if (pos >= end) {
      if (i + 1 == frame.count) return pos;
      return exitPos;
    }
    if ((f.scope == Scope::v22 && !v22) || (f.scope == Scope::v23 && v22)) continue;
    exitPos = pos;
    const bool unicode = f.encodable && encoding >= 1 && encoding <= 3;
    uint64_t next = pos;
    switch (f.kind) {
      case FieldKind::integer:
        next = c.skip(pos, f.size, end);
        break;
      case FieldKind::fixed:
        next = c.skip(pos, f.size, end);
        break;
      case FieldKind::cstr:
        next = unicode ? unicodeString(pos) : string(pos);
        break;
      case FieldKind::list:
        while (next < end) {
          const uint64_t after = unicode ? unicodeString(next) : string(next);
          if (after == next) return HANG;  // one odd byte left, read again and again
          next = after;
        }
        break;
      case FieldKind::rest:
        if (!unicode) {
          next = c.skip(pos, end - pos, end);
        } else if (c.step(pos) < end) {
          const uint64_t second = c.step(pos);
          const bool pairs = c.at(pos) == 0xFF && c.at(second) == 0xFE;
          next = c.step(second);
          if (!pairs) {
            next = c.skip(next, end - pos, end);
          } else {
            // A little-endian byte order mark makes id3lib read pairs,
            // leaving an odd last byte unread.
            while (next < end && c.step(next) < end) next = c.step(c.step(next));
          }
        }
        break;
      case FieldKind::binary:
        next = c.skip(pos, end - pos, end);
        break;
    }
    if (next == pos) return exitPos;
    if (f.isEncoding) encoding = c.at(pos);
    pos = next;
  }
  return pos;
}

// The frames of one tag's data, read through get(offset, out, n), which
// gives bytes of the data from 0 to end. Returns false on a frame id3lib
// faults or hangs on. The walk goes where id3lib's does: frame by frame,
// each ending where id3lib's reading of its fields ends, up to padding,
// the end, or a frame that does not fit.
template <typename Get>
bool framesSafe(Get get, uint64_t end, int major, bool unsync, const Id3v2GuardRules& rules) {
  ByteCursor<Get> c(get, end, unsync);
  const bool v22 = major == 2;
  const size_t idBytes = v22 ? 3 : 4;
  const size_t sizeBytes = v22 ? 3 : 4;
  const size_t flagBytes = v22 ? 0 : 2;
  const size_t headerBytes = idBytes + sizeBytes + flagBytes;
  uint64_t pos = 0;
  unsigned char h[10];
  while (pos < end) {
    // id3lib asks for ten bytes whatever the header's size.
    if (end - pos < 10 || c.at(pos) == 0) break;
    uint64_t at = pos;
    for (size_t i = 0; i < headerBytes; ++i) {
      h[i] = at < end ? c.at(at) : 0;
      at = at < end ? c.step(at) : at;
    }
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
    // The frame's window: dataSize bytes, restored ones when unsynchronised.
    const uint64_t dataEnd = c.block(at, dataSize, end);
    uint64_t fieldsBegin = at;
    // Encryption method and group bytes come before the fields.
    if (flags & FLAG_ENCRYPTED) fieldsBegin = c.skip(fieldsBegin, 1, dataEnd);
    if (flags & FLAG_GROUPED) fieldsBegin = c.skip(fieldsBegin, 1, dataEnd);
    const FrameFields* fields = frameFields(h, idBytes);
    uint64_t next = fields != nullptr ? fieldsEnd(c, fieldsBegin, dataEnd, *fields, v22)
                                      : c.skip(fieldsBegin, dataEnd - fieldsBegin, dataEnd);
    if (next == HANG) return false;
    if (next <= pos) break;
    pos = next;
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
      const bool unsync = (tagFlags & TAG_UNSYNC) != 0;
      if (!unsync) {
        safe = framesSafe([&](uint64_t at, unsigned char* out,
                              size_t n) { return reader(dataStart + at, out, n); },
                          end, major, false, rules);
      } else {
        // id3lib reads an unsynchronised tag whole before walking it.
        // When that much memory is not to be had, the tag is refused.
        const auto size = static_cast<size_t>(end);
        std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[size ? size : 1]);
        if (!bytes || reader(dataStart, bytes.get(), size) != size) return false;
        safe = framesSafe(
            [&](uint64_t at, unsigned char* out, size_t n) -> size_t {
              if (at >= size) return 0;
              const size_t k = std::min<size_t>(n, size - at);
              std::memcpy(out, bytes.get() + at, k);
              return k;
            },
            size, major, true, rules);
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
  const MediaFileOwner media = openMediaFile(fileName);
  return !media || id3v2MediaSafe(*media);
}

bool id3v2MediaSafe(MediaFile& media) {
  if (media.size == 0) return true;
  auto read = [&](uint64_t offset, unsigned char* out, size_t count) -> size_t {
    return readMediaFile(media, offset, out, count);
  };
  return id3v2TagsSafe(read, media.size, id3v2GuardRules());
}
