// Tags that taggers got wrong, one row a kind of damage, each read through
// the whole walk (repair, then id3lib or TagLib) into the pairs expected;
// and the same tags before the repair leaves the bytes of a sound tag alone.
#include <gtest/gtest.h>
#include <id3/globals.h>

#include <string>
#include <vector>

#include "shell/state.h"
#include "tags/id3v2_repair.h"
#include "tags/tag_fields.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"

namespace {

using id3w::ByteOrder;
using id3w::Frame;

template <size_t N>
std::string bin(const char (&s)[N]) {
  return std::string(s, N - 1);
}

std::string n(ID3_FrameID id) { return std::to_string(static_cast<int>(id)); }

// The pairs as "n=text" lines, texts as UTF-8 or stored bytes.
std::string pairsText(const std::string& path) {
  const std::optional<TagPairs> pairs = collectTagFields(path.c_str());
  if (!pairs) return "<none>";
  std::string out;
  for (const TagPair& p : *pairs) out += std::to_string(p.number) + "=" + p.text + "\n";
  return out;
}

class TagRepair : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    forgetTagFields();
    ASSERT_FALSE(dir.root().empty());
  }
  std::string file(const std::string& bytes, const std::string& ext = ".mp3") {
    const std::string path = dir.path("r" + std::to_string(files++) + ext);
    EXPECT_TRUE(id3w::writeFile(path, bytes));
    return path;
  }
  id3w::TempDir dir;
  int files = 0;
};

TEST_F(TagRepair, DamagedTagsReadAsATolerantReaderReadsThem) {
  const std::string audio = id3w::fakeAudio(2);
  const Frame title = id3w::textFrame("TIT2", "Title");
  const Frame artist = id3w::textFrame("TPE1", "Artist");
  const Frame album = id3w::textFrame("TALB", "Album");
  // A value long enough that its synchsafe and plain sizes differ.
  const std::string longNote(300, 'n');
  struct Case {
    const char* name;
    std::string bytes;
    std::string pairs;
    const char* ext = ".mp3";
  } cases[] = {
      {"UTF-16 without a byte order mark is little-endian",
       id3w::tagV2(
           3, {id3w::rawFrame("TIT2", "\x01" + id3w::utf16Units(u"My World", ByteOrder::Little)),
               id3w::rawFrame("TPE1", "\x01" + id3w::utf16Units(u"Zoë", ByteOrder::Little))}) +
           audio,
       "47=My World\n61=Zoë\n"},
      {"UTF-16BE (encoding 2) in a v2.3 tag",
       id3w::tagV2(3, {id3w::rawFrame("TIT2", "\x02" + id3w::utf16Units(u"Café", ByteOrder::Big)),
                       artist}) +
           audio,
       "47=Café\n61=Artist\n"},
      {"an odd-length UTF-16 frame is skipped, the frames after it read",
       id3w::tagV2(
           3, {id3w::rawFrame("TBPM", "\x01" + id3w::utf16(u"120", ByteOrder::Little) + "x"), title,
               artist, album}) +
           audio,
       "47=Title\n61=Artist\n29=Album\n"},
      {"a v2.4 frame with an unknown text encoding is skipped",
       id3w::tagV2(4, {title, id3w::rawFrame("TENC", "\x07junk"), artist}) + audio,
       "47=Title\n61=Artist\n"},
      {"v2.4 frame sizes written plain",
       id3w::tagV24PlainSizes({title, id3w::commentFrame("eng", "", longNote), artist}) + audio,
       "47=Title\n4=" + longNote + "\n61=Artist\n"},
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
               id3w::rawFrame("TPE1", "\x01" + id3w::utf16(u"A", ByteOrder::Big) + bin("\0\0") +
                                          id3w::utf16(u"B", ByteOrder::Little))}) +
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
                    id3w::rawFrame("TIPL", "\x01" + id3w::utf16(u"mix", ByteOrder::Little) +
                                               bin("\0\0") + id3w::utf16(u"Jo", ByteOrder::Little)),
                    id3w::textFrame("TSO2", "none")}) +
           audio,
       n(ID3FID_RECORDINGTIME) + "=2001-02-03\n" + n(ID3FID_PERFORMERSORTORDER) + "=Sort\n" +
           n(ID3FID_INVOLVEDPEOPLE2) + "=mix/Jo\n0=\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pairsText(file(c.bytes, c.ext)), c.pairs);
  }
  EXPECT_TRUE(fake::state().boxes.empty());
}

// Latin-1 text goes out as UTF-8 with utf8Setting on and as stored with it
// off, on both readers; the kept pairs never cross from one mode to the
// other.
TEST_F(TagRepair, Latin1TextFollowsUtf8Setting) {
  const std::vector<Frame> frames = {id3w::textFrame("TPE1", "Mot\xF6rhead"),
                                     id3w::rawFrame("WOAR", "http://h/\xE9"),
                                     id3w::textFrameUtf16("TIT2", u"Zoë", ByteOrder::Little)};
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"v2.3 (id3lib)", id3w::tagV2(3, frames) + id3w::fakeAudio(2)},
      {"v2.4 (TagLib)", id3w::tagV2(4, frames) + id3w::fakeAudio(2)},
      {"v2.3 repaired", id3w::tagV2(3, {frames[0], frames[1], frames[2],
                                        id3w::compressedFrame(id3w::textFrame("TALB", "x"), 3)}) +
                            id3w::fakeAudio(2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = file(c.bytes);
    utf8Setting = true;
    const std::string utf8 = pairsText(path);
    EXPECT_EQ(utf8.substr(0, utf8.find("47=")), "61=Mot\xC3\xB6rhead\n87=http://h/\xC3\xA9\n");
    utf8Setting = false;
    const std::string stored = pairsText(path);
    EXPECT_EQ(stored.substr(0, stored.find("47=")), "61=Mot\xF6rhead\n87=http://h/\xE9\n");
    // UTF-16 text is UTF-8 in both.
    EXPECT_NE(stored.find("47=Zo\xC3\xAB\n"), std::string::npos);
    EXPECT_NE(utf8.find("47=Zo\xC3\xAB\n"), std::string::npos);
    utf8Setting = true;
    EXPECT_EQ(pairsText(path), utf8);
  }
}

// A tag that needs no repair is not touched; a repaired tag needs none
// again and holds only what id3lib reads safely.
TEST(TagRepairPass, SoundTagsAreLeftAlone) {
  const Frame title = id3w::textFrame("TIT2", "Title");
  const std::string sound[] = {
      id3w::tagV2(
          3, {title, id3w::textFrameUtf16("TPE1", u"Zoë", ByteOrder::Little),
              id3w::textFrame("TCON", bin("Rock\0")), id3w::pictureFrame("image/png", 3, "", 200)}),
      id3w::tagV2(4,
                  {title, id3w::textFrameUtf8("TCON", bin("A\0B")),
                   id3w::commentFrame("eng", "", std::string(300, 'c'))},
                  100),
      id3w::tagV22(0, {title}),
      id3w::unsynchronised(id3w::tagV2(3, {id3w::pictureFrame("image/png", 3, "", 300)})),
  };
  for (const std::string& tag : sound) {
    std::string out;
    EXPECT_FALSE(
        repairId3v2Tag(reinterpret_cast<const unsigned char*>(tag.data()), tag.size(), out));
  }
}

}  // namespace
