// The wm_id3 fragment from tag files written by the test helper: numbers,
// texts (single-byte and UTF-16), frames without text, the 8192 estimate,
// the 1024-byte entry, allocation failures and damaged tags.
#include "tags/tag_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/buffer.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"
#include "tests/support/tag_fragment.h"

// When set, the next allocation through operator new fails.
bool failNextNew = false;

void* operator new(size_t size) {
  void* p = failNextNew ? nullptr : std::malloc(size == 0 ? 1 : size);
  failNextNew = false;
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using id3w::ByteOrder;
using id3w::Frame;

// An ID3v2.3 tag followed by a little audio, as a typical file starts.
std::string v23(const std::vector<Frame>& frames) {
  return id3w::tagV2(3, frames) + id3w::fakeAudio(4);
}

std::vector<std::string> entries(const std::string& fragment) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < fragment.size()) {
    size_t end = fragment.find('&', start);
    if (end == std::string::npos) end = fragment.size();
    out.push_back(fragment.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// A string literal with its embedded zero bytes.
template <size_t N>
std::string bin(const char (&s)[N]) {
  return std::string(s, N - 1);
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// "wm_id3[n]=value" with n a signed decimal and value made only of
// unreserved characters and complete %XX escapes.
bool wellFormedEntry(const std::string& e) {
  if (e.rfind("wm_id3[", 0) != 0) return false;
  size_t i = 7;
  if (i < e.size() && e[i] == '-') ++i;
  const size_t digits = i;
  while (i < e.size() && std::isdigit(static_cast<unsigned char>(e[i]))) ++i;
  if (i == digits || e.compare(i, 2, "]=") != 0) return false;
  for (i += 2; i < e.size(); ++i) {
    const auto c = static_cast<unsigned char>(e[i]);
    if (c == '%') {
      if (i + 2 >= e.size() || !isHex(e[i + 1]) || !isHex(e[i + 2])) return false;
      i += 2;
    } else if (!std::isalnum(c) && c != '-' && c != '.' && c != '_' && c != '~') {
      return false;
    }
  }
  return true;
}

int allocationsBeforeFailure = 0;
void* failingAllocate(size_t size) {
  if (allocationsBeforeFailure-- == 0) return nullptr;
  return std::malloc(size);
}

class TagFields : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    forgetTagFields();
    rawAllocate = std::malloc;
    ASSERT_FALSE(dir.root().empty());
  }
  void TearDown() override { rawAllocate = std::malloc; }

  std::string file(const std::string& bytes) {
    const std::string path = dir.path("t" + std::to_string(files++) + ".mp3");
    EXPECT_TRUE(id3w::writeFile(path, bytes));
    return path;
  }

  // The fragment as text; checks that it stays below its size and that
  // every entry in it is well formed and fits 1024 bytes.
  std::string collect(const std::string& path) {
    const std::string text = testing_support::tagFragment(path);
    EXPECT_LT(text.size(), TAG_FRAGMENT_SIZE);
    for (const auto& e : entries(text)) {
      EXPECT_TRUE(wellFormedEntry(e)) << e.substr(0, 80);
      EXPECT_LE(e.size() + 2, 1024u) << "entry plus '&' and terminator passes 1024 bytes";
    }
    return text;
  }

  id3w::TempDir dir;
  int files = 0;
};

TEST_F(TagFields, NothingToReadGivesTheEmptyText) {
  struct Case {
    const char* name;
    std::string path;
  } cases[] = {
      {"audio without tag", file(id3w::fakeAudio(8))},
      {"empty file", file("")},
      {"missing file", dir.path("no-such-file.mp3")},
      {"stream address", "http://127.0.0.1:8000/stream.mp3"},
      {"folder", dir.root()},
      {"empty name", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(collect(c.path), "");
  }
  EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(TagFields, OneEntryPerFrameInTagOrder) {
  const char* const unicode = "%C3%9Cn%C3%AFc%C3%B6d%C3%A9%20%E2%9C%93";  // "Ünïcödé ✓"
  id3w::V1 v1{"Title", "Artist", "Album", "1999", "Note", 7, 17};
  id3w::V1 v10 = v1;
  v10.track = 0;
  struct Case {
    const char* name;
    std::string bytes;
    std::string fragment;
  } cases[] = {
      {"one title", v23({id3w::textFrame("TIT2", "Abc")}), "wm_id3[47]=Abc"},
      {"tag only, padded", id3w::tagV2(3, {id3w::textFrame("TIT2", "Abc")}, 200), "wm_id3[47]=Abc"},
      {"ID3v1.1 only", id3w::fakeAudio(4) + id3w::tagV1(v1),
       "wm_id3[47]=Title&wm_id3[61]=Artist&wm_id3[29]=Album&wm_id3[80]=1999&wm_id3[68]=7&"
       "wm_id3[4]=Note&wm_id3[32]=%2817%29"},
      {"ID3v1.0 only", id3w::fakeAudio(4) + id3w::tagV1(v10),
       "wm_id3[47]=Title&wm_id3[61]=Artist&wm_id3[29]=Album&wm_id3[80]=1999&wm_id3[4]=Note&"
       "wm_id3[32]=%2817%29"},
      {"ID3v2.4 tag read, the ID3v1 tag after it ignored",
       id3w::tagV2(4, {id3w::textFrame("TIT2", "Abc")}) + id3w::fakeAudio(4) +
           id3w::tagV1({"T", "", "", "", "", 0, 255}),
       "wm_id3[47]=Abc"},
      {"Latin-1 beside UTF-16 of both byte orders",
       v23({id3w::textFrame("TIT2", "Caf\xE9 & co"),
            id3w::textFrameUtf16("TPE1", u"Ünïcödé ✓", ByteOrder::little),
            id3w::textFrameUtf16("TALB", u"Ünïcödé ✓", ByteOrder::big)}),
       std::string("wm_id3[47]=Caf%C3%A9%20%26%20co&wm_id3[61]=") + unicode +
           "&wm_id3[29]=" + unicode},
      {"beyond Latin-1 and a surrogate pair",
       v23({id3w::textFrameUtf16("TPE1", u"日本 \U0001F3B5", ByteOrder::little),
            id3w::textFrameUtf16("TCOM", u"日本 \U0001F3B5", ByteOrder::big)}),
       "wm_id3[61]=%E6%97%A5%E6%9C%AC%20%F0%9F%8E%B5&"
       "wm_id3[31]=%E6%97%A5%E6%9C%AC%20%F0%9F%8E%B5"},
      {"UTF-16 empty and terminated",
       v23({id3w::textFrameUtf16("TPE1", u"", ByteOrder::little),
            id3w::textFrameUtf16("TIT2", std::u16string(u"Ab\0", 3), ByteOrder::big)}),
       "wm_id3[61]=&wm_id3[47]=Ab"},
      {"text, picture, text: the picture is empty",
       v23({id3w::textFrame("TIT2", "Before"), id3w::pictureFrame("image/png", 3, "", 1000),
            id3w::textFrame("TPE1", "After")}),
       "wm_id3[47]=Before&wm_id3[2]=&wm_id3[61]=After"},
      {"UTF-16 text, then a picture",
       v23({id3w::textFrameUtf16("TPE1", u"Zoë", ByteOrder::little),
            id3w::pictureFrame("image/jpeg", 0, "cover", 10)}),
       "wm_id3[61]=Zo%C3%AB&wm_id3[2]="},
      {"counter and private frames are empty, a link frame has its address",
       v23({id3w::textFrame("TIT2", "x"), id3w::rawFrame("PCNT", std::string("\0\0\0\5", 4)),
            id3w::rawFrame("WOAR", "http://example.invalid/"),
            id3w::rawFrame("PRIV", std::string("owner\0data", 10))}),
       "wm_id3[47]=x&wm_id3[18]=&wm_id3[87]=http%3A%2F%2Fexample.invalid%2F&wm_id3[17]="},
      {"two comments, same number",
       v23({id3w::commentFrame("eng", "", "first"), id3w::commentFrame("eng", "d", "second")}),
       "wm_id3[4]=first&wm_id3[4]=second"},
      {"undefined frame ids get number 0",
       v23({id3w::rawFrame("ZZZZ", "hidden"), id3w::textFrame("TIT2", "x"),
            id3w::rawFrame("XYZW", "abc")}),
       "wm_id3[0]=&wm_id3[47]=x&wm_id3[0]="},
      // Encoding 3 is only defined from ID3v2.4 on, and id3lib offers no
      // getter for it: the tag is repaired into UTF-16 first.
      {"UTF-8 field in a 2.3 tag",
       v23({id3w::textFrame("TIT2", "Secret"), id3w::textFrameUtf8("TCON", "Zo\xC3\xAB")}),
       "wm_id3[47]=Secret&wm_id3[32]=Zo%C3%AB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(collect(file(c.bytes)), c.fragment);
  }
  EXPECT_TRUE(fake::state().boxes.empty());
}

// The walk adds each escaped text's length plus 20 and stops before the
// frame that takes that sum past 8192; the frame text is cut to 1024 bytes
// (UTF-8 never split) before escaping. Filler lengths sit right at the
// boundary, so one byte more or less in any text changes the count.
TEST_F(TagFields, EstimateStopsBeforeTheCrossingFrame) {
  const auto latin = [](char c, size_t n) { return id3w::textFrame("TPE1", std::string(n, c)); };
  const auto wide = [](std::u16string s) {
    return id3w::textFrameUtf16("TPE1", s, ByteOrder::little);
  };
  std::u16string accents = u"a";
  for (int i = 0; i < 600; ++i) accents += u"é";  // 1 + 511 * 2 = 1023 bytes kept
  std::u16string pairs = u"ab";
  for (int i = 0; i < 300; ++i) pairs += u"\U0001F3B5";  // 2 + 255 * 4 = 1022 bytes kept
  struct Case {
    const char* name;
    std::vector<Frame> frames;
    size_t count;
  } cases[] = {
      // 7 * (1024 + 20) = 7308; + 864 + 20 = 8192 exactly.
      {"Latin-1 cut to 1024, filler fits", {}, 8},
      {"Latin-1 cut to 1024, filler one over", {}, 7},
      {"UTF-16 ASCII cut to 1024, filler fits", {}, 8},
      {"UTF-16 ASCII cut to 1024, filler one over", {}, 7},
      // 2 * (1 + 511 * 6 + 20) + 1044 = 7218; + 954 + 20 = 8192.
      {"two-byte characters, filler fits", {}, 4},
      {"two-byte characters, filler one over", {}, 3},
      // 2 * (2 + 255 * 12 + 20) + 1044 = 7208; + 964 + 20 = 8192.
      {"surrogate pairs, filler fits", {}, 4},
      {"surrogate pairs, filler one over", {}, 3},
  };
  for (int i = 0; i < 7; ++i) {
    cases[0].frames.push_back(latin('a', 1500));
    cases[2].frames.push_back(wide(std::u16string(1100, u'a')));
  }
  cases[1].frames = cases[0].frames;
  cases[3].frames = cases[2].frames;
  cases[0].frames.push_back(id3w::textFrame("TALB", std::string(864, 'b')));
  cases[1].frames.push_back(id3w::textFrame("TALB", std::string(865, 'b')));
  cases[2].frames.push_back(id3w::textFrame("TALB", std::string(864, 'b')));
  cases[3].frames.push_back(id3w::textFrame("TALB", std::string(865, 'b')));
  cases[4].frames = {wide(accents), wide(accents), latin('c', 1024)};
  cases[5].frames = cases[4].frames;
  cases[4].frames.push_back(id3w::textFrame("TALB", std::string(954, 'b')));
  cases[5].frames.push_back(id3w::textFrame("TALB", std::string(955, 'b')));
  cases[6].frames = {wide(pairs), wide(pairs), latin('c', 1024)};
  cases[7].frames = cases[6].frames;
  cases[6].frames.push_back(id3w::textFrame("TALB", std::string(964, 'b')));
  cases[7].frames.push_back(id3w::textFrame("TALB", std::string(965, 'b')));

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fragment = collect(file(v23(c.frames)));
    const bool stopped = c.count < c.frames.size();
    EXPECT_EQ(entries(fragment).size(), c.count);
    ASSERT_FALSE(fragment.empty());
    EXPECT_EQ(fragment.back() == '&', stopped) << "trailing '&' kept only when the walk stopped";
    EXPECT_EQ(fragment.find("wm_id3[29]=") != std::string::npos, !stopped);
  }
}

TEST_F(TagFields, LongEntryIsCutAtAnEscapeBoundary) {
  // "wm_id3[47]=" leaves 1011 bytes for the value, "wm_id3[4]=" 1012.
  const std::string a1010(1010, 'a');
  struct Case {
    const char* name;
    Frame frame;
    std::string value;
  } cases[] = {
      {"value fills the entry", id3w::textFrame("TIT2", std::string(1011, 'a')),
       std::string(1011, 'a')},
      {"one byte too long", id3w::textFrame("TIT2", std::string(1012, 'a')),
       std::string(1011, 'a')},
      {"escape would straddle the end", id3w::textFrame("TIT2", a1010 + " b"), a1010},
      {"escape ends the entry", id3w::textFrame("TIT2", std::string(1008, 'a') + "  "),
       std::string(1008, 'a') + "%20"},
      {"shorter number leaves a byte more",
       id3w::commentFrame("eng", "", std::string(1009, 'a') + " b"),
       std::string(1009, 'a') + "%20"},
      {"only escapes", id3w::textFrame("TIT2", std::string(1024, ' ')),
       [] {
         std::string s;
         for (int i = 0; i < 337; ++i) s += "%20";
         return s;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string number = c.frame.id == "COMM" ? "4" : "47";
    EXPECT_EQ(collect(file(v23({c.frame}))), "wm_id3[" + number + "]=" + c.value);
  }
  // A UTF-16 text that escapes to far more than an entry holds: the entry
  // is the first characters of the text's UTF-8, whole.
  std::u16string checks(500, u'✓');
  std::string expected;
  for (int i = 0; i < 112; ++i) expected += "%E2%9C%93";  // 112 * 9 = 1008 <= 1011 < 1017
  EXPECT_EQ(collect(file(v23({id3w::textFrameUtf16("TIT2", checks, ByteOrder::big)}))),
            "wm_id3[47]=" + expected);
}

// Without memory for the pairs there are none (the body then carries no tag
// part) and one box; nothing is kept, so the next tick reads the file.
TEST_F(TagFields, NoMemoryForThePairsGivesNoneAndOneBox) {
  const std::string path = file(v23({id3w::textFrame("TIT2", "Abc")}));
  failNextNew = true;
  const bool none = !collectTagFields(path.c_str());
  EXPECT_TRUE(none);
  ASSERT_EQ(fake::state().boxes.size(), 1u);
  EXPECT_EQ(fake::state().boxes[0].caption, "Error");
  EXPECT_EQ(fake::state().boxes[0].text.rfind("Out of memory: (errcode=", 0), 0u);
  EXPECT_EQ(collect(path), "wm_id3[47]=Abc");
}

TEST_F(TagFields, EscapeFailureSendsThatEntryEmpty) {
  const std::string path = file(v23({id3w::textFrame("TIT2", "A b"), id3w::textFrame("TPE1", "C"),
                                     id3w::textFrame("TALB", "D")}));
  // Allocations: one escape per frame, in the frames' order.
  struct Case {
    int failing;
    const char* fragment;
  } cases[] = {
      {0, "wm_id3[47]=&wm_id3[61]=C&wm_id3[29]=D"},
      {1, "wm_id3[47]=A%20b&wm_id3[61]=&wm_id3[29]=D"},
      {2, "wm_id3[47]=A%20b&wm_id3[61]=C&wm_id3[29]="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    fake::reset();
    forgetTagFields();
    allocationsBeforeFailure = c.failing;
    rawAllocate = failingAllocate;
    const std::string fragment = collect(path);
    rawAllocate = std::malloc;
    EXPECT_EQ(fragment, c.fragment);
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_EQ(fake::state().boxes[0].text.rfind("Out of memory", 0), 0u);
  }
}

// id3lib cannot read zlib-compressed frames where unsigned long is 64 bits
// wide (see CompressedFramesWhereId3libHandlesThem): clears the tag's
// header flags and every ID3v2.3 frame's compression flag, walking the
// frames by their stated sizes as id3lib does.
void withoutCompressedFrames(std::string& bytes) {
  if (bytes.size() < 10 || bytes.compare(0, 3, "ID3") != 0) return;
  bytes[5] = '\0';
  if (bytes[3] != 3) return;
  const auto at = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i]));
  };
  const size_t end = std::min<size_t>(
      bytes.size(),
      10 + ((at(6) & 0x7F) << 21 | (at(7) & 0x7F) << 14 | (at(8) & 0x7F) << 7 | (at(9) & 0x7F)));
  for (size_t off = 10; off + 10 <= end;) {
    if (bytes[off] == '\0') break;  // padding
    bytes[off + 9] = static_cast<char>(at(off + 9) & 0x7F);
    off += 10 + (at(off + 4) << 24 | at(off + 5) << 16 | at(off + 6) << 8 | at(off + 7));
  }
}

// Damaged tags: whatever id3lib makes of them, the walk returns a
// well-formed fragment that fits, without crashing or leaking.
TEST_F(TagFields, DamagedTagsGiveAWellFormedFragment) {
  const std::string good =
      id3w::tagV2(3, {id3w::textFrame("TIT2", "Title"),
                      id3w::textFrameUtf16("TPE1", u"Zoë ✓", ByteOrder::little),
                      id3w::commentFrame("eng", "d", "comment"),
                      id3w::pictureFrame("image/png", 3, "", 300),
                      id3w::textFrameUtf16("TALB", u"\U0001F3B5 album", ByteOrder::big)}) +
      id3w::fakeAudio(2) + id3w::tagV1({"T1", "A1", "", "", "", 3, 1});
  std::string huge = id3w::tagV2(3, {id3w::textFrame("TIT2", "x")});
  huge[6] = huge[7] = huge[8] = huge[9] = 0x7F;  // tag claims 256 MB
  std::string bigFrame = id3w::tagV2(3, {id3w::textFrame("TIT2", "x")});
  bigFrame[14] = '\x7F';  // frame claims 2 GB
  std::string badHeader = good;
  badHeader[5] = '\xFF';  // every flag, unknown ones included
  std::vector<std::string> cases = {
      "ID3",
      "ID3\x03",
      std::string("ID3\x03\0\0\0\0\0\x20", 10),
      std::string("ID3\x03\0\0\0\0\0\0", 10) + id3w::fakeAudio(1),
      huge,
      bigFrame,
      badHeader,
      id3w::tagV2(3, {id3w::rawFrame("TIT2", "")}),                       // no encoding byte
      id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\x01"))}),              // UTF-16 without text
      id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\x01\xFF"))}),          // half a byte order mark
      id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\x01\xFF\xFE\x61"))}),  // odd byte count
      id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\x01\xFE\xFF\xD8\x00"))}),  // lone surrogate
      id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\x07\x61"))}),              // unknown encoding
      id3w::tagV2(3, {id3w::rawFrame("APIC", bin("\0image/png"))}),           // picture cut short
      id3w::tagV2(3, {id3w::rawFrame("COMM", bin("\0en"))}),                  // comment cut short
      id3w::tagV2(3, {id3w::rawFrame(bin("\0\0\0\0"), "abc")}),
      std::string("TAG") + std::string(60, 'x'),  // short ID3v1 trailer
  };
  for (size_t cut = 0; cut < good.size(); cut += 23) cases.push_back(good.substr(0, cut));
  for (unsigned i = 0; i < 300; ++i) {
    std::string damaged = good;
    damaged[(i * 7919u) % 700u] = static_cast<char>((i * 131u + 17u) & 0xFF);
    damaged[(i * 104729u) % 60u] ^= static_cast<char>(1u << (i % 8));
    if (sizeof(unsigned long) != 4) withoutCompressedFrames(damaged);
    cases.push_back(damaged);
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    collect(file(cases[i]));
  }
}

// Frames flagged as zlib-compressed. id3lib 3.8.3 hands zlib a pointer to
// a 32-bit size as a pointer to unsigned long, which overwrites its stack
// where unsigned long is 64 bits wide: any compressed frame, valid or not,
// crashes it there. So this runs only where unsigned long is 32 bits (the
// 32-bit Windows build).
TEST_F(TagFields, CompressedFramesWhereId3libHandlesThem) {
  if (sizeof(unsigned long) != 4) GTEST_SKIP() << "id3lib cannot read compressed frames here";
  const std::vector<std::string> cases = {
      id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\0abc"), 0x0080)}),
      id3w::tagV2(3, {id3w::rawFrame("TIT2", bin("\0\0\0\x10xxxxxxxx"), 0x0080)}),
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    collect(file(cases[i]));
  }
}

}  // namespace
