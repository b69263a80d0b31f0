// What the files show of a snapshot of the player: the status, the frames
// by number (Latin-1 as stored converted, the year of a recording time),
// the file's name without its folders and the snapshot's cover.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "plugin/streamer_files.h"

namespace {

using output::PlayStatus;

TEST(StreamerFiles, SnapshotAsTheFilesShowIt) {
  struct Case {
    const char* name;
    long status;
    std::vector<SnapshotFrame> frames;
    std::string file;
    PlayStatus wantStatus;
    std::string title, artist, album, year, track, genre, leaf;
  } cases[] = {
      {"playing, UTF-8 frames",
       1,
       {{47, "坂本 🎧"}, {61, "Artist"}, {29, "Album"}, {80, "1983"}, {68, "3/12"}, {32, "Jazz"}},
       "/music/a/03 坂本.mp3",
       PlayStatus::playing,
       "坂本 🎧",
       "Artist",
       "Album",
       "1983",
       "3/12",
       "Jazz",
       "03 坂本.mp3"},
      {"paused, Latin-1 as stored, a recording time",
       3,
       {{61, "Sigur R\xF3s"}, {47, "Hopp\xEDpolla"}, {38, "2005-09-12T10:00"}},
       "C:\\Music\\R\xC3\xB3s.mp3",
       PlayStatus::paused,
       "Hoppípolla",
       "Sigur Rós",
       "",
       "2005",
       "",
       "",
       "Rós.mp3"},
      {"the year frame before the recording time; the first of a number",
       1,
       {{38, "2001"}, {80, "1999"}, {47, "One"}, {47, "Two"}},
       "",
       PlayStatus::playing,
       "One",
       "",
       "",
       "1999",
       "",
       "",
       ""},
      {"stopped", 0, {}, "/x.mp3", PlayStatus::stopped, "", "", "", "", "", "", "x.mp3"},
      {"any other status is stopped", 2, {}, "", PlayStatus::stopped, "", "", "", "", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlayerSnapshot snapshot;
    snapshot.status = c.status;
    snapshot.titleUtf8 = "Player title ✓";
    snapshot.frames = c.frames;
    snapshot.hasFile = !c.file.empty();
    snapshot.fileName = c.file;
    const auto cover = std::make_shared<Cover>();
    snapshot.cover = cover;
    const output::NowPlaying playing = nowPlayingOf(snapshot);
    EXPECT_EQ(playing.status, c.wantStatus);
    EXPECT_EQ(playing.playerTitle, "Player title ✓");
    EXPECT_EQ(playing.title, c.title);
    EXPECT_EQ(playing.artist, c.artist);
    EXPECT_EQ(playing.album, c.album);
    EXPECT_EQ(playing.year, c.year);
    EXPECT_EQ(playing.track, c.track);
    EXPECT_EQ(playing.genre, c.genre);
    EXPECT_EQ(playing.fileName, c.leaf);
    // The cycle's one lookup, shown while something plays.
    EXPECT_EQ(playing.cover.get(), c.wantStatus == PlayStatus::stopped ? nullptr : cover.get());
  }
}

}  // namespace
