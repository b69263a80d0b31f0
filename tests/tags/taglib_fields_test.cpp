// The fragment from what id3lib cannot read: ID3v2.4 tags (every encoding,
// several values, ids without a number) and the formats TagLib reads,
// written by the test helper or by the real encoders; the per-file cache;
// nested MP4 atoms; the numbers against id3lib's own frame table; and the
// stand-in player's titles from the same readers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <id3/field.h>
#include <id3/globals.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/buffer.h"
#include "tags/frame_numbers.h"
#include "tags/media_file.h"
#include "tags/readers.h"
#include "tags/tag_fields.h"
#include "tags/tag_title.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"
#include "tests/support/tag_files.h"
#include "tests/support/tag_fragment.h"

namespace {

using id3w::ByteOrder;
using id3w::Frame;

std::string n(ID3_FrameID id) { return std::to_string(static_cast<int>(id)); }

std::string v24(const std::vector<Frame>& frames) {
  return id3w::tagV2(4, frames) + id3w::fakeAudio(4);
}

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// An MP4 atom: its size, its four-character name, its body.
std::string atom(const std::string& name, const std::string& body) {
  return be32(static_cast<uint32_t>(8 + body.size())) + name + body;
}

// An iTunes-style item holding UTF-8 text.
std::string item(const std::string& name, const std::string& text) {
  return atom(name, atom("data", be32(1) + be32(0) + text));
}

// A minimal M4A: file type, then moov/udta/meta/ilst with the items.
std::string m4a(const std::string& items) {
  const std::string hdlr = atom("hdlr", std::string(8, '\0') + "mdirappl" + std::string(9, '\0'));
  const std::string meta = atom("meta", std::string(4, '\0') + hdlr + atom("ilst", items));
  return atom("ftyp", std::string("M4A ") + be32(0) + "M4A mp42isom") +
         atom("moov", atom("udta", meta));
}

// depth containers nested inside each other, each "moov", around a "free".
std::string nestedMoov(size_t depth) {
  std::string out = atom("ftyp", std::string("M4A ") + be32(0));
  for (size_t i = 0; i < depth; ++i)
    out += be32(static_cast<uint32_t>(8 * (depth - i + 1))) + "moov";
  return out + atom("free", "");
}

class TagLibFields : public testing_support::TagFilesTest {
 protected:
  std::string file(const std::string& bytes, const std::string& name = "") {
    return write(name.empty() ? fresh("t", ".mp3") : name, bytes);
  }

  std::string collect(const std::string& path) { return testing_support::tagFragment(path); }

  // One second of a quiet tone as raw 16-bit mono samples at 8 kHz, the
  // input every encoder below is given.
  std::string rawAudio() {
    std::string samples;
    for (int i = 0; i < 8000; ++i) {
      const int v = (i % 40 < 20 ? 1 : -1) * 2000;
      samples += static_cast<char>(v & 0xFF);
      samples += static_cast<char>((v >> 8) & 0xFF);
    }
    return file(samples, "tone.raw");
  }
};

bool run(const std::string& command) {
  const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  return rc == 0;
}

// Whether want's entries appear in fragment in the same order (an encoder
// may add entries of its own between them).
bool inOrder(const std::string& fragment, const std::vector<std::string>& want) {
  size_t at = 0;
  for (const std::string& w : want) {
    const size_t found = ("&" + fragment + "&").find("&" + w + "&", at);
    if (found == std::string::npos) return false;
    at = found + w.size();
  }
  return true;
}

TEST_F(TagLibFields, Id3v24FramesInTagOrder) {
  const std::string utf16be = std::string("\x02\x00T\x00i", 5);  // "Ti", no byte order mark
  const std::string bothOrders = std::string("\x01", 1) + id3w::utf16(u"Ab", ByteOrder::little) +
                                 std::string(2, '\0') + id3w::utf16(u"Cd", ByteOrder::big);
  const std::string url = "http://127.0.0.1/a?b=c";
  struct Case {
    const char* name;
    std::string bytes;
    std::string fragment;
  } cases[] = {
      {"each encoding",
       v24({id3w::textFrame("TIT2", "Caf\xE9"),
            id3w::textFrameUtf16("TPE1", u"Zoë ✓", ByteOrder::little),
            id3w::textFrameUtf16("TALB", u"日本", ByteOrder::big), id3w::rawFrame("TCOM", utf16be),
            id3w::textFrameUtf8("TCON", "Zo\xC3\xAB")}),
       "wm_id3[" + n(ID3FID_TITLE) + "]=Caf%C3%A9&wm_id3[" + n(ID3FID_LEADARTIST) +
           "]=Zo%C3%AB%20%E2%9C%93&wm_id3[" + n(ID3FID_ALBUM) + "]=%E6%97%A5%E6%9C%AC&wm_id3[" +
           n(ID3FID_COMPOSER) + "]=Ti&wm_id3[" + n(ID3FID_CONTENTTYPE) + "]=Zo%C3%AB"},
      {"several values joined by a slash",
       v24({id3w::textFrameUtf8("TPE1", std::string("A\0B\0C", 5)),
            id3w::textFrame("TCOM", std::string("x\0y", 3)), id3w::rawFrame("TEXT", bothOrders)}),
       "wm_id3[" + n(ID3FID_LEADARTIST) + "]=A%2FB%2FC&wm_id3[" + n(ID3FID_COMPOSER) +
           "]=x%2Fy&wm_id3[" + n(ID3FID_LYRICIST) + "]=Ab%2FCd"},
      {"frames only v2.4 defines, and ids without a number",
       v24({id3w::textFrame("TDRC", "2001-02-03"), id3w::textFrame("TSO2", "hidden"),
            id3w::textFrame("TSOA", "Sort"), id3w::textFrame("TCMP", "1"),
            id3w::rawFrame("GRP1", std::string("\0grp", 4)), id3w::rawFrame("ZZZZ", "x")}),
       "wm_id3[" + n(ID3FID_RECORDINGTIME) + "]=2001-02-03&wm_id3[0]=&wm_id3[" +
           n(ID3FID_ALBUMSORTORDER) + "]=Sort&wm_id3[0]=&wm_id3[0]=&wm_id3[0]="},
      {"user text, comment, lyrics, links and a picture",
       v24({id3w::rawFrame("TXXX", std::string("\x03"
                                               "desc\0value",
                                               11)),
            id3w::rawFrame("COMM", std::string("\x03"
                                               "engd\0note",
                                               10)),
            id3w::rawFrame("USLT", std::string("\x00"
                                               "eng\0words",
                                               10)),
            id3w::rawFrame("WOAR", url),
            id3w::rawFrame("WXXX", std::string("\x00"
                                               "site\0",
                                               6) +
                                       url),
            id3w::pictureFrame("image/png", 3, "", 100)}),
       "wm_id3[" + n(ID3FID_USERTEXT) + "]=value&wm_id3[" + n(ID3FID_COMMENT) + "]=note&wm_id3[" +
           n(ID3FID_UNSYNCEDLYRICS) + "]=words&wm_id3[" + n(ID3FID_WWWARTIST) +
           "]=http%3A%2F%2F127.0.0.1%2Fa%3Fb%3Dc&wm_id3[" + n(ID3FID_WWWUSER) +
           "]=http%3A%2F%2F127.0.0.1%2Fa%3Fb%3Dc&wm_id3[" + n(ID3FID_PICTURE) + "]="},
      {"an ID3v2.4 tag without frames leaves the ID3v1 tag",
       id3w::tagV2(4, {}, 64) + id3w::fakeAudio(4) + id3w::tagV1({"One", "", "", "", "", 0, 255}),
       "wm_id3[" + n(ID3FID_TITLE) + "]=One"},
      {"an ID3v2.4 tag with frames supersedes the ID3v1 tag",
       v24({id3w::textFrame("TIT2", "Four")}) + id3w::tagV1({"One", "", "", "", "", 0, 255}),
       "wm_id3[" + n(ID3FID_TITLE) + "]=Four"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(collect(file(c.bytes)), c.fragment);
  }
}

// A value is cut to 1024 bytes, never inside a character; the player's
// title shows the cut value unescaped.
TEST_F(TagLibFields, LongValuesCutOnCharacterBoundaries) {
  std::string longTitle = "a";
  for (int i = 0; i < 600; ++i) longTitle += "\xC3\xA9";
  const std::string path =
      file(v24({id3w::textFrameUtf8("TIT2", longTitle), id3w::textFrame("TPE1", "P")}));
  const std::string title = tagTitle(path.c_str());
  ASSERT_EQ(title.rfind("P - a\xC3\xA9", 0), 0u) << title.substr(0, 20);
  EXPECT_EQ(title.size(), 4u + 1023u);
  EXPECT_EQ(title.substr(title.size() - 2), "\xC3\xA9");
}

TEST_F(TagLibFields, OtherFormatsThroughTagLibsPropertyMap) {
  const std::string raw = rawAudio();
  const std::string flacFile = dir.path("a.flac"), oggFile = dir.path("a.ogg"),
                    opusFile = dir.path("a.opus"), apeFile = dir.path("ape.mp3"),
                    mutagenFile = dir.path("mutagen.mp3");
  ASSERT_TRUE(
      run("flac -s --force-raw-format --endian=little --sign=signed --channels=1 --bps=16 "
          "--sample-rate=8000 -T TITLE=T -T ARTIST=A -T MYKEY=v -T DATE=2001 "
          "-T TRACKNUMBER=3 -o " +
          flacFile + " " + raw));
  ASSERT_TRUE(run("oggenc -Q -r -C 1 -R 8000 -B 16 -c TITLE=T -c ARTIST=A -c MYKEY=v -o " +
                  oggFile + " " + raw));
  ASSERT_TRUE(
      run("opusenc --quiet --raw --raw-bits 16 --raw-rate 8000 --raw-chan 1 --title T "
          "--artist A --comment MYKEY=v " +
          raw + " " + opusFile));
  ASSERT_TRUE(run("lame --quiet -r -s 8 -m m --bitwidth 16 " + raw + " " + apeFile + " && cp " +
                  apeFile + " " + mutagenFile));
  // An APE tag only, and an ID3v2.4 tag as mutagen writes it by default.
  ASSERT_TRUE(
      run("/usr/bin/python3 -c \"import sys; from mutagen.apev2 import APEv2; t = APEv2(); "
          "t['Title'] = 'T'; t['Artist'] = 'A'; t['MyKey'] = 'v'; t.save(sys.argv[1])\" " +
          apeFile));
  ASSERT_TRUE(
      run("/usr/bin/python3 -c \"import sys; from mutagen.id3 import ID3, TIT2, TPE1, TXXX; "
          "t = ID3(); t.add(TIT2(encoding=3, text=['T'])); "
          "t.add(TPE1(encoding=1, text=['A', 'B'])); "
          "t.add(TXXX(encoding=3, desc='MYKEY', text=['v'])); t.save(sys.argv[1])\" " +
          mutagenFile));
  // MP4: TagLib maps the free-form keys it knows (LABEL) and drops others.
  auto freeForm = [](const std::string& key, const std::string& value) {
    return atom("----", atom("mean", std::string(4, '\0') + "com.apple.iTunes") +
                            atom("name", std::string(4, '\0') + key) +
                            atom("data", be32(1) + be32(0) + value));
  };
  const std::string m4aFile = file(m4a(item("\xA9nam", "T") +
                                       item("\xA9"
                                            "ART",
                                            "A") +
                                       freeForm("MYKEY", "v") + freeForm("LABEL", "L")),
                                   "a.m4a");

  // TagLib's property map is ordered by key, and its ID3v2 mapping turns
  // ARTIST into TPE1, DATE into TDRC, TITLE into TIT2, TRACKNUMBER into
  // TRCK and a key it does not know into TXXX.
  const std::string artist = "wm_id3[" + n(ID3FID_LEADARTIST) + "]=A";
  const std::string unknownKey = "wm_id3[" + n(ID3FID_USERTEXT) + "]=v";
  const std::string title = "wm_id3[" + n(ID3FID_TITLE) + "]=T";
  struct Case {
    std::string path;
    bool exact;  // no encoder adds keys of its own
    std::vector<std::string> entries;
  } cases[] = {
      {flacFile,
       true,
       {artist, "wm_id3[" + n(ID3FID_RECORDINGTIME) + "]=2001", unknownKey, title,
        "wm_id3[" + n(ID3FID_TRACKNUM) + "]=3"}},
      {oggFile, false, {artist, unknownKey, title}},
      {opusFile, false, {artist, unknownKey, title}},
      {m4aFile, true, {artist, "wm_id3[" + n(ID3FID_PUBLISHER) + "]=L", title}},
      {apeFile, true, {artist, unknownKey, title}},
      {mutagenFile, false, {title}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string fragment = collect(c.path);
    EXPECT_TRUE(inOrder(fragment, c.entries)) << fragment;
    if (c.exact) {
      std::string joined;
      for (const auto& e : c.entries) joined += (joined.empty() ? "" : "&") + e;
      EXPECT_EQ(fragment, joined);
    }
    EXPECT_EQ(tagTitle(c.path.c_str()), c.path == mutagenFile ? "A/B - T" : "A - T");
  }
  // The mutagen file's frames, in whatever order mutagen wrote them.
  const std::string fragment = collect(mutagenFile);
  EXPECT_NE(fragment.find("wm_id3[" + n(ID3FID_LEADARTIST) + "]=A%2FB"), std::string::npos);
  EXPECT_NE(fragment.find(unknownKey), std::string::npos);
}

// A tick on the same unchanged file hands out the kept fragment without
// reading the file; a file written since (or another file) is read again.
TEST_F(TagLibFields, KeptFragmentFollowsTheFile) {
  const std::string path =
      file(id3w::tagV2(3, {id3w::textFrame("TIT2", "Old")}) + id3w::fakeAudio(2));
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  const std::string oldFragment = "wm_id3[" + n(ID3FID_TITLE) + "]=Old";
  EXPECT_EQ(collect(path), oldFragment);

  // Same size, same time of writing: taken for the same file.
  const std::string retagged =
      id3w::tagV2(3, {id3w::textFrame("TIT2", "New")}) + id3w::fakeAudio(2);
  ASSERT_TRUE(id3w::writeFile(path, retagged));
  const struct timespec same[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), same, 0), 0);
  EXPECT_EQ(collect(path), oldFragment);

  // A later time of writing: read again.
  struct timespec later[2] = {before.st_atim, before.st_mtim};
  later[1].tv_sec += 1;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
  EXPECT_EQ(collect(path), "wm_id3[" + n(ID3FID_TITLE) + "]=New");

  // A different size with the same time: read again.
  ASSERT_TRUE(id3w::writeFile(path, v24({id3w::textFrame("TIT2", "Longer")})));
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
  EXPECT_EQ(collect(path), "wm_id3[" + n(ID3FID_TITLE) + "]=Longer");

  // Another file of the same size and time is not taken for it.
  const std::string other = file(v24({id3w::textFrame("TIT2", "Oth3r")}));
  ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), later, 0), 0);
  EXPECT_EQ(collect(other), "wm_id3[" + n(ID3FID_TITLE) + "]=Oth3r");
  EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(TagLibFields, NestedMp4AtomsAreRefusedBeforeTagLibSeesThem) {
  struct Case {
    size_t depth;
    bool safe;
  } cases[] = {{1, true}, {31, true}, {32, true}, {33, false}, {60000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.depth);
    const std::string bytes = nestedMoov(c.depth);
    const MediaFileOwner media = openMediaFile(file(bytes, "n.m4a").c_str());
    ASSERT_TRUE(media);
    EXPECT_EQ(mp4NestingSafe(*media), c.safe);
  }
  // Some 480 KB of nesting, under an MP4 name, a name without an
  // extension and an MP3 name: no crash, no frames.
  const std::string deep = nestedMoov(60000);
  for (const char* name : {"deep.m4a", "deep", "deep.mp3"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(collect(file(deep, name)), "");
    EXPECT_EQ(tagTitle(dir.path(name).c_str()), "");
  }
}

// A name the player gives in UTF-16 (Cyrillic, CJK, a character beyond the
// basic plane) opens the same file as its UTF-8 bytes do here; a name too
// long for any system gives the empty fragment.
TEST_F(TagLibFields, WideFileNames) {
  const std::u16string wide = u"Пример 日本 \U0001F3B5.mp3";
  const std::string utf8 = "Пример 日本 \U0001F3B5.mp3";
  const std::string path = file(v24({id3w::textFrame("TIT2", "Wide")}), utf8);
  std::u16string full(path.begin(), path.end() - static_cast<long>(utf8.size()));
  full += wide;
  const std::vector<uint16_t> units(full.begin(), full.end() + 1);
  EXPECT_EQ(testing_support::tagFragment(collectTagFieldsWide(units.data())),
            "wm_id3[" + n(ID3FID_TITLE) + "]=Wide");
  const std::vector<uint16_t> endless(40000, u'a');
  std::vector<uint16_t> tooLong = endless;
  tooLong.push_back(0);
  EXPECT_EQ(testing_support::tagFragment(collectTagFieldsWide(tooLong.data())), "");
}

// Every id id3lib's own frame table names maps to id3lib's number for it.
TEST(FrameNumbers, AgreeWithId3libsFrameTable) {
  size_t checked = 0;
  for (int id = ID3FID_NOFRAME + 1; id < ID3FID_LASTFRAMEID; ++id) {
    ID3_FrameInfo info;
    const char* textId = info.LongName(static_cast<ID3_FrameID>(id));
    if (textId == nullptr || std::strlen(textId) != 4) continue;
    SCOPED_TRACE(textId);
    EXPECT_EQ(frameNumber(textId), id);
    ++checked;
  }
  EXPECT_GT(checked, 60u);
  for (const char* unknown : {"TSO2", "TCMP", "GRP1", "MVNM", "\0\0\0\0"}) {
    EXPECT_EQ(frameNumber(unknown), 0) << unknown;
  }
}

}  // namespace
