// The writer on its own thread against a real temporary folder.
#include "output/writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "output/output_text.h"

namespace {

namespace fs = std::filesystem;
using output::NowPlaying;
using output::PlayStatus;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool waitFor(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

NowPlaying song(const std::string& title, const std::string& artist) {
  NowPlaying playing;
  playing.status = PlayStatus::playing;
  playing.title = title;
  playing.artist = artist;
  playing.album = "Album";
  playing.playerTitle = artist + " - " + title;
  return playing;
}

class OutputWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trellicast-output.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    output::outputQuit();
    fs::remove_all(folder_);
  }
  bool holds(const char* name, const std::string& bytes, int ms = 2000) {
    return waitFor([&] { return readFile(folder_ / name) == bytes; }, ms);
  }
  fs::path folder_;
};

TEST_F(OutputWriter, WritesEveryFileAtStartAndLeavesAnOverlayOfTheUsers) {
  for (const bool usersOverlay : {false, true}) {
    SCOPED_TRACE(usersOverlay);
    const fs::path sub = folder_ / (usersOverlay ? "mine" : "fresh");
    fs::create_directory(sub);
    if (usersOverlay) std::ofstream(sub / "overlay.html") << "restyled";
    output::outputConfigure(sub.string(), "%artist% - %title%", "");
    output::outputPublish(song("坂本龍一 🎧", "Artist"));
    ASSERT_TRUE(waitFor([&] { return fs::exists(sub / "nowplaying.js"); }, 2000));
    EXPECT_EQ(readFile(sub / "nowplaying.txt"), "Artist - 坂本龍一 🎧");
    EXPECT_EQ(readFile(sub / "title.txt"), "坂本龍一 🎧");
    EXPECT_EQ(readFile(sub / "album.txt"), "Album");
    EXPECT_EQ(readFile(sub / "cover.png"), std::string(output::TRANSPARENT_PNG));
    EXPECT_EQ(readFile(sub / "overlay.html"),
              usersOverlay ? std::string("restyled") : std::string(output::OVERLAY_HTML));
    for (const auto& entry : fs::directory_iterator(sub))
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

TEST_F(OutputWriter, RewritesOnlyChangedFilesAndSpacesWritesOfOneFile) {
  output::outputConfigure(folder_.string(), "%title%", "");
  output::outputPublish(song("One", "Same artist"));
  ASSERT_TRUE(holds("title.txt", "One"));
  ASSERT_TRUE(waitFor([&] { return fs::exists(folder_ / "nowplaying.js"); }, 2000));
  struct stat artistBefore {
  }, titleBefore{};
  ASSERT_EQ(stat((folder_ / "artist.txt").c_str(), &artistBefore), 0);
  ASSERT_EQ(stat((folder_ / "title.txt").c_str(), &titleBefore), 0);
  // Two more titles at once: only the last lands, and not within 1.1 s of
  // the first write of the file.
  output::outputPublish(song("Two", "Same artist"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  output::outputPublish(song("Three", "Same artist"));
  ASSERT_TRUE(holds("title.txt", "Three", 3000));
  struct stat artistAfter {
  }, titleAfter{};
  ASSERT_EQ(stat((folder_ / "artist.txt").c_str(), &artistAfter), 0);
  ASSERT_EQ(stat((folder_ / "title.txt").c_str(), &titleAfter), 0);
  EXPECT_EQ(artistAfter.st_ino, artistBefore.st_ino);  // never replaced
  EXPECT_NE(titleAfter.st_ino, titleBefore.st_ino);
  const auto ns = [](const struct stat& s) {
    return static_cast<long long>(s.st_mtim.tv_sec) * 1000000000LL + s.st_mtim.tv_nsec;
  };
  EXPECT_GE(ns(titleAfter) - ns(titleBefore), 1100000000LL);
  EXPECT_TRUE(holds("nowplaying.txt", "Three"));
}

TEST_F(OutputWriter, RetriesAFileThatCannotBeReplacedWithoutHoldingTheOthers) {
  fs::create_directory(folder_ / "title.txt");  // rename onto it fails
  output::outputConfigure(folder_.string(), "%title%", "");
  const auto start = std::chrono::steady_clock::now();
  output::outputPublish(song("Blocked", "Artist"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
  ASSERT_TRUE(holds("nowplaying.txt", "Blocked"));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(fs::is_directory(folder_ / "title.txt"));
  fs::remove(folder_ / "title.txt");
  EXPECT_TRUE(holds("title.txt", "Blocked", 1500));
}

TEST_F(OutputWriter, LooksTheCoverUpAndQuitWritesTheStoppedStateDeletingNothing) {
  output::outputConfigure(folder_.string(), "%title%", "Off air ✓");
  // A track without a readable file of its own: the player's art file.
  const std::string jpeg = "\xFF\xD8\xFF cover";
  const fs::path art = folder_ / "art.jpg";
  std::ofstream(art, std::ios::binary) << jpeg;
  NowPlaying playing = song("Song", "Artist");
  playing.mediaFile = platform::FileName{(folder_ / "gone.mp3").string()};
  playing.artFile = platform::FileName{art.string()};
  output::outputPublish(playing);
  ASSERT_TRUE(holds("cover.png", jpeg));
  EXPECT_TRUE(waitFor(
      [&] {
        return readFile(folder_ / "nowplaying.json").find("\"coverHash\":\"") != std::string::npos;
      },
      2000));
  output::outputQuit();
  for (const char* name : {"nowplaying.txt", "artist.txt", "title.txt", "album.txt"})
    EXPECT_EQ(readFile(folder_ / name), "Off air ✓") << name;
  EXPECT_EQ(readFile(folder_ / "cover.png"), std::string(output::TRANSPARENT_PNG));
  EXPECT_NE(readFile(folder_ / "nowplaying.json").find("\"status\":\"stopped\""),
            std::string::npos);
  EXPECT_TRUE(fs::exists(folder_ / "overlay.html"));
}

}  // namespace
