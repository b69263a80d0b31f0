// UTF-16 (as id3lib hands it out: high byte first) to UTF-8, with the cut
// that never splits a character.
#include "tags/unicode_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> bigEndian(std::u16string_view text) {
  std::vector<unsigned char> bytes;
  for (char16_t u : text) {
    bytes.push_back(static_cast<unsigned char>(u >> 8));
    bytes.push_back(static_cast<unsigned char>(u & 0xFF));
  }
  return bytes;
}

TEST(Utf16ToUtf8, DecodesAndCutsOnCharacterBoundaries) {
  struct Case {
    const char* name;
    std::u16string text;
    std::string utf8;
    size_t limit = 16;  // room to spare unless the row is about the cut
  } cases[] = {
      {"empty", u"", ""},
      {"ascii", u"Abc", "Abc"},
      {"latin-1 range", u"Zo\u00eb", "Zo\xC3\xAB"},
      {"two-byte edges", u"\u007f\u0080\u07ff", "\x7F\xC2\x80\xDF\xBF"},
      {"three-byte edges", u"\u0800\uffff", "\xE0\xA0\x80\xEF\xBF\xBF"},
      {"cjk", u"\u65e5\u672c", "\xE6\x97\xA5\xE6\x9C\xAC"},
      {"surrogate pair", u"\U0001F3B5", "\xF0\x9F\x8E\xB5"},
      {"lowest and highest pair", u"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {"lone high at end", std::u16string(u"a") + char16_t(0xD800), "a\xEF\xBF\xBD"},
      {"high before non-low", std::u16string{char16_t(0xDBFF), u'A'},
       "\xEF\xBF\xBD"
       "A"},
      {"lone low", std::u16string{char16_t(0xDC00), u'b'},
       "\xEF\xBF\xBD"
       "b"},
      {"stops at zero unit", std::u16string(u"ab\0cd", 5), "ab"},
      {"cut exactly at limit", u"abcd", "abcd", 4},
      {"cut ascii", u"abcde", "abcd", 4},
      {"two-byte not split", u"\u00e9\u00e9\u00e9", "\xC3\xA9\xC3\xA9", 5},
      {"three-byte not split", u"\u2713\u2713", "\xE2\x9C\x93", 5},
      {"pair not split", u"a\U0001F3B5", "a", 4},
      {"pair fits", u"a\U0001F3B5", "a\xF0\x9F\x8E\xB5", 5},
      {"nothing fits", u"\U0001F3B5", "", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bytes = bigEndian(c.text);
    std::vector<char> out(c.limit + 1, '\x55');
    const size_t len = utf16ToUtf8(bytes.data(), c.text.size(), out.data(), c.limit);
    EXPECT_EQ(std::string(out.data()), c.utf8);
    EXPECT_EQ(len, c.utf8.size());
    EXPECT_EQ(std::strlen(out.data()), len) << "terminated";
  }
}

TEST(Utf16ToUtf8, ReadsOnlyTheUnitsGiven) {
  // A high surrogate in the last unit given must not pair with what follows.
  const auto bytes = bigEndian(std::u16string{u'x', char16_t(0xD83C), char16_t(0xDFB5)});
  char out[16];
  EXPECT_EQ(utf16ToUtf8(bytes.data(), 2, out, 15), 4u);
  EXPECT_STREQ(out, "x\xEF\xBF\xBD");
}

}  // namespace
