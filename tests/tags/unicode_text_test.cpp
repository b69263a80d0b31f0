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
    size_t limit;
    std::string utf8;
  } cases[] = {
      {"empty", u"", 16, ""},
      {"ascii", u"Abc", 16, "Abc"},
      {"latin-1 range", u"Zo\u00eb", 16, "Zo\xC3\xAB"},
      {"two-byte edges", u"\u007f\u0080\u07ff", 16, "\x7F\xC2\x80\xDF\xBF"},
      {"three-byte edges", u"\u0800\uffff", 16, "\xE0\xA0\x80\xEF\xBF\xBF"},
      {"cjk", u"\u65e5\u672c", 16, "\xE6\x97\xA5\xE6\x9C\xAC"},
      {"surrogate pair", u"\U0001F3B5", 16, "\xF0\x9F\x8E\xB5"},
      {"lowest and highest pair", u"\U00010000\U0010FFFF", 16, "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {"lone high at end", std::u16string(u"a") + char16_t(0xD800), 16, "a\xEF\xBF\xBD"},
      {"high before non-low", std::u16string{char16_t(0xDBFF), u'A'}, 16,
       "\xEF\xBF\xBD"
       "A"},
      {"lone low", std::u16string{char16_t(0xDC00), u'b'}, 16,
       "\xEF\xBF\xBD"
       "b"},
      {"stops at zero unit", std::u16string(u"ab\0cd", 5), 16, "ab"},
      {"cut exactly at limit", u"abcd", 4, "abcd"},
      {"cut ascii", u"abcde", 4, "abcd"},
      {"two-byte not split", u"\u00e9\u00e9\u00e9", 5, "\xC3\xA9\xC3\xA9"},
      {"three-byte not split", u"\u2713\u2713", 5, "\xE2\x9C\x93"},
      {"pair not split", u"a\U0001F3B5", 4, "a"},
      {"pair fits", u"a\U0001F3B5", 5, "a\xF0\x9F\x8E\xB5"},
      {"nothing fits", u"\U0001F3B5", 3, ""},
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
