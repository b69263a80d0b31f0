// The shared text conversion: UTF-16 (as id3lib hands it out, high byte
// first, and in the machine's order) to UTF-8 with the cut that never
// splits a character, UTF-8 to UTF-16, Latin-1 to UTF-8, and the prefix
// that ends between characters; and the decoder's three users (the
// repair of the files for streamers, the prefix, the form body's cut)
// against a decoder of the test's own.
#include "platform/unicode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "output/output_text.h"
#include "report/form_body.h"

namespace {

std::vector<unsigned char> bigEndian(std::u16string_view text) {
  std::vector<unsigned char> bytes;
  for (char16_t u : text) {
    bytes.push_back(static_cast<unsigned char>(u >> 8));
    bytes.push_back(static_cast<unsigned char>(u & 0xFF));
  }
  return bytes;
}

TEST(Unicode, Utf16DecodesAndCutsOnCharacterBoundaries) {
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
    const size_t len = unicode::utf16BytesToUtf8(bytes.data(), c.text.size(), out.data(), c.limit);
    EXPECT_EQ(std::string(out.data()), c.utf8);
    EXPECT_EQ(len, c.utf8.size());
    // Unbounded, in both byte orders and the machine's, up to the zero unit.
    const std::u16string whole = c.text.substr(0, c.text.find(u'\0'));
    char roomy[80];
    if (c.utf8.size() == unicode::utf16BytesToUtf8(bytes.data(), whole.size(), roomy, 79)) {
      std::vector<unsigned char> little;
      for (char16_t u : whole) {
        little.push_back(static_cast<unsigned char>(u & 0xFF));
        little.push_back(static_cast<unsigned char>(u >> 8));
      }
      EXPECT_EQ(unicode::utf16BytesToUtf8(little.data(), whole.size(), true), c.utf8);
      EXPECT_EQ(unicode::utf16BytesToUtf8(bytes.data(), whole.size(), false), c.utf8);
      EXPECT_EQ(unicode::utf16ToUtf8(reinterpret_cast<const uint16_t*>(whole.data()), whole.size()),
                c.utf8);
    }
  }
  // A high surrogate in the last unit given must not pair with what follows.
  const auto bytes = bigEndian(std::u16string{u'x', char16_t(0xD83C), char16_t(0xDFB5)});
  char out[16];
  EXPECT_EQ(unicode::utf16BytesToUtf8(bytes.data(), 2, out, 15), 4u);
  EXPECT_STREQ(out, "x\xEF\xBF\xBD");
}

TEST(Unicode, Utf8ToUtf16ReplacesEveryByteThatStartsNoSequence) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string wide;
  } cases[] = {
      {"mixed planes", "R\xC3\xB3s \xE5\x9D\x82 \xF0\x9F\x8E\xB8", u"R\u00f3s \u5742 \U0001F3B8"},
      {"not UTF-8: one U+FFFD per byte", "\xE9\xC3(\xED\xA0\x80\xF0\x9F\x98",
       u"\uFFFD\uFFFD(\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"overlong and past U+10FFFF", "\xC0\x80\xF4\x90\x80\x80",
       u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(unicode::utf8ToUtf16(c.utf8), c.wide);
  }
  EXPECT_EQ(unicode::latin1ToUtf8("Caf\xE9 \xFF\x7F"), "Caf\xC3\xA9 \xC3\xBF\x7F");
}

TEST(Unicode, PrefixEndsBetweenCharacters) {
  struct Case {
    std::string text;
    size_t limit;
    size_t prefix;
  } cases[] = {
      {"abc", 2, 2},
      {"a\xC3\xA9", 2, 1},             // two-byte kept whole or left out
      {"a\xF0\x9F\x8E\xB8", 4, 1},     // outside the basic plane too
      {"a\xF0\x9F\x8E\xB8", 5, 5},     //
      {"\xE9\xE9\xE9", 2, 2},          // code-page bytes: one character each
      {"\xE2\x9C", 1, 1},              // a cut-off sequence: bytes of their own
      {std::string("a\0b", 3), 3, 3},  // a zero byte is a character
      {"\xC3\xA9\xC3\xA9", 100, 4},    // all of it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(unicode::utf8Prefix(c.text, c.limit), c.prefix);
  }
}

// The character at text[i] by the encoder alone: the bytes are one when
// they are what encodeUtf8 makes of the code point they spell.
size_t characterByEncoder(const std::string& text, size_t i, bool* wellFormed) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  for (size_t n = 1; n <= 4 && i + n <= text.size(); ++n) {
    uint32_t cp = n == 1 ? byte(0) : byte(0) & (0x3Fu >> (n - 1));
    for (size_t k = 1; k < n; ++k) cp = cp << 6 | (byte(k) & 0x3Fu);
    char bytes[4];
    if (cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) && unicode::encodeUtf8(cp, bytes) == n &&
        text.compare(i, n, bytes, n) == 0) {
      *wellFormed = true;
      return n;
    }
  }
  *wellFormed = false;
  return 1;
}

TEST(Unicode, EveryUserOfTheDecoderAgreesWithTheEncoder) {
  // The edges of every byte range a lead or a continuation has, and "%"
  // and "a", which the form body escapes and keeps.
  const unsigned char edges[] = {0x25, 0x61, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5};
  const size_t headLength = writeFormBody(std::vector<char>(64).data(), 64, 1, "");
  std::vector<std::string> texts = {""};
  for (size_t start = 0; texts[start].size() < 4; ++start) {
    for (const unsigned char b : edges) texts.push_back(texts[start] + static_cast<char>(b));
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(testing::PrintToString(text));
    std::string repaired;
    std::vector<size_t> ends;  // where each character ends, in bytes
    std::vector<size_t> sent;  // and in the form body's escaped bytes
    for (size_t i = 0, escaped = 0; i < text.size();) {
      bool wellFormed;
      const size_t n = characterByEncoder(text, i, &wellFormed);
      repaired += wellFormed ? text.substr(i, n) : "\xEF\xBF\xBD";
      for (size_t k = 0; k < n; ++k) escaped += text[i + k] == 'a' ? 1 : 3;
      ends.push_back(i += n);
      sent.push_back(escaped);
    }
    ASSERT_EQ(output::validUtf8(text), repaired);
    const size_t room = sent.empty() ? 0 : sent.back();
    for (size_t limit = 0; limit <= room; ++limit) {
      size_t kept = 0, keptSent = 0;
      for (size_t c = 0; c < ends.size(); ++c) {
        if (ends[c] <= limit) kept = ends[c];
        if (sent[c] <= limit) keptSent = sent[c];
      }
      if (limit <= text.size()) {
        ASSERT_EQ(unicode::utf8Prefix(text, limit), kept) << limit;
      }
      std::vector<char> body(headLength + limit + 1);
      ASSERT_EQ(writeFormBody(body.data(), body.size(), 1, text.c_str()), headLength + keptSent)
          << limit;
    }
  }
}

}  // namespace
