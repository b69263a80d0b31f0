// The files for streamers as data: UTF-8 repair, the template, the JSON and
// the file set for each state.
#include "output/output_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using output::NowPlaying;
using output::OutputConfig;
using output::PlayStatus;

CoverPtr coverOf(const std::string& bytes, const std::string& sha1) {
  auto cover = std::make_shared<Cover>();
  cover->bytes = bytes;
  cover->mimeType = "image/jpeg";
  cover->sha1 = sha1;
  return cover;
}

NowPlaying song() {
  NowPlaying playing;
  playing.status = PlayStatus::playing;
  playing.playerTitle = "1. Artist - Title (player)";
  playing.title = "Title";
  playing.artist = "Artist";
  playing.album = "Album";
  playing.year = "1999";
  playing.track = "3/12";
  playing.genre = "Jazz";
  playing.fileName = "03 Title.mp3";
  return playing;
}

TEST(OutputText, InvalidUtf8BecomesReplacementAndValidTextStays) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"坂本龍一 ♫ 🎧", "坂本龍一 ♫ 🎧"},
      {"R\xF3s", "R\xEF\xBF\xBDs"},                                              // Latin-1 byte
      {"end \xE5\x9D", "end \xEF\xBF\xBD\xEF\xBF\xBD"},                          // cut sequence
      {"\xC0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // overlong NUL
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},                                  // U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(output::validUtf8(c.in), c.out) << c.in;
}

TEST(OutputText, TemplateReplacesTheSevenNamesAndKeepsTheRest) {
  const struct {
    const char* templateText;
    const char* out;
  } cases[] = {
      {"%artist% - %title%", "Artist - Title"},
      {"%track%. %title% (%album%, %year%) [%genre%]", "3/12. Title (Album, 1999) [Jazz]"},
      {"%playertitle%", "1. Artist - Title (player)"},
      {"%title%%artist%", "TitleArtist"},
      {"100% %foo% %title", "100% %foo% %title"},
      {"%%title%%", "%Title%"},
      {"%TITLE%", "%TITLE%"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(output::expandTemplate(c.templateText, song()), c.out);
  NowPlaying tricky = song();
  tricky.title = "%artist%";  // a value is never expanded again
  EXPECT_EQ(output::expandTemplate("%title% by %artist%", tricky), "%artist% by Artist");
}

TEST(OutputText, NowPlayingTextForEachState) {
  const OutputConfig config{"/tmp", "%artist% - %title%", "Off air"};
  NowPlaying noArtist = song();
  noArtist.artist.clear();
  NowPlaying noTitle = song();
  noTitle.title.clear();
  NowPlaying paused = song();
  paused.status = PlayStatus::paused;
  NowPlaying stopped = song();
  stopped.status = PlayStatus::stopped;
  const struct {
    NowPlaying playing;
    const char* out;
  } cases[] = {
      {song(), "Artist - Title"},
      {paused, "Artist - Title"},
      {noArtist, "1. Artist - Title (player)"},
      {noTitle, "1. Artist - Title (player)"},
      {stopped, "Off air"},
  };
  for (const auto& c : cases) EXPECT_EQ(output::nowPlayingText(config, c.playing), c.out);
}

TEST(OutputText, JsonStringEscapesEveryControlCharacterAndKeepsUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\"b\\c/d", R"("a\"b\\c/d")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"坂本 🎧", "\"坂本 🎧\""},
      {"line\xE2\x80\xA8para\xE2\x80\xA9", R"("line\u2028para\u2029")"},
      {"<img src=x onerror=alert(1)>", "\"<img src=x onerror=alert(1)>\""},
      {"bad \xFF", "\"bad \xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) EXPECT_EQ(output::jsonString(c.in), c.out);
  for (int byte = 0; byte < 0x20; ++byte) {
    const std::string escaped = output::jsonString(std::string(1, static_cast<char>(byte)));
    for (const char c : escaped) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << byte;
  }
}

TEST(OutputText, JsonForEachState) {
  NowPlaying withCover = song();
  withCover.cover = coverOf("\xFF\xD8jpeg", "0123456789abcdef0123456789abcdef01234567");
  NowPlaying paused = song();
  paused.status = PlayStatus::paused;
  NowPlaying stopped = withCover;
  stopped.status = PlayStatus::stopped;
  const struct {
    NowPlaying playing;
    const char* json;
  } cases[] = {
      {song(),
       R"j({"status":"playing","title":"Title","artist":"Artist","album":"Album","year":"1999",)j"
       R"j("track":"3/12","genre":"Jazz","playerTitle":"1. Artist - Title (player)",)j"
       R"j("file":"03 Title.mp3","cover":null,"coverHash":null,"updated":1700000000123})j"
       "\n"},
      {withCover,
       R"j({"status":"playing","title":"Title","artist":"Artist","album":"Album","year":"1999",)j"
       R"j("track":"3/12","genre":"Jazz","playerTitle":"1. Artist - Title (player)",)j"
       R"j("file":"03 Title.mp3","cover":"cover.png",)j"
       R"j("coverHash":"0123456789abcdef0123456789abcdef01234567","updated":1700000000123})j"
       "\n"},
      {paused,
       R"j({"status":"paused","title":"Title","artist":"Artist","album":"Album","year":"1999",)j"
       R"j("track":"3/12","genre":"Jazz","playerTitle":"1. Artist - Title (player)",)j"
       R"j("file":"03 Title.mp3","cover":null,"coverHash":null,"updated":1700000000123})j"
       "\n"},
      {stopped,
       R"j({"status":"stopped","title":"","artist":"","album":"","year":"","track":"","genre":"",)j"
       R"j("playerTitle":"","file":"","cover":null,"coverHash":null,"updated":1700000000123})j"
       "\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(output::nowPlayingJson(c.playing, 1700000000123), c.json);
}

TEST(OutputText, FileSetForEachState) {
  const OutputConfig config{"/tmp", "%title% / %artist%", "Off air"};
  NowPlaying withCover = song();
  withCover.cover = coverOf("\xFF\xD8jpeg", "aa");
  NowPlaying paused = withCover;
  paused.status = PlayStatus::paused;
  NowPlaying stopped = withCover;
  stopped.status = PlayStatus::stopped;
  const std::string png(output::TRANSPARENT_PNG);
  const struct {
    NowPlaying playing;
    std::string cover, artist, title, album, text;
  } cases[] = {
      {song(), png, "Artist", "Title", "Album", "Title / Artist"},
      {withCover, "\xFF\xD8jpeg", "Artist", "Title", "Album", "Title / Artist"},
      {paused, "\xFF\xD8jpeg", "Artist", "Title", "Album", "Title / Artist"},
      {stopped, png, "Off air", "Off air", "Off air", "Off air"},
  };
  for (const auto& c : cases) {
    const auto set = output::outputFileSet(config, c.playing, 5);
    ASSERT_EQ(set.size(), 7u);
    const std::string names[] = {"nowplaying.txt", "title.txt",       "artist.txt",   "album.txt",
                                 "cover.png",      "nowplaying.json", "nowplaying.js"};
    for (size_t i = 0; i < set.size(); ++i) EXPECT_EQ(set[i].name, names[i]);
    EXPECT_EQ(*set[0].bytes, c.text);
    EXPECT_EQ(*set[1].bytes, c.title);
    EXPECT_EQ(*set[2].bytes, c.artist);
    EXPECT_EQ(*set[3].bytes, c.album);
    EXPECT_EQ(*set[4].bytes, c.cover);
    EXPECT_EQ(*set[5].bytes, output::nowPlayingJson(c.playing, 5));
    EXPECT_EQ(*set[6].bytes,
              "window.nowPlaying = " + set[5].bytes->substr(0, set[5].bytes->size() - 1) + ";\n");
  }
}

TEST(OutputText, TransparentPngIsAOneByOnePng) {
  const std::string png(output::TRANSPARENT_PNG);
  ASSERT_EQ(png.size(), 68u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\1\0\0\0\1", 8));
  EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
}

TEST(OutputText, SameNowPlayingComparesCoversByHash) {
  NowPlaying a = song();
  a.cover = coverOf("x", "11");
  NowPlaying b = a;
  b.cover = coverOf("x", "11");
  EXPECT_TRUE(output::sameNowPlaying(a, b));
  b.cover = coverOf("x", "22");
  EXPECT_FALSE(output::sameNowPlaying(a, b));
  b = a;
  b.cover.reset();
  EXPECT_FALSE(output::sameNowPlaying(a, b));
  b = a;
  b.fileName = "b.mp3";
  EXPECT_FALSE(output::sameNowPlaying(a, b));
  b = a;
  b.status = PlayStatus::paused;
  EXPECT_FALSE(output::sameNowPlaying(a, b));
}

}  // namespace
