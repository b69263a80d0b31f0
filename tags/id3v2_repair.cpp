#include "tags/id3v2_repair.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/unicode.h"
#include "tags/id3v2_format.h"

namespace {

// The frame flags that add bytes before a frame's data or change them.
struct FrameFlags {
  unsigned compressed;
  unsigned encrypted;
  unsigned grouped;
  unsigned unsync;
  unsigned lengthIndicator;
};
constexpr FrameFlags V23_FLAGS{0x0080, 0x0040, 0x0020, 0, 0};
constexpr FrameFlags V24_FLAGS{0x0008, 0x0004, 0x0040, 0x0002, 0x0001};

void appendBigEndian(std::string& out, uint64_t v, size_t n) {
  for (size_t i = n; i-- > 0;) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void appendSynchsafe(std::string& out, uint64_t v) {
  for (int shift : {21, 14, 7, 0}) out.push_back(static_cast<char>((v >> shift) & 0x7F));
}

bool validId(const unsigned char* p, size_t n) {
  if (p[0] < 'A' || p[0] > 'Z') return false;
  for (size_t i = 1; i < n; ++i) {
    if (!((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= '0' && p[i] <= '9'))) return false;
  }
  return true;
}

const unsigned char* bytesOf(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Every 0xFF 0x00 of unsynchronised bytes back to 0xFF.
std::string resync(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    out.push_back(in[i]);
    if (static_cast<unsigned char>(in[i]) == 0xFF && i + 1 < in.size() && in[i + 1] == 0) ++i;
  }
  return out;
}

// Inflates zlib data into at most limit bytes; false when the data is
// damaged or inflates to more.
bool inflateBounded(std::string_view in, size_t limit, std::string& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&z};
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(std::min<size_t>(in.size(), UINT32_MAX));
  out.clear();
  unsigned char chunk[16384];
  for (;;) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    const int rc = inflate(&z, Z_NO_FLUSH);
    const size_t got = sizeof chunk - z.avail_out;
    if (got > limit - out.size()) return false;
    out.append(reinterpret_cast<const char*>(chunk), got);
    if (rc == Z_STREAM_END) return true;
    if (rc != Z_OK || (got == 0 && z.avail_in == 0)) return false;
  }
}

// --- Text ---

// UTF-16 units (an even count of bytes) as UTF-8; a surrogate without its
// partner becomes U+FFFD.
std::string utf16Text(std::string_view bytes, bool littleEndian) {
  return unicode::utf16BytesToUtf8(bytesOf(bytes), bytes.size() / 2, littleEndian);
}

// What reading a tag's texts found, and whether any of it needs repair.
struct Findings {
  bool repair = false;
};

// The strings of an encoded text field: Latin-1 bytes as stored when the
// encoding is 0, else UTF-8.
struct Strings {
  bool latin1 = true;
  std::vector<std::string> items;
};

// Splits bytes, in text encoding enc, into its zero-terminated strings (the
// last may lack its terminator; empty strings at the end are dropped).
// False when the text is damaged: an unknown encoding.
bool readStrings(unsigned enc, std::string_view bytes, Strings& out, Findings& findings) {
  if (enc > 3) return false;
  out.latin1 = enc == 0;
  out.items.clear();
  const bool wide = enc == 1 || enc == 2;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = at;
    if (wide) {
      while (end + 1 < bytes.size() && !(bytes[end] == 0 && bytes[end + 1] == 0)) end += 2;
      if (end + 1 >= bytes.size()) end = bytes.size();
    } else {
      end = std::min(bytes.find('\0', at), bytes.size());
    }
    std::string_view piece = bytes.substr(at, end - at);
    if (!wide) {
      out.items.emplace_back(piece);
    } else {
      // An odd byte left over is read as a unit with a zero byte after it.
      std::string padded;
      if (piece.size() % 2 != 0) {
        padded.assign(piece);
        padded.push_back('\0');
        piece = padded;
        findings.repair = true;
      }
      bool little = enc == 1;
      const unsigned char* p = bytesOf(piece);
      if (piece.size() >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        little = p[0] == 0xFF;
        piece.remove_prefix(2);
      } else if (enc == 1 && !piece.empty()) {
        // No byte order mark: little-endian, as the taggers that omit it
        // write.
        findings.repair = true;
      }
      std::string text = utf16Text(piece, little);
      // Text cut at a zero unit, as the terminator search above may pass
      // over one in a misaligned piece.
      text.resize(std::strlen(text.c_str()));
      out.items.push_back(std::move(text));
    }
    at = end + (wide ? 2 : 1);
  }
  while (!out.items.empty() && out.items.back().empty()) out.items.pop_back();
  return true;
}

std::string joined(const std::vector<std::string>& items, size_t first) {
  std::string out;
  for (size_t i = first; i < items.size(); ++i) {
    if (i > first) out += '/';
    out += items[i];
  }
  return out;
}

// The encoding byte a repaired tag writes texts with: 0 (Latin-1 as
// stored), else UTF-8 in a v2.4 tag and UTF-16 with a big-endian byte order
// mark in the older ones, which know no UTF-8.
unsigned outputEncoding(bool latin1, int major) { return latin1 ? 0 : major == 4 ? 3 : 1; }

// Appends text (Latin-1 or UTF-8) in encoding enc, with a terminator when
// terminate is set.
void appendText(std::string& out, unsigned enc, const std::string& text, bool terminate) {
  if (enc != 1) {
    out += text;
    if (terminate) out.push_back('\0');
    return;
  }
  if (!text.empty()) out += "\xFE\xFF";
  for (const char16_t unit : unicode::utf8ToUtf16(text)) appendBigEndian(out, unit, 2);
  if (terminate) out.append(2, '\0');
}

// How a frame's body is laid out, as far as this repair reads it.
enum class BodyLayout {
  text,      // encoding, strings
  userText,  // encoding, description, strings
  comment,   // encoding, language, description, strings
  userLink,  // encoding, description, Latin-1 address
  link,      // Latin-1 address
  other,     // copied as it is
};

BodyLayout layoutOf(std::string_view id) {
  const bool v22 = id.size() == 3;
  if (id == (v22 ? "TXX" : "TXXX")) return BodyLayout::userText;
  if (id == (v22 ? "COM" : "COMM") || id == (v22 ? "ULT" : "USLT")) return BodyLayout::comment;
  if (id == (v22 ? "WXX" : "WXXX")) return BodyLayout::userLink;
  // The involved people list is read as a text frame: its strings joined.
  if (id[0] == 'T' || id == (v22 ? "IPL" : "IPLS")) return BodyLayout::text;
  if (id[0] == 'W') return BodyLayout::link;
  return BodyLayout::other;
}

// The body of a text-carrying frame (any layout but Other) read and written
// again: strings joined by "/", in encodings the library of that version
// reads. False when the frame is damaged. An empty body stands for an
// encrypted frame: its value is empty.
bool rewriteBody(BodyLayout layout, std::string_view body, int major, std::string& out,
                 Findings& findings) {
  out.clear();
  if (layout == BodyLayout::link) {
    out = body.substr(0, std::min(body.find('\0'), body.size()));
    if (out.empty()) out.push_back('\0');
    return true;
  }
  const unsigned enc = body.empty() ? 0 : static_cast<unsigned char>(body[0]);
  if (enc > 3) return false;
  if (major < 4 && enc >= 2) findings.repair = true;
  std::string_view rest = body.empty() ? body : body.substr(1);
  std::string language = "XXX";
  if (layout == BodyLayout::comment) {
    if (rest.size() < 3 && !body.empty()) return false;
    if (!body.empty()) language = rest.substr(0, 3);
    rest.remove_prefix(std::min<size_t>(3, rest.size()));
  }
  Strings strings;
  std::string address;
  if (layout == BodyLayout::userLink) {
    // The description ends at the first terminator of its encoding; the
    // address after it is Latin-1.
    const bool wide = enc == 1 || enc == 2;
    size_t end = 0;
    if (wide) {
      while (end + 1 < rest.size() && !(rest[end] == 0 && rest[end + 1] == 0)) end += 2;
      if (end + 1 >= rest.size()) end = rest.size();
    } else {
      end = std::min(rest.find('\0'), rest.size());
    }
    if (!readStrings(enc, rest.substr(0, end), strings, findings)) return false;
    if (end < rest.size()) {
      const std::string_view tail = rest.substr(end + (wide ? 2 : 1));
      address = tail.substr(0, std::min(tail.find('\0'), tail.size()));
    }
  } else if (!readStrings(enc, rest, strings, findings)) {
    return false;
  }
  const bool described = layout != BodyLayout::text;
  // A description, then the value strings (all of them, in a text frame).
  if (layout != BodyLayout::userLink && strings.items.size() > (described ? 2u : 1u) && major < 4)
    findings.repair = true;
  const unsigned outEnc = outputEncoding(strings.latin1, major);
  out.push_back(static_cast<char>(outEnc));
  if (layout == BodyLayout::comment) out += language;
  if (described) {
    appendText(out, outEnc, strings.items.empty() ? std::string() : strings.items[0], true);
  }
  if (layout == BodyLayout::userLink) {
    out += address;
  } else {
    appendText(out, outEnc, joined(strings.items, described ? 1 : 0), false);
  }
  // TagLib takes a text frame of a single byte for damaged, and id3lib
  // reads a lone byte after a UTF-16 encoding forever: an empty text is an
  // empty Latin-1 string.
  if (out.size() < 2) out.assign(2, '\0');
  return true;
}

// --- Frames ---

// Whether a v2.4 tag's frame sizes are better read as plain 32-bit numbers
// than synchsafe: walking the frames both ways, the one that finds more
// valid frame ids wins, or at a tie the one that ends on the tag's end or
// its padding where the other overshoots.
bool plainSizesLand(std::string_view data, size_t start) {
  struct Landing {
    int frames = 0;
    int64_t past = 0;
  };
  auto land = [&](bool plain) {
    Landing l;
    uint64_t o = start;
    while (o + TAG_HEADER_SIZE < data.size()) {
      const unsigned char* p = bytesOf(data) + o;
      if (std::all_of(p, p + TAG_HEADER_SIZE, [](unsigned char c) { return c == 0; })) {
        l.past = -static_cast<int64_t>((data.size() - o) % TAG_HEADER_SIZE);
        return l;
      }
      const uint64_t size = plain ? bigEndian(p + 4, 4) : synchsafe(p + 4);
      o += TAG_HEADER_SIZE + size;
      if (validId(p, 4)) ++l.frames;
    }
    l.past = static_cast<int64_t>(o) - static_cast<int64_t>(data.size());
    return l;
  };
  const Landing safe = land(false);
  const Landing plain = land(true);
  return plain.frames > safe.frames ||
         (plain.frames == safe.frames && safe.past >= 1 && plain.past <= 1);
}

// The data of one frame as its flags leave it: extra header bytes dropped,
// unsynchronisation undone, compression inflated; out views body itself or
// storage. False when the frame is damaged; sets encrypted for an encrypted
// frame (its data is not read). resyncFrame: the frame's data is stored
// unsynchronised (a v2.4 tag unsynchronised as a whole, or a v2.3 one
// walked on its stored bytes).
bool frameData(std::string_view body, unsigned flags, int major, bool resyncFrame, size_t budget,
               std::string& storage, std::string_view& out, bool& encrypted, Findings& findings) {
  encrypted = false;
  out = body;
  if (major == 2) return true;
  const FrameFlags& f = major == 3 ? V23_FLAGS : V24_FLAGS;
  size_t skip = 0;
  if (major == 3) {
    if (flags & f.compressed) skip += 4;
    if (flags & f.encrypted) skip += 1;
    if (flags & f.grouped) skip += 1;
  } else {
    if (flags & f.grouped) {
      skip += 1;
      findings.repair = true;
    }
    if (flags & f.encrypted) skip += 1;
    if (flags & (f.lengthIndicator | f.compressed)) skip += 4;
  }
  if (flags & (f.compressed | f.encrypted)) findings.repair = true;
  if (skip > body.size()) return false;
  out = body.substr(skip);
  if (flags & f.encrypted) {
    encrypted = true;
    return true;
  }
  if (resyncFrame || (major == 4 && (flags & f.unsync))) {
    storage = resync(out);
    out = storage;
  }
  if (flags & f.compressed) {
    std::string inflated;
    if (!inflateBounded(out, budget, inflated)) return false;
    storage = std::move(inflated);
    out = storage;
  }
  return true;
}

// A walk over a tag's frames, measuring the repaired ones and, when write
// is set, writing them.
struct TagWalk {
  int major;
  bool plainSizes;
  bool resyncFrames;  // each frame's data is unsynchronised as stored
  bool write;
  Findings& findings;
  size_t size = 0;     // bytes of the repaired frames so far
  std::string frames;  // the repaired frames, when written
  size_t found = 0;    // frames with a valid id walked
};

// Whether a frame header at pos has a frame id made of printable ASCII
// (a valid one, or one holding a space or other characters taggers got
// wrong).
bool printableId(const unsigned char* p, size_t n) {
  return std::all_of(p, p + n, [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
}

uint64_t frameSizeAt(const unsigned char* h, int major, bool plainSizes) {
  return major == 2 ? bigEndian(h + 3, 3) : plainSizes ? bigEndian(h + 4, 4) : synchsafe(h + 4);
}

// Whether the walk lines up at pos: the end, padding, or a frame with a
// valid id, reached over frames with printable but invalid ids whose sizes
// fit.
bool linesUpAt(std::string_view data, size_t pos, int major, bool plainSizes) {
  const size_t idBytes = major == 2 ? 3 : 4;
  const size_t headerBytes = major == 2 ? 6 : 10;
  for (;;) {
    if (pos == data.size() || data[pos] == 0) return true;
    if (pos + headerBytes > data.size()) return false;
    const unsigned char* h = bytesOf(data) + pos;
    if (validId(h, idBytes)) return true;
    if (!printableId(h, idBytes)) return false;
    const uint64_t size = frameSizeAt(h, major, plainSizes);
    if (size > data.size() - pos - headerBytes) return false;
    pos += headerBytes + static_cast<size_t>(size);
  }
}

// Reads the frames in data into walk, up to padding, the end, or a frame
// that does not fit. A v2.2.1 compressed meta frame (inside holds only
// frames) is inflated and its frames read in its place, when it is not
// itself inside one. False when the repaired tag would pass
// REPAIRED_TAG_LIMIT.
bool readFrames(std::string_view data, TagWalk& walk, bool inner) {
  const int major = walk.major;
  const size_t idBytes = major == 2 ? 3 : 4;
  const size_t headerBytes = major == 2 ? 6 : 10;
  std::string storage;
  std::string body;
  size_t pos = 0;
  while (pos + headerBytes <= data.size()) {
    const unsigned char* h = bytesOf(data) + pos;
    if (h[0] == 0) break;
    const uint64_t frameSize = frameSizeAt(h, major, walk.plainSizes);
    const unsigned flags = major == 2 ? 0 : static_cast<unsigned>(bigEndian(h + 8, 2));
    const size_t bodyStart = pos + headerBytes;
    if (frameSize > data.size() - bodyStart) break;
    if (!validId(h, idBytes)) {
      // A frame whose id holds a space or the like (an old tagger's "TST "):
      // skipped by its size while the walk lines up after it.
      const size_t next = bodyStart + static_cast<size_t>(frameSize);
      if (!printableId(h, idBytes) || !linesUpAt(data, next, major, walk.plainSizes)) break;
      walk.findings.repair = true;
      pos = next;
      continue;
    }
    ++walk.found;
    const std::string_view id = data.substr(pos, idBytes);
    const std::string_view stored = data.substr(bodyStart, static_cast<size_t>(frameSize));
    pos = bodyStart + static_cast<size_t>(frameSize);
    const size_t budget = REPAIRED_TAG_LIMIT - std::min(walk.size, REPAIRED_TAG_LIMIT);
    if (id == "CDM") {
      // Method 'z', the inflated size (four bytes), then zlib data.
      walk.findings.repair = true;
      std::string inside;
      if (!inner && stored.size() > 5 && stored[0] == 'z' &&
          inflateBounded(stored.substr(5), budget, inside) && !readFrames(inside, walk, true))
        return false;
      continue;
    }
    bool encrypted = false;
    std::string_view payload;
    bool ok = frameData(stored, flags, major, walk.resyncFrames, budget, storage, payload,
                        encrypted, walk.findings);
    const BodyLayout layout = layoutOf(id);
    if (ok && encrypted) payload = std::string_view();
    // Other frames go as they are (an encrypted one too: its value is empty
    // whatever it holds).
    if (ok && layout != BodyLayout::other) {
      ok = rewriteBody(layout, payload, major, body, walk.findings);
      payload = body;
    }
    if (!ok) {
      walk.findings.repair = true;
      continue;
    }
    if (walk.size + headerBytes + payload.size() > REPAIRED_TAG_LIMIT) return false;
    walk.size += headerBytes + payload.size();
    if (!walk.write) continue;
    std::string& frames = walk.frames;
    frames += id;
    if (major == 2) {
      appendBigEndian(frames, payload.size(), 3);
    } else {
      if (major == 4)
        appendSynchsafe(frames, payload.size());
      else
        appendBigEndian(frames, payload.size(), 4);
      frames.append(2, '\0');
    }
    frames += payload;
  }
  return true;
}

}  // namespace

std::string encodedTextValue(const unsigned char* body, size_t size) {
  if (size == 0) return std::string();
  Strings strings;
  Findings findings;
  const std::string_view bytes(reinterpret_cast<const char*>(body) + 1, size - 1);
  if (!readStrings(body[0], bytes, strings, findings)) return std::string();
  return joined(strings.items, 0);
}

bool encodedTextIsLatin1(const unsigned char* body, size_t size) {
  return size == 0 || body[0] == 0;
}

bool repairId3v2Tag(const unsigned char* tag, size_t size, std::string& out) {
  if (size < TAG_HEADER_SIZE || std::memcmp(tag, "ID3", 3) != 0) return false;
  const int major = tag[3];
  const unsigned tagFlags = tag[5];
  if (major < 2 || major > 4 || tag[4] == 0xFF || ((tag[6] | tag[7] | tag[8] | tag[9]) & 0x80))
    return false;
  // A whole v2.2 tag compressed has no defined form: left to the libraries.
  if (major == 2 && (tagFlags & TAG_COMPRESSED_V22)) return false;
  const uint64_t declared = synchsafe(tag + 6);
  const size_t stored = static_cast<size_t>(std::min<uint64_t>(declared, size - TAG_HEADER_SIZE));
  std::string_view data(reinterpret_cast<const char*>(tag) + TAG_HEADER_SIZE, stored);
  const std::string_view storedData = data;
  std::string resynced;
  const bool tagUnsync = (tagFlags & TAG_UNSYNC) != 0;
  if (tagUnsync && major < 4) {
    resynced = resync(data);
    data = resynced;
  }
  Findings findings;
  size_t pos = 0;
  if (major >= 3 && (tagFlags & TAG_EXTENDED)) {
    // Some taggers set the flag and write no extended header: frames
    // follow at once.
    if (data.size() >= 4 && validId(bytesOf(data), 4)) {
      findings.repair = true;
    } else if (data.size() >= 6) {
      const unsigned char* e = bytesOf(data);
      const uint64_t extSize = major == 3 ? 4 + bigEndian(e, 4) : synchsafe(e);
      const bool usual =
          major == 3 ? (extSize == 10 || extSize == 14) : (extSize >= 6 && e[4] == 1);
      if (!usual) findings.repair = true;
      pos = static_cast<size_t>(std::min<uint64_t>(extSize, data.size()));
    } else {
      pos = data.size();
    }
  }
  const bool plainSizes = major == 3 || (major == 4 && plainSizesLand(data, pos));
  if (major == 4 && plainSizes) findings.repair = true;
  bool resyncFrames = major == 4 && tagUnsync;
  // Measured first; written only when something needs repair.
  TagWalk measure{major, plainSizes, resyncFrames, false, findings, 0, std::string(), 0};
  if (!readFrames(data.substr(pos), measure, false)) return false;
  if (major == 3 && tagUnsync && pos == 0) {
    // Some taggers counted frame sizes on the unsynchronised bytes: walked
    // on the tag as stored, each frame resynchronised, the frames line up.
    Findings storedFindings;
    TagWalk asStored{major, plainSizes, true, false, storedFindings, 0, std::string(), 0};
    if (readFrames(storedData, asStored, false) && asStored.found > measure.found) {
      data = storedData;
      resyncFrames = true;
      findings.repair = true;
    }
  }
  if (!findings.repair) return false;
  Findings again;
  TagWalk walk{major, plainSizes, resyncFrames, true, again, 0, std::string(), 0};
  walk.frames.reserve(measure.size);
  if (!readFrames(data.substr(pos), walk, false)) return false;
  out.assign("ID3");
  out.push_back(static_cast<char>(major));
  out.push_back('\0');
  out.push_back('\0');
  appendSynchsafe(out, walk.frames.size());
  out += walk.frames;
  return true;
}

namespace {

// Picture frames of fewer bytes are copied as they are.
constexpr size_t CONDENSED_PICTURE_MIN = 1024;
// How far into a picture frame its description may end.
constexpr size_t PICTURE_FIELDS_MAX = 4096;

bool storedBytes(MediaFile& media, uint64_t offset, size_t count, std::string& out) {
  const size_t at = out.size();
  out.resize(at + count);
  const size_t got =
      readMediaFile(media, offset, reinterpret_cast<unsigned char*>(&out[at]), count);
  out.resize(at + got);
  return got == count;
}

// The fields of a picture frame's body before its data: the encoding, the
// MIME type (v2.2: a three-letter format), the picture type and the
// description; 0 when they do not end within fields.
size_t pictureFieldsEnd(std::string_view fields, int major) {
  if (fields.empty()) return 0;
  const unsigned enc = static_cast<unsigned char>(fields[0]);
  size_t at = 1;
  if (major == 2) {
    at += 3;
  } else {
    const size_t end = fields.find('\0', at);
    if (end == std::string_view::npos) return 0;
    at = end + 1;
  }
  at += 1;  // the picture type
  if (at > fields.size()) return 0;
  if (enc == 1 || enc == 2) {
    for (; at + 1 < fields.size(); at += 2) {
      if (fields[at] == 0 && fields[at + 1] == 0) return at + 2;
    }
    return 0;
  }
  const size_t end = fields.find('\0', at);
  return end == std::string_view::npos ? 0 : end + 1;
}

// The leading tag (at most tagBytes bytes, header h) with the data of each
// large picture frame left out, its other fields kept, so the text readers
// neither read nor copy pictures. Only a plain tag (no unsynchronisation,
// no extended header) whose picture frames land on the frame after them
// is condensed; false, out unusable, when there is nothing to leave out.
bool condensePictures(MediaFile& media, const unsigned char* h, uint64_t tagBytes,
                      std::string& out) {
  const int major = h[3];
  if (major < 2 || major > 4 || (h[5] & (TAG_UNSYNC | TAG_EXTENDED)) != 0) return false;
  const size_t idBytes = major == 2 ? 3 : 4;
  const size_t headerBytes = major == 2 ? 6 : 10;
  const uint64_t end = std::min<uint64_t>(TAG_HEADER_SIZE + synchsafe(h + 6), tagBytes);
  out.assign(reinterpret_cast<const char*>(h), TAG_HEADER_SIZE);
  bool condensed = false;
  uint64_t pos = TAG_HEADER_SIZE;
  while (pos + headerBytes <= end) {
    unsigned char fh[10] = {};
    if (readMediaFile(media, pos, fh, headerBytes) != headerBytes || fh[0] == 0) break;
    const uint64_t size = major == 2   ? bigEndian(fh + 3, 3)
                          : major == 3 ? bigEndian(fh + 4, 4)
                                       : synchsafe(fh + 4);
    const unsigned flags = major == 2 ? 0 : static_cast<unsigned>(bigEndian(fh + 8, 2));
    const uint64_t next = pos + headerBytes + size;
    const bool picture = std::memcmp(fh, major == 2 ? "PIC" : "APIC", idBytes) == 0;
    bool lands = next == end;
    if (next < end) {
      unsigned char after[4] = {};
      lands = readMediaFile(media, next, after, idBytes) == idBytes &&
              (after[0] == 0 || validId(after, idBytes));
    }
    if (next > end || !lands) {
      // A frame that does not land on the next (sizes written another way,
      // damage): what follows is left to the repair and the readers, as
      // stored.
      if (!storedBytes(media, pos, static_cast<size_t>(end - pos), out)) return false;
      pos = end;
      break;
    }
    if (picture && flags == 0 && size >= CONDENSED_PICTURE_MIN) {
      std::string fields;
      if (!storedBytes(media, pos + headerBytes,
                       static_cast<size_t>(std::min<uint64_t>(size, PICTURE_FIELDS_MAX)), fields))
        return false;
      const size_t keep = pictureFieldsEnd(fields, major);
      if (keep != 0) {
        out.append(reinterpret_cast<const char*>(fh), idBytes);
        if (major == 2) {
          appendBigEndian(out, keep, 3);
        } else {
          if (major == 4)
            appendSynchsafe(out, keep);
          else
            appendBigEndian(out, keep, 4);
          out.append(2, '\0');
        }
        out.append(fields, 0, keep);
        condensed = true;
        pos = next;
        continue;
      }
    }
    if (!storedBytes(media, pos, static_cast<size_t>(headerBytes + size), out)) return false;
    pos = next;
  }
  if (!condensed) return false;
  // The footer, if any, is left out with the padding.
  out[5] = static_cast<char>(static_cast<unsigned char>(out[5]) & ~TAG_FOOTER_V24);
  std::string size;
  appendSynchsafe(size, out.size() - TAG_HEADER_SIZE);
  out.replace(6, 4, size);
  return true;
}

// A FLAC stream's metadata with its picture blocks left out: "fLaC", then
// the other blocks, the last of them marked so. False when the stream has
// no picture block or its metadata does not fit the file.
bool condenseFlacPictures(MediaFile& media, std::string& out, uint64_t& standsFor) {
  unsigned char magic[4] = {};
  if (readMediaFile(media, 0, magic, 4) != 4 || std::memcmp(magic, "fLaC", 4) != 0) return false;
  out.assign("fLaC");
  size_t lastKept = std::string::npos;
  bool left = false;
  uint64_t pos = 4;
  for (;;) {
    unsigned char bh[4] = {};
    if (readMediaFile(media, pos, bh, 4) != 4) return false;
    const uint64_t length = bigEndian(bh + 1, 3);
    if (pos + 4 + length > media.size) return false;
    if ((bh[0] & 0x7F) == 6) {
      left = true;
    } else {
      lastKept = out.size();
      out.push_back(static_cast<char>(bh[0] & 0x7F));
      out.append(reinterpret_cast<const char*>(bh) + 1, 3);
      if (!storedBytes(media, pos + 4, static_cast<size_t>(length), out)) return false;
    }
    pos += 4 + length;
    if (bh[0] & 0x80) break;
  }
  if (!left || lastKept == std::string::npos) return false;
  out[lastKept] = static_cast<char>(static_cast<unsigned char>(out[lastKept]) | 0x80);
  standsFor = pos;
  return true;
}

void repairTagAt(MediaFile& media, PictureData pictures) {
  unsigned char h[28] = {};
  const size_t got = readMediaFile(media, 0, h, sizeof h);
  uint64_t tagStart = 0;
  bool dsf = false;
  if (got >= 28 && std::memcmp(h, "DSD ", 4) == 0) {
    // A DSF file: its metadata pointer, little-endian at byte 20, gives
    // where its ID3v2 tag starts (0: none).
    uint64_t at = 0;
    for (int i = 7; i >= 0; --i) at = (at << 8) | h[20 + i];
    if (at == 0 || at >= media.fileSize || readMediaFile(media, at, h, TAG_HEADER_SIZE) != 10)
      return;
    tagStart = at;
    dsf = true;
  } else if (got < TAG_HEADER_SIZE) {
    return;
  }
  if (std::memcmp(h, "ID3", 3) != 0 || ((h[6] | h[7] | h[8] | h[9]) & 0x80)) {
    std::string metadata;
    uint64_t standsFor = 0;
    if (!dsf && pictures == PictureData::leftOut &&
        condenseFlacPictures(media, metadata, standsFor))
      setMediaHead(media, std::move(metadata), standsFor);
    return;
  }
  uint64_t tagBytes = TAG_HEADER_SIZE + synchsafe(h + 6);
  if (h[3] == 4 && (h[5] & TAG_FOOTER_V24)) tagBytes += TAG_HEADER_SIZE;
  tagBytes = std::min(tagBytes, media.fileSize - tagStart);
  std::string condensed;
  if (!dsf && pictures == PictureData::leftOut && condensePictures(media, h, tagBytes, condensed)) {
    std::string repaired;
    const auto* bytes = reinterpret_cast<const unsigned char*>(condensed.data());
    const bool repair =
        condensed.size() <= REPAIRED_TAG_LIMIT && repairId3v2Tag(bytes, condensed.size(), repaired);
    setMediaHead(media, repair ? std::move(repaired) : std::move(condensed), tagBytes);
    return;
  }
  if (tagBytes > REPAIRED_TAG_LIMIT) return;
  std::unique_ptr<unsigned char[]> tag(new unsigned char[static_cast<size_t>(tagBytes)]);
  const size_t n = readMediaFile(media, tagStart, tag.get(), static_cast<size_t>(tagBytes));
  std::string repaired;
  if (repairId3v2Tag(tag.get(), n, repaired)) {
    setMediaHead(media, std::move(repaired), dsf ? media.fileSize : tagBytes);
  } else if (dsf) {
    setMediaHead(media, std::string(reinterpret_cast<const char*>(tag.get()), n), media.fileSize);
  }
}

}  // namespace

void repairLeadingTag(MediaFile& media, PictureData pictures) {
  try {
    repairTagAt(media, pictures);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    // Any other failure leaves the file as stored.
  }
}
