// Hand-made tags of each kind of damage the repair pass reads (bytes from
// the shared tag builder), with the pairs expected from each: the table of
// tag_repair_test, and files the corpus check writes beside the real ones.
#pragma once

#include <id3/globals.h>

#include <string>
#include <vector>

#include "tests/support/id3_writer.h"

namespace repair_cases {

struct Case {
  const char* name;
  std::string bytes;
  std::string pairs;  // "n=text" lines
  const char* ext = ".mp3";
};

inline std::string n(ID3_FrameID id) { return std::to_string(static_cast<int>(id)); }

template <size_t N>
std::string bin(const char (&s)[N]) {
  return std::string(s, N - 1);
}

inline std::vector<Case> all() {
  using id3w::ByteOrder;
  using id3w::Frame;
  const std::string audio = id3w::fakeAudio(2);
  const Frame title = id3w::textFrame("TIT2", "Title");
  const Frame artist = id3w::textFrame("TPE1", "Artist");
  const Frame album = id3w::textFrame("TALB", "Album");
  // A value whose frame's plain size read synchsafe is shorter: as the last
  // frame, neither size lands on another frame.
  const std::string longNote(300, 'n');
  return {
      {"UTF-16 without a byte order mark is little-endian",
       id3w::tagV2(
           3, {id3w::rawFrame("TIT2", "\x01" + id3w::utf16Units(u"My World", ByteOrder::little)),
               id3w::rawFrame("TPE1", "\x01" + id3w::utf16Units(u"Zoë", ByteOrder::little))}) +
           audio,
       "47=My World\n61=Zoë\n"},
      {"UTF-16BE (encoding 2) in a v2.3 tag",
       id3w::tagV2(3, {id3w::rawFrame("TIT2", "\x02" + id3w::utf16Units(u"Café", ByteOrder::big)),
                       artist}) +
           audio,
       "47=Café\n61=Artist\n"},
      {"an odd-length UTF-16 frame keeps its odd byte, the frames after it are read",
       id3w::tagV2(
           3, {id3w::rawFrame("TBPM", "\x01" + id3w::utf16(u"120", ByteOrder::little) + "x"), title,
               artist, album}) +
           audio,
       n(ID3FID_BPM) + "=120x\n47=Title\n61=Artist\n29=Album\n"},
      {"a v2.4 frame too short for its data length indicator is skipped",
       id3w::tagV2(4, {id3w::rawFrame("TENC", bin("\0"), 0x2001), title, artist}) + audio,
       "47=Title\n61=Artist\n"},
      {"v2.4 frame sizes written plain",
       id3w::tagV24PlainSizes({title, artist, id3w::commentFrame("eng", "", longNote)}) + audio,
       "47=Title\n61=Artist\n4=" + longNote + "\n"},
      {"a compressed v2.3 frame is inflated",
       id3w::tagV2(3, {id3w::compressedFrame(title, 3), artist}) + audio, "47=Title\n61=Artist\n"},
      {"a damaged compressed frame is skipped",
       id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\0\0\0\x09notzlib"), 0x0080), artist}) + audio,
       "61=Artist\n"},
      {"an encrypted frame goes out empty",
       id3w::tagV2(
           3, {id3w::rawFrame("TIT2", "\x80" + std::string("\x9f\x13\x77\x42"), 0x0040), artist}) +
           audio,
       "47=\n61=Artist\n"},
      {"zero-separated strings in v2.3 are joined by a slash",
       id3w::tagV2(
           3, {id3w::textFrame("TCON", bin("Live\0Pop")),
               id3w::rawFrame("TPE1", "\x01" + id3w::utf16(u"A", ByteOrder::big) + bin("\0\0") +
                                          id3w::utf16(u"B", ByteOrder::little))}) +
           audio,
       "32=Live/Pop\n61=A/B\n"},
      {"a v2.4 grouping byte",
       id3w::tagV2(4, {id3w::rawFrame("TIT2", "\x05" + title.body, 0x0040), artist}) + audio,
       "47=Title\n61=Artist\n"},
      {"a v2.3 grouping byte and unsynchronisation",
       id3w::unsynchronised(id3w::tagV2(3, {id3w::rawFrame("TIT2", "\x05" + title.body, 0x0020),
                                            id3w::pictureFrame("image/png", 3, "", 300), artist})) +
           audio,
       "47=Title\n2=\n61=Artist\n"},
      {"a v2.4 tag with an odd extended header before FLAC",
       id3w::withExtendedHeader(id3w::tagV2(4, {}), bin("\0\0\0\x06\x05\0")) +
           id3w::flacStream({"TITLE=Flac title", "ARTIST=Flac artist"}),
       "61=Flac artist\n47=Flac title\n", ".flac"},
      {"a DSF file's tag through its header", id3w::dsfFile(id3w::tagV2(3, {title, artist})),
       "47=Title\n61=Artist\n", ".dsf"},
      {"a DSF file's damaged tag, repaired",
       id3w::dsfFile(id3w::tagV2(4, {id3w::rawFrame("TIT2", "\x05" + title.body, 0x0040)})),
       "47=Title\n", ".dsf"},
      {"link frames carry their address on the id3lib path",
       id3w::tagV2(3, {id3w::rawFrame("WOAR", "http://127.0.0.1/a"),
                       id3w::rawFrame("WXXX", bin("\0site\0http://127.0.0.1/b"))}) +
           audio,
       n(ID3FID_WWWARTIST) + "=http://127.0.0.1/a\n" + n(ID3FID_WWWUSER) + "=http://127.0.0.1/b\n"},
      {"v2.4 ids in a v2.3 tag get their numbers and text",
       id3w::tagV2(3,
                   {id3w::textFrame("TDRC", "2001-02-03"), id3w::textFrame("TSOP", "Sort"),
                    id3w::rawFrame("TIPL", "\x01" + id3w::utf16(u"mix", ByteOrder::little) +
                                               bin("\0\0") + id3w::utf16(u"Jo", ByteOrder::little)),
                    id3w::textFrame("TSO2", "none")}) +
           audio,
       n(ID3FID_RECORDINGTIME) + "=2001-02-03\n" + n(ID3FID_PERFORMERSORTORDER) + "=Sort\n" +
           n(ID3FID_INVOLVEDPEOPLE2) + "=mix/Jo\n0=\n"},
      {"a v2.3 unsynchronised tag whose frame sizes count the unsynchronised bytes",
       id3w::unsynchronisedSizesCountedAfter(
           {title,
            id3w::rawFrame("APIC",
                           bin("\0image/jpeg\0\x03\0\xFF\xD8\xFF\xE0\0\x10JFIF\xFF\0\xFF\0") +
                               std::string(40, '\xFF') + bin("\xFF\xD9")),
            id3w::textFrame("TRCK", "7"), id3w::textFrame("TCON", "Jazz"),
            id3w::commentFrame("eng", "", "Note"), id3w::textFrame("TLEN", "1000")}) +
           audio,
       "47=Title\n2=\n68=7\n32=Jazz\n4=Note\n" + n(ID3FID_SONGLEN) + "=1000\n"},
      {"v2.4 frame ids ending in a space are skipped, the frames after them read",
       id3w::tagV2(4, {id3w::textFrame("TST ", "Sort title"), id3w::textFrame("TSA ", "Sort album"),
                       id3w::textFrame("TSP ", "Sort artist"), title, artist, album}) +
           audio,
       "47=Title\n61=Artist\n29=Album\n"},
  };
}

}  // namespace repair_cases
