// Tags that taggers got wrong, one row a kind of damage, each read through
// the whole walk (repair, then id3lib or TagLib) into the pairs expected;
// and the same tags before the repair leaves the bytes of a sound tag alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/state.h"
#include "tags/id3v2_repair.h"
#include "tags/tag_fields.h"
#include "tags/tag_title.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"
#include "tests/support/tag_files.h"
#include "tests/tags/repair_cases.h"

namespace {

using id3w::ByteOrder;
using id3w::Frame;

template <size_t N>
std::string bin(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// The pairs as "n=text" lines, texts as UTF-8 or stored bytes.
std::string pairsText(const std::string& path) {
  const std::optional<TagPairs> pairs = collectTagFields(path.c_str());
  if (!pairs) return "<none>";
  std::string out;
  for (const TagPair& p : *pairs) out += std::to_string(p.number) + "=" + p.text + "\n";
  return out;
}

class TagRepair : public testing_support::TagFilesTest {
 protected:
  std::string file(const std::string& bytes, const std::string& ext = ".mp3") {
    return write(fresh("r", ext), bytes);
  }
};

TEST_F(TagRepair, DamagedTagsReadAsATolerantReaderReadsThem) {
  for (const auto& c : repair_cases::all()) {
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
                                     id3w::textFrameUtf16("TIT2", u"Zoë", ByteOrder::little)};
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
    // The stand-in player's title is UTF-8 whatever the setting.
    EXPECT_EQ(tagTitle(path.c_str()), "Mot\xC3\xB6rhead - Zo\xC3\xAB");
  }
}

// A tag that needs no repair is not touched; a repaired tag needs none
// again and holds only what id3lib reads safely.
TEST(TagRepairPass, SoundTagsAreLeftAlone) {
  const Frame title = id3w::textFrame("TIT2", "Title");
  const std::string sound[] = {
      id3w::tagV2(
          3, {title, id3w::textFrameUtf16("TPE1", u"Zoë", ByteOrder::little),
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
