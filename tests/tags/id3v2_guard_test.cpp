// The check made before id3lib parses a file: which ID3v2 tags it refuses,
// over tags written by the test helper and then damaged by hand, and the
// tag walk's result for a refused file.
#include "tags/id3v2_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tags/tag_fields.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"

namespace {

using id3w::Frame;

template <size_t N>
std::string bin(const char (&s)[N]) {
  return std::string(s, N - 1);
}

bool safe(const std::string& bytes, bool refuseCompressed) {
  const TagByteReader reader = [&](uint64_t offset, unsigned char* out, size_t count) -> size_t {
    if (offset >= bytes.size()) return 0;
    const size_t n = std::min<size_t>(count, bytes.size() - offset);
    std::memcpy(out, bytes.data() + offset, n);
    return n;
  };
  return id3v2TagsSafe(reader, bytes.size(), Id3v2GuardRules{refuseCompressed});
}

const Frame TITLE = id3w::textFrame("TIT2", "Title");
const Frame ARTIST = id3w::textFrame("TPE1", "Artist");
// A compressed frame's body: decompressed size, then (here, bogus) data.
const std::string PACKED = bin("\0\0\0\x10xxxxxxxx");

Frame flagged(uint16_t flags) { return id3w::rawFrame("TALB", PACKED, flags); }

std::string withHeaderFlags(std::string tag, unsigned char flags) {
  tag[5] = static_cast<char>(flags);
  return tag;
}

// Inserts an extended header (bytes) after the tag header and grows the
// tag's size to match; sets the extended flag.
std::string withExtended(std::string tag, const std::string& ext) {
  tag.insert(10, ext);
  tag[5] = static_cast<char>(tag[5] | 0x40);
  id3w::fitTagSize(tag);
  return tag;
}

// Appends bytes after a tag's frames, inside the tag.
std::string withTail(std::string tag, const std::string& tail) {
  tag += tail;
  id3w::fitTagSize(tag);
  return tag;
}

struct Case {
  const char* name;
  std::string bytes;
  bool safeWhenRefusing;  // rules of a platform where compression faults
  bool safeOtherwise;     // rules of a platform where it does not
};

std::vector<Case> cases() {
  const std::string audio = id3w::fakeAudio(1);
  std::string beyondTag = id3w::tagV2(3, {TITLE, flagged(0x0080)}) + audio;
  // The tag's size stops before the compressed frame: id3lib never sees it.
  beyondTag[9] = static_cast<char>(10 + 6);
  std::string overhang = id3w::tagV2(3, {TITLE, flagged(0x0080)}) + audio;
  // The tag ends 6 bytes before the compressed frame does: id3lib still
  // reads the frame, cut to the tag.
  overhang[9] = static_cast<char>(overhang[9] - 6);
  std::string tooBig = id3w::tagV2(3, {TITLE, ARTIST, flagged(0x0080)}) + audio;
  tooBig[10 + 10 + 6 + 7] = '\x7F';  // TPE1 claims more than the tag holds
  std::string unsyncCompressed = id3w::tagV2(3, {TITLE, flagged(0x0080)});
  unsyncCompressed = withHeaderFlags(unsyncCompressed, 0x80) + audio;
  // The unsynchronisation scheme: an FF 00 pair inside the first frame's
  // text shifts what follows by one byte once restored.
  std::string unsyncShifted =
      withHeaderFlags(id3w::tagV2(3, {id3w::textFrame("TIT2", bin("a\xFF\0b")), flagged(0x0080)}),
                      0x80) +
      audio;
  const std::string cdm = id3w::tagV22(1, {id3w::rawFrame("CDM", bin("z\0\0\0\x01"))}) +
                          audio;  // compressed v2.2.1 frames
  const std::string v22 = id3w::tagV22(0, {id3w::textFrame("TT2", "abc")}) + audio;
  const std::string v24ext1 = withExtended(id3w::tagV2(4, {TITLE}), bin("\0\0\0\x06\x01\0"));
  const std::string v24ext0 = withExtended(id3w::tagV2(4, {TITLE}), bin("\0\0\0\x06\0\0"));
  const std::string v24ext2 = withExtended(id3w::tagV2(4, {TITLE}), bin("\0\0\0\x06\x02\0\0"));
  const std::string v24extCrc =
      withExtended(id3w::tagV2(4, {TITLE}), bin("\0\0\0\x0C\x01\x20\x05\0\0\0\0\0"));
  const std::string v23ext = withExtended(id3w::tagV2(3, {TITLE}), bin("\0\0\0\x06\0\0\0\0\0\0"));
  std::string v23extTooBig = id3w::tagV2(3, {});  // empty tag, then a 10-byte extended header
  v23extTooBig = withHeaderFlags(v23extTooBig, 0x40) + bin("\0\0\0\x06\0\0\0\0\0\0") + audio;
  std::string v25 = id3w::tagV2(3, {flagged(0x0080)}) + audio;
  v25[3] = 5;  // a version id3lib does not read frames of
  std::string notTag = id3w::tagV2(3, {flagged(0x0080)}) + audio;
  notTag[7] = '\x80';  // not a size: not a tag
  // A whole compressed frame header and data, to hide inside other frames.
  const std::string hidden = std::string("TALB\0\0\0\x0C\0\x80", 10) + PACKED;
  // A picture whose data holds what looks like a compressed frame.
  Frame picture = id3w::pictureFrame("image/png", 3, "", 40);
  picture.body += hidden;
  return {
      {"PCNT reads four bytes: the rest is read as frames",
       id3w::tagV2(3, {id3w::rawFrame("PCNT", bin("\0\0\0\x05") + hidden)}) + audio, false, true},
      {"PCNT of four bytes", id3w::tagV2(3, {id3w::rawFrame("PCNT", bin("\0\0\0\x05")), TITLE}),
       true, true},
      {"POPM reads address, rating and counter",
       id3w::tagV2(3, {id3w::rawFrame("POPM", bin("a@b\0\x07\0\0\0\x01") + hidden)}) + audio, false,
       true},
      // The comment's one byte ends before its language: id3lib goes back
      // to the frame's data and reads "T" and what follows as a frame.
      {"COMM too short for its fields: id3lib reads its data as frames",
       withTail(id3w::tagV2(3, {id3w::rawFrame("COMM", "T")}), hidden.substr(1)) + audio, false,
       true},
      {"COMM with its fields", id3w::tagV2(3, {id3w::commentFrame("eng", "d", hidden)}) + audio,
       true, true},
      {"APIC whose picture looks like a compressed frame", id3w::tagV2(3, {picture}) + audio, true,
       true},
      // The MIME type runs to the end: id3lib goes back to it.
      {"APIC without its picture type: back to the MIME type",
       withTail(id3w::tagV2(3, {id3w::rawFrame("APIC", bin("\0TALB"))}), hidden.substr(4)) + audio,
       false, true},
      {"v2.3 frame COM and a zero byte is a comment",
       withTail(id3w::tagV2(3, {id3w::rawFrame("COM", "T")}), hidden.substr(1)) + audio, false,
       true},
      {"unknown frame of one byte is read whole",
       withTail(id3w::tagV2(3, {id3w::rawFrame("XXXX", "T")}), hidden.substr(1)) + audio, true,
       true},
      {"IPLS in UTF-16 with an odd byte: id3lib never finishes",
       id3w::tagV2(3, {id3w::rawFrame("IPLS", bin("\x01\xFF\xFE"
                                                  "a\0\0\0b"))}) +
           audio,
       false, false},
      {"IPLS in UTF-16, even",
       id3w::tagV2(3, {id3w::rawFrame("IPLS", bin("\x01\xFF\xFE"
                                                  "a\0\0\0"))}) +
           audio,
       true, true},
      {"UTF-16 text with an odd last byte after FF FE",
       id3w::tagV2(3, {id3w::rawFrame("TXXX", bin("\x01\0\0\xFF\xFE"
                                                  "a\0b"))}) +
           audio,
       true, true},
      // UTF-16 after FF FE read in pairs: the odd last byte starts the next
      // frame, whose flags here mark it compressed.
      {"text frame one byte short in UTF-16",
       withTail(id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\x01\xFF\xFE"
                                                           "a\0T"))}),
                hidden.substr(1)) +
           audio,
       false, true},
      {"text frame in UTF-16, even",
       withTail(id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\x01\xFF\xFE"
                                                           "a\0"))}),
                hidden) +
           audio,
       false, true},
      {"text frame in UTF-16 after FE FF is read whole",
       withTail(id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\x01\xFE\xFF\0aT"))}),
                hidden.substr(1)) +
           audio,
       true, true},
      {"no tag", audio, true, true},
      {"empty file", "", true, true},
      {"ID3v1 only", audio + id3w::tagV1({"T", "A", "", "", "", 0, 1}), true, true},
      {"plain v2.3", id3w::tagV2(3, {TITLE, ARTIST}, 32) + audio, true, true},
      {"v2.3 compressed first", id3w::tagV2(3, {flagged(0x0080), TITLE}) + audio, false, true},
      {"v2.3 compressed after others", id3w::tagV2(3, {TITLE, ARTIST, flagged(0x0080)}) + audio,
       false, true},
      {"v2.3 compressed and encrypted", id3w::tagV2(3, {TITLE, flagged(0x00C0)}) + audio, false,
       true},
      {"v2.3 other flags", id3w::tagV2(3, {TITLE, flagged(0xE060)}) + audio, true, true},
      {"v2.3 0x0008 is no compression bit", id3w::tagV2(3, {flagged(0x0008)}) + audio, true, true},
      {"v2.4 compressed", id3w::tagV2(4, {TITLE, flagged(0x0009)}) + audio, false, true},
      {"v2.4 frame with id3lib's compression bit", id3w::tagV2(4, {flagged(0x0080)}) + audio, false,
       true},
      {"v2.4 plain", id3w::tagV2(4, {TITLE, flagged(0x0040)}) + audio, true, true},
      {"compressed frame after the padding",
       id3w::tagV2(3, {TITLE}, 8) + std::string("TALB\0\0\0\x0C\0\x80", 10) + PACKED + audio, true,
       true},
      {"compressed frame beyond the tag's size", beyondTag, true, true},
      {"walk stops at a frame that does not fit", tooBig, true, true},
      {"compressed frame overhanging the tag by less than a header", overhang, false, true},
      {"compressed frame in a second tag",
       id3w::tagV2(3, {TITLE}) + id3w::tagV2(3, {flagged(0x0080)}) + audio, false, true},
      {"unsynchronised tag, compressed frame", unsyncCompressed, false, true},
      // The frame's five bytes are counted restored: its window reaches one
      // stored byte into the next header, which id3lib then never reads.
      {"unsynchronised tag, compressed frame after FF 00", unsyncShifted, true, true},
      {"unsynchronised tag, window of restored bytes reaches past a byte",
       withHeaderFlags(
           withTail(id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\0a\xFF\0b"))}), "Z" + hidden),
           0x80) +
           audio,
       false, true},
      // Reading the text's last byte 0xFF also passes the 0x00 after the
      // frame: the next frame starts one byte later, where one is hidden.
      {"unsynchronised tag, 0xFF 0x00 across a frame's end",
       withHeaderFlags(withTail(id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\0a\xFF"))}),
                                std::string(1, '\0') + hidden),
                       0x80) +
           audio,
       false, true},
      {"0xFF 0x00 across a frame's end, not unsynchronised",
       withTail(id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\0a\xFF"))}),
                std::string(1, '\0') + hidden) +
           audio,
       true, true},
      {"v2.2 plain", v22, true, true},
      {"v2.2.1 compressed frames (CDM)", cdm, false, false},
      {"v2.3 frame id3lib takes for CDM",
       id3w::tagV2(3, {TITLE, id3w::rawFrame("CDM", "z")}) + audio, false, false},
      {"v2.3 frame CDMA", id3w::tagV2(3, {TITLE, id3w::rawFrame("CDMA", "z")}) + audio, true, true},
      {"v2.4 extended header, one flag byte", v24ext1, true, true},
      {"v2.4 extended header with CRC", v24extCrc, true, true},
      {"v2.4 extended header, no flag byte", v24ext0, false, false},
      {"v2.4 extended header, two flag bytes", v24ext2, false, false},
      {"v2.3 extended header", v23ext, true, true},
      {"v2.3 extended header larger than the tag", v23extTooBig, false, false},
      {"unknown version", v25, true, true},
      {"size with its top bit set", notTag, true, true},
  };
}

TEST(Id3v2Guard, RefusesWhatId3libFaultsOn) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(safe(c.bytes, true), c.safeWhenRefusing);
    EXPECT_EQ(safe(c.bytes, false), c.safeOtherwise);
  }
}

// Every prefix of a tag with a compressed frame: never a read past the
// bytes given (AddressSanitizer builds), and refused once id3lib would read
// the frame: its ten header bytes are there, and its data size counted from
// the header's start fits the file.
TEST(Id3v2Guard, TruncatedTags) {
  const std::string full = id3w::tagV2(3, {TITLE, flagged(0x0080)});
  const size_t frameStart = 10 + 10 + TITLE.body.size();
  const size_t readFrom = frameStart + std::max<size_t>(10, PACKED.size());
  for (size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    // The tag's size still claims every frame; the file just ends early.
    EXPECT_EQ(safe(full.substr(0, n), true), n < readFrom);
  }
}

TEST(Id3v2Guard, RulesFollowTheWidthOfUnsignedLong) {
  EXPECT_EQ(id3v2GuardRules().refuseCompressed, sizeof(unsigned long) > 4);
}

class Id3v2GuardFile : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  id3w::TempDir dir;
};

// The walk over a file on disk: a tag the guard refuses is repaired before
// id3lib sees it (the damaged frame dropped), so the walk gives the frames
// a tolerant reader finds in it.
TEST_F(Id3v2GuardFile, RefusedTagsAreRepairedBeforeTheWalk) {
  const std::string audio = id3w::fakeAudio(2);
  struct FileCase {
    const char* name;
    std::string bytes;
    bool refusedHere;
    size_t pairs;
  };
  const bool wide = sizeof(unsigned long) > 4;
  const std::vector<FileCase> files = {
      {"plain", id3w::tagV2(3, {TITLE}) + audio, false, 1},
      {"compressed, damaged", id3w::tagV2(3, {TITLE, flagged(0x0080)}) + audio, wide, 1},
      {"bad v2.4 extended header, then padding",
       withExtended(id3w::tagV2(4, {TITLE}), bin("\0\0\0\x06\x05\0\0\0\0\0")) + audio, true, 0},
  };
  for (const FileCase& f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = dir.path(std::string(f.name) + ".mp3");
    ASSERT_TRUE(id3w::writeFile(path, f.bytes));
    EXPECT_EQ(id3v2FileSafe(path.c_str()), !f.refusedHere);
    const std::optional<TagPairs> pairs = collectTagFields(path.c_str());
    ASSERT_TRUE(pairs);
    EXPECT_EQ(pairs->size(), f.pairs);
  }
  EXPECT_TRUE(id3v2FileSafe(dir.path("missing.mp3").c_str()));
}

}  // namespace
