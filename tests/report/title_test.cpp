// The entry's title in each mode: which of 212 and 213 the player is asked,
// and the bytes the body gets.
#include "report/title.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/player.h"
#include "base/state.h"
#include "platform/port.h"
#include "tests/support/fake_platform.h"

namespace {

platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x1234);

// "Sigur Rós – 坂本龍一 ♫ Ωmega", then Cyrillic and U+1F3B8 (outside the basic
// plane), in UTF-16 and in UTF-8.
const std::u16string WIDE =
    u"Sigur R\u00f3s \u2013 \u5742\u672c\u9f8d\u4e00 \u266b \u03a9mega "
    u"\u041a\u0438\u043d\u043e \U0001F3B8";
const std::string UTF8 =
    "Sigur R\xC3\xB3s \xE2\x80\x93 \xE5\x9D\x82\xE6\x9C\xAC\xE9\xBE\x8D\xE4\xB8\x80 \xE2\x99\xAB "
    "\xCE\xA9mega \xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE \xF0\x9F\x8E\xB8";

using Asked = std::vector<intptr_t>;

TEST(Title, EachModeAsksItsQueriesAndGivesItsBytes) {
  const std::u16string loneSurrogate = u"a\xD800z";
  struct Case {
    const char* name;
    bool utf8;
    intptr_t wideAnswer;  // 0, 1, or kUseWide: the wide text below
    std::u16string wide;
    std::optional<std::string> title;  // the 212 answer; nullopt: 0
    std::string expected;
    Asked asked;
  } cases[] = {
      {"UTF-8: the wide title", true, 2, WIDE, "code page", UTF8, {213}},
      {"UTF-8: an empty wide title", true, 2, u"", "code page", "", {213}},
      {"UTF-8: a lone surrogate", true, 2, loneSurrogate, "x", "a\xEF\xBF\xBDz", {213}},
      {"UTF-8: 213 answered 0, 212's UTF-8 code page kept", true, 0, u"", UTF8, UTF8, {213, 212}},
      {"UTF-8: 213 answered 1", true, 1, u"", "T\xC3\xA9st", "T\xC3\xA9st", {213, 212}},
      {"UTF-8: neither answered", true, 0, u"", std::nullopt, "", {213, 212}},
      {"old bytes: 212 alone", false, 2, WIDE, "T\xE9st", "T\xE9st", {212}},
      {"old bytes: no title", false, 2, WIDE, std::nullopt, "", {212}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::freshPlugin(HOST);
    utf8Setting = c.utf8;
    fake::state().host = [&c](uintptr_t wParam, intptr_t code) -> intptr_t {
      if (wParam != 4) return 0;
      if (code == GET_TITLE_WIDE)
        return c.wideAnswer == 2 ? reinterpret_cast<intptr_t>(c.wide.c_str()) : c.wideAnswer;
      if (code == GET_TITLE) return c.title ? reinterpret_cast<intptr_t>(c.title->c_str()) : 0;
      return 0;
    };
    Buffer converted;
    const char* text = entryTitle(HOST, 4, converted);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), c.expected);
    Asked asked;
    for (const auto& [wParam, code] : fake::state().hostMessages) {
      EXPECT_EQ(wParam, 4u);
      asked.push_back(code);
    }
    EXPECT_EQ(asked, c.asked);
    EXPECT_TRUE(fake::state().boxes.empty());
    resetState();
  }
}

TEST(Title, OutOfMemoryGivesTheEmptyTitleAndOneBox) {
  fake::freshPlugin(HOST);
  fake::state().host = [](uintptr_t, intptr_t code) -> intptr_t {
    return code == GET_TITLE_WIDE ? reinterpret_cast<intptr_t>(WIDE.c_str()) : 0;
  };
  rawAllocate = [](size_t) -> void* { return nullptr; };
  Buffer converted;
  const std::string text = entryTitle(HOST, 0, converted);
  rawAllocate = std::malloc;
  EXPECT_EQ(text, "");
  EXPECT_EQ(fake::state().boxes.size(), 1u);
  resetState();
}

}  // namespace
