// Writes ID3 tag bytes for tests: ID3v1/v1.1 trailers, ID3v2.2, ID3v2.3 and
// ID3v2.4 tags built from frames, and a little fake MPEG audio to sit between them.
// Everything is returned as a byte string; writeFile puts it on disk.
//
//   id3w::Frame f = id3w::textFrame("TIT2", "Abc");
//   std::string bytes = id3w::tagV2(3, {f}) + id3w::fakeAudio(4);
//   id3w::writeFile(dir.path("a.mp3"), bytes);
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace id3w {

// One ID3v2 frame: a four-character id and its body (everything after the
// ten-byte frame header). The header is written by tagV2 for the version
// asked for; flags go into its two flag bytes unchanged.
struct Frame {
  std::string id;
  std::string body;
  uint16_t flags = 0;
};

enum class ByteOrder { little, big };

// UTF-16 text with its byte order mark; no terminator.
std::string utf16(std::u16string_view text, ByteOrder order);
// The same units without a byte order mark.
std::string utf16Units(std::u16string_view text, ByteOrder order);

// Text frame with encoding byte 0: text is written byte for byte (ISO-8859-1).
Frame textFrame(std::string_view id, std::string_view latin1);
// Text frame with encoding byte 1: UTF-16 with the given byte order mark.
Frame textFrameUtf16(std::string_view id, std::u16string_view text, ByteOrder order);
// Text frame with encoding byte 3: UTF-8 bytes as given (ID3v2.4 only).
Frame textFrameUtf8(std::string_view id, std::string_view utf8);
// COMM with encoding 0: language (three letters), a terminated short
// description, then the text.
Frame commentFrame(std::string_view language, std::string_view description, std::string_view text);
// APIC with encoding 0: MIME type, picture type, a terminated description,
// then pictureBytes bytes of picture data (a fixed, non-zero pattern).
Frame pictureFrame(std::string_view mime, uint8_t pictureType, std::string_view description,
                   size_t pictureBytes);
// Any frame: id and body exactly as given (undefined ids, counters, ...).
Frame rawFrame(std::string_view id, std::string body, uint16_t flags = 0);
// The frame stored compressed (zlib) for a tag of the given version: in
// version 3 flag 0x0080 and the decompressed size as four big-endian bytes;
// in version 4 flags 0x0009 (compression, data length indicator) and the
// size synchsafe.
Frame compressedFrame(const Frame& plain, int version);

// A whole ID3v2 tag: ten-byte header (version 3 or 4, no flags), the
// frames, then padding zero bytes. Frame sizes are plain 32-bit numbers in
// version 3 and synchsafe in version 4; the tag size is always synchsafe.
std::string tagV2(int version, const std::vector<Frame>& frames, size_t padding = 0);
// A version 4 tag whose frame sizes are plain 32-bit numbers, as some
// taggers write them.
std::string tagV24PlainSizes(const std::vector<Frame>& frames);
// The tag unsynchronised as a whole: every 0xFF followed by a byte from
// 0xE0 up, or by 0x00, gets a 0x00 inserted after it; the header's flag
// 0x80 is set and its size fitted.
std::string unsynchronised(const std::string& tag);
// A version 3 tag unsynchronised as a whole whose frame sizes count the
// unsynchronised bytes, as some taggers wrote them.
std::string unsynchronisedSizesCountedAfter(const std::vector<Frame>& frames);
// The tag with header flag 0x40 set and ext (an extended header, as stored)
// put before its frames.
std::string withExtendedHeader(const std::string& tag, const std::string& ext);
// An ID3v2.2 tag (revision as given, no flags): each frame written with the
// first three characters of its id and a three-byte size; flags are unused.
std::string tagV22(int revision, const std::vector<Frame>& frames);
// Rewrites the size in a tag's header to the bytes after that header, for a
// tag (and nothing after it) that was grown or cut by hand.
void fitTagSize(std::string& tag);

// Four-byte sizes: plain big-endian, and synchsafe (seven bits a byte).
std::string bigEndian32(uint32_t v);
std::string synchsafe32(uint32_t v);

// The 128-byte ID3v1 trailer. Fields longer than their slot are cut. A track
// from 1 to 255 makes it ID3v1.1 (the comment then keeps 28 bytes).
struct V1 {
  std::string title, artist, album, year, comment;
  int track = 0;
  uint8_t genre = 255;
};
std::string tagV1(const V1& fields);

// frames MPEG-1 Layer III frames (128 kbit/s, 44.1 kHz), 417 bytes each.
std::string fakeAudio(size_t frames);

// A DSF file: its 28-byte header pointing to tag after the format and
// data chunks (a little silence).
std::string dsfFile(const std::string& tag);

// A FLAC stream (no audio frames): STREAMINFO, then a Vorbis comment
// holding the fields ("NAME=value") in order.
std::string flacStream(const std::vector<std::string>& fields);

// Writes bytes to path, replacing it; false when it cannot.
bool writeFile(const std::string& path, const std::string& bytes);

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& root() const { return root_; }
  std::string path(std::string_view name) const;

 private:
  std::string root_;
};

}  // namespace id3w
