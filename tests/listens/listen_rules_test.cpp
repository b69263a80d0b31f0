// The listen rules, the checks on a track's texts and the JSON a listen
// goes out as.
#include "listens/listen_rules.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

using listens::ListenTrack;
using Json = nlohmann::json;

TEST(ListenRules, Threshold) {
  struct Case {
    int64_t lengthMs, divisor, want;
  };
  const Case CASES[] = {
      {30000, 1, -1},                            // not longer than 30 s: never
      {30001, 1, 15000},                         // half of it
      {100000, 1, 50000},                        //
      {480000, 1, 240000}, {600000, 1, 240000},  // four minutes at most
      {-1, 1, 240000},                           // a length not known: four minutes
      {0, 1, -1},          {2000, 100, 1000},    // shortened for the stand-in player's tracks
      {300, 100, -1},      {60000, 100, 2400},
  };
  for (const Case& c : CASES)
    EXPECT_EQ(listens::listenThresholdMs(c.lengthMs, c.divisor), c.want)
        << c.lengthMs << " / " << c.divisor;
}

TEST(ListenRules, PlayedBetweenTwoLooks) {
  struct Case {
    int64_t previous, elapsed, clockDelta;
    bool wasPlaying;
    int64_t want;
  };
  const Case CASES[] = {
      {1000, 3000, 2000, true, 2000},   // played on
      {1000, 1000, 5000, false, 0},     // paused all along
      {1000, 1500, 5000, true, 500},    // paused for most of it
      {1000, 61000, 2000, true, 2250},  // a seek forward counts only the time
      {50000, 1000, 2000, true, 0},     // a seek back counts nothing
      {-1, -1, 3000, true, 3000},       // no position: our own clock
      {-1, -1, 3000, false, 0},         //
      {-1, 2000, 3000, true, 3000},     //
      {1000, 1200, -5, true, 200},      // a clock that ran back
  };
  for (const Case& c : CASES)
    EXPECT_EQ(listens::playedBetween(c.previous, c.elapsed, c.clockDelta, c.wasPlaying), c.want)
        << c.previous << " -> " << c.elapsed << " in " << c.clockDelta;
}

TEST(ListenRules, CheckedTrack) {
  struct Case {
    std::string artist, title, release;
    bool valid;
    std::string wantArtist, wantTitle, wantRelease;
  };
  const Case CASES[] = {
      {"  Artist\t", "\r\nTitle \n", " Album ", true, "Artist", "Title", "Album"},
      {std::string("Ar\0tist", 7), "T", "", true, "Artist", "T", ""},
      {"Sigur R\xf3s", "Hopp\xedpolla", "", true, "Sigur R\xc3\xb3s", "Hopp\xc3\xadpolla", ""},
      {"", "Title", "", false, "", "", ""},
      {"Artist", " \t ", "", false, "", "", ""},
      {std::string("\0", 1), "Title", "", false, "", "", ""},
  };
  for (const Case& c : CASES) {
    const auto got = listens::checkedTrack({c.artist, c.title, c.release, "", -1});
    ASSERT_EQ(got.has_value(), c.valid) << c.artist << " / " << c.title;
    if (!got) continue;
    EXPECT_EQ(got->artist, c.wantArtist);
    EXPECT_EQ(got->title, c.wantTitle);
    EXPECT_EQ(got->release, c.wantRelease);
  }
}

TEST(ListenRules, ItemJson) {
  const ListenTrack track{"Artist \"A\"", "T\xc3\xadtle", "", "07/12", 215000};
  const Json item = Json::parse(listens::listenItem(track, 1700000000, "player", "1.2.3"));
  EXPECT_EQ(item["listened_at"], 1700000000);
  const Json& meta = item["track_metadata"];
  EXPECT_EQ(meta["artist_name"], "Artist \"A\"");
  EXPECT_EQ(meta["track_name"], "T\xc3\xadtle");
  EXPECT_FALSE(meta.contains("release_name"));
  const Json want = {{"duration_ms", 215000},
                     {"tracknumber", 7},
                     {"media_player", "player"},
                     {"submission_client", "Trellicast"},
                     {"submission_client_version", "1.2.3"}};
  EXPECT_EQ(meta["additional_info"], want);
  // Now playing: no time; a track number that is not one and a length not
  // known are left out.
  const Json now =
      Json::parse(listens::listenItem({"A", "T", "R", "side B", -1}, -1, "player", "1"));
  EXPECT_FALSE(now.contains("listened_at"));
  EXPECT_EQ(now["track_metadata"]["release_name"], "R");
  EXPECT_FALSE(now["track_metadata"]["additional_info"].contains("tracknumber"));
  EXPECT_FALSE(now["track_metadata"]["additional_info"].contains("duration_ms"));

  const Json body = Json::parse(listens::submissionBody("import", {now.dump(), item.dump()}));
  EXPECT_EQ(body["listen_type"], "import");
  ASSERT_EQ(body["payload"].size(), 2u);
  EXPECT_EQ(body["payload"][1], item);
}

// Texts too long for one listen are cut between characters until it fits.
TEST(ListenRules, ItemCutToFit) {
  struct Case {
    const char* what;
    std::string artist, title, release;
  };
  const std::string snowmen = [] {
    std::string s;
    for (int i = 0; i < 5000; ++i) s += "\xe2\x98\x83";  // 3 bytes each
    return s;
  }();
  const Case CASES[] = {
      {"a long title", "Artist", std::string(20000, 'x'), ""},
      {"three long texts", std::string(9000, 'a'), std::string(9000, 'b'), std::string(9000, 'c')},
      {"characters of three bytes", snowmen, snowmen, ""},
      {"escapes that grow six times", "A", std::string(3000, '\x01'), ""},
      {"just fits", "A", std::string(9000, 'y'), ""},
  };
  for (const Case& c : CASES) {
    const std::string text =
        listens::listenItem({c.artist, c.title, c.release, "1", 1000}, 1700000000, "p", "1");
    ASSERT_FALSE(text.empty()) << c.what;
    EXPECT_LE(text.size(), listens::LISTEN_MAX_BYTES) << c.what;
    const Json item = Json::parse(text);  // throws on a cut inside a character
    const std::string artist = item["track_metadata"]["artist_name"];
    const std::string title = item["track_metadata"]["track_name"];
    EXPECT_FALSE(artist.empty()) << c.what;
    EXPECT_EQ(c.artist.compare(0, artist.size(), artist), 0) << c.what;
    EXPECT_EQ(c.title.compare(0, title.size(), title), 0) << c.what;
    if (title == c.title && artist == c.artist) continue;  // it fitted whole
    // Nothing much is lost beyond what had to go.
    EXPECT_GT(text.size(), listens::LISTEN_MAX_BYTES - 8) << c.what;
  }
}

TEST(ListenRules, ServerWords) {
  struct Case {
    std::string body, want;
  };
  const Case CASES[] = {
      {R"({"code":400,"error":"Listen size exceeds max"})", "Listen size exceeds max"},
      {R"({"code":200,"message":"Token invalid.","valid":false})", "Token invalid."},
      {"Bad Gateway\r\n<html>", "Bad Gateway "},
      {"", ""},
      {std::string(500, 'w'), std::string(200, 'w')},
  };
  for (const Case& c : CASES) EXPECT_EQ(listens::serverWords(c.body), c.want) << c.body;
}

}  // namespace
