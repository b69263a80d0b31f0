// The MPRIS mode's pure parts: the title and the file the module is given,
// which names are players and which player is the active one.
#include "host/mpris_model.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace mpris = host::mpris;
using mpris::Playback;

namespace {

TEST(MprisModel, LocalPathFromUrl) {
  const struct {
    const char* url;
    std::optional<std::string> path;
  } cases[] = {
      {"file:///music/a.mp3", "/music/a.mp3"},
      {"file:///music/Rock%20%26%20Roll%20100%25.mp3", "/music/Rock & Roll 100%.mp3"},
      {"file:///m/%C3%A9t%C3%A9.flac", "/m/\xC3\xA9t\xC3\xA9.flac"},
      {"file:///m/%c3%a9.mp3", "/m/\xC3\xA9.mp3"},  // lower-case hex
      {"file://localhost/m/a.mp3", "/m/a.mp3"},
      {"FILE://LocalHost/m/a.mp3", "/m/a.mp3"},
      {"/plain/path with space.mp3", "/plain/path with space.mp3"},
      {"file:///a%2Fb", "/a/b"},
      {"file://otherhost/m/a.mp3", std::nullopt},
      {"file://localhostx/m/a.mp3", std::nullopt},
      {"https://radio.example/stream.mp3", std::nullopt},
      {"http://localhost/m/a.mp3", std::nullopt},
      {"file:", std::nullopt},
      {"file://", std::nullopt},
      {"file://localhost", std::nullopt},
      {"", std::nullopt},
      {"relative/a.mp3", std::nullopt},
      {"file:///a%00b.mp3", std::nullopt},  // a NUL would cut the path short
      {"file:///a%2", std::nullopt},
      {"file:///a%", std::nullopt},
      {"file:///a%zz", std::nullopt},
      {"file:///a%41", "/aA"},  // a sequence at the very end
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mpris::localPath(c.url), c.path) << c.url;
  }
}

// The art file is answered only as a local file, read as xesam:url is.
TEST(MprisModel, ArtFileAnswer) {
  struct Case {
    const char* artUrl;
    const char* answer;  // nullptr: 0
  } cases[] = {
      {"file:///home/a/Cover%20Art.jpg", "/home/a/Cover Art.jpg"},
      {"file://localhost/x.png", "/x.png"},
      {"https://127.0.0.1/x.png", nullptr},
      {"file://remote/x.png", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.artUrl);
    mpris::NowPlaying now;
    now.artPath = mpris::localPath(c.artUrl);
    std::string held;
    const intptr_t answer = mpris::artFileAnswer(now, held);
    if (c.answer == nullptr) {
      EXPECT_EQ(answer, 0);
    } else {
      ASSERT_NE(answer, 0);
      EXPECT_STREQ(reinterpret_cast<const char*>(answer), c.answer);
    }
  }
}

TEST(MprisModel, DisplayTitle) {
  const struct {
    std::vector<std::string> artists;
    const char* title;
    const char* want;
  } cases[] = {
      {{"A"}, "T", "A - T"},
      {{"A", "B"}, "T", "A, B - T"},
      {{"A", "", "B"}, "T", "A, B - T"},
      {{}, "T", "T"},
      {{""}, "T", "T"},
      {{"A"}, "", "A"},
      {{}, "", ""},
      {{"", ""}, "", ""},
  };
  for (const auto& c : cases) {
    mpris::Track t;
    t.artists = c.artists;
    t.title = c.title;
    EXPECT_EQ(mpris::displayTitle(t), c.want) << c.want;
  }
}

TEST(MprisModel, PlaybackStatus) {
  const struct {
    const char* text;
    int code;
  } cases[] = {{"Playing", 1}, {"Paused", 3}, {"Stopped", 0},
               {"playing", 0}, {"", 0},       {"Buffering", 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(mpris::statusCode(mpris::playbackFromText(c.text)), c.code) << c.text;
  }
}

TEST(MprisModel, WantedName) {
  const struct {
    const char* name;
    const char* filter;
    bool want;
  } cases[] = {
      {"org.mpris.MediaPlayer2.vlc", "", true},
      {"org.mpris.MediaPlayer2.vlc.instance42", "", true},
      {"org.mpris.MediaPlayer2.vlc", "vlc", true},
      {"org.mpris.MediaPlayer2.vlc.instance42", "vlc", true},
      {"org.mpris.MediaPlayer2.mpv", "vlc", false},
      {"org.mpris.MediaPlayer2.v", "vlc", false},
      {"org.mpris.MediaPlayer2.playerctld", "", false},
      {"org.mpris.MediaPlayer2.playerctld", "playerctld", false},
      {"org.mpris.MediaPlayer2.playerctld2", "", true},
      {"org.mpris.MediaPlayer2", "", false},
      {"org.mpris.MediaPlayer2.", "", false},
      {"org.mpris.MediaPlayer3.vlc", "", false},
      {":1.42", "", false},
      {"org.freedesktop.DBus", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mpris::wantedName(c.name, c.filter), c.want) << c.name << " / " << c.filter;
  }
}

TEST(MprisModel, PickPlayer) {
  constexpr auto playing = Playback::playing, paused = Playback::paused,
                 stopped = Playback::stopped;
  const struct {
    const char* what;
    std::vector<mpris::Candidate> candidates;
    int want;
  } cases[] = {
      {"none", {}, -1},
      {"one stopped", {{stopped, 1}}, 0},
      {"playing beats a later pause", {{playing, 1}, {paused, 9}}, 0},
      {"playing beats a later stop", {{stopped, 9}, {playing, 1}}, 1},
      {"paused beats a later stop", {{stopped, 9}, {paused, 1}}, 1},
      {"both paused: the later", {{paused, 3}, {paused, 7}}, 1},
      {"both paused: the later first", {{paused, 7}, {paused, 3}}, 0},
      {"both playing: the later", {{playing, 2}, {playing, 5}, {paused, 9}}, 1},
      {"all stopped: the later", {{stopped, 4}, {stopped, 2}}, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mpris::pickPlayer(c.candidates), c.want) << c.what;
  }
}

// Which notifications the module gets for a change of the followed player.
TEST(MprisModel, ChangesBetween) {
  const mpris::NowPlaying none;
  const mpris::NowPlaying one{"vlc", 1, "A - One", "/m/1.mp3", "/t/1\nfile:///m/1.mp3"};
  auto with = [&one](auto change) {
    mpris::NowPlaying n = one;
    change(n);
    return n;
  };
  using C = mpris::Changes;
  const struct {
    const char* what;
    mpris::NowPlaying before, after;
    C want;
  } cases[] = {
      {"nothing changed", one, one, {}},
      {"a player appears, playing", none, one, {true, false, true}},
      {"a player appears, stopped, nothing known yet",
       none,
       with([](auto& n) {
         n = {"vlc", 0, "", std::nullopt, "\n"};
       }),
       {true, false, false}},
      {"another track id, same text",
       one,
       with([](auto& n) { n.track = "/t/2\nfile:///m/1.mp3"; }),
       {true, false, false}},
      {"another track and paused",
       one,
       with([](auto& n) {
         n.track = "/t/2\n";
         n.status = 3;
       }),
       {true, false, true}},
      {"another player followed",
       one,
       with([](auto& n) { n.player = "mpv"; }),
       {true, false, false}},
      {"the title alone", one, with([](auto& n) { n.title = "A - Uno"; }), {false, true, false}},
      {"the file alone", one, with([](auto& n) { n.path = std::nullopt; }), {false, true, false}},
      {"paused", one, with([](auto& n) { n.status = 3; }), {false, false, true}},
      {"the player goes", one, none, {false, true, true}},
      {"still no player", none, none, {}},
  };
  for (const auto& t : cases) {
    const C got = mpris::changesBetween(t.before, t.after);
    EXPECT_EQ(got.newTrack, t.want.newTrack) << t.what;
    EXPECT_EQ(got.title, t.want.title) << t.what;
    EXPECT_EQ(got.status, t.want.status) << t.what;
  }
}

}  // namespace

// 105: the position as the player gave it (never past the end), the length
// in whole seconds, nothing while stopped or not known.
TEST(MprisModel, OutputTimeAnswer) {
  struct Case {
    int status;
    int64_t lengthUs;
    uintptr_t wParam;
    int64_t positionMs;
    intptr_t want;
  };
  const Case CASES[] = {
      {1, 215400000, 0, 12345, 12345},
      {1, 215400000, 1, 12345, 215},
      {3, 215600000, 1, -1, 216},
      {3, 215400000, 0, 9000, 9000},
      {1, 215400000, 0, 999999, 215400},  // past the end: the end
      {1, -1, 0, 5000, 5000},             // a stream: the position alone
      {1, -1, 1, 5000, -1},               //
      {1, 215400000, 0, -1, -1},          // the player did not tell
      {0, 215400000, 0, 5000, -1},        // stopped
      {0, 215400000, 1, 5000, -1},        //
      {1, 215400000, 2, 5000, -1},
  };
  for (const Case& c : CASES) {
    mpris::NowPlaying now;
    now.status = c.status;
    now.lengthUs = c.lengthUs;
    EXPECT_EQ(mpris::outputTimeAnswer(now, c.wParam, c.positionMs), c.want)
        << c.status << " " << c.lengthUs << " " << c.wParam << " " << c.positionMs;
  }
}
