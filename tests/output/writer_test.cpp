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
#include <memory>
#include <set>
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

CoverPtr coverOf(const std::string& bytes, const std::string& sha1) {
  return std::make_shared<const Cover>(Cover{bytes, "image/jpeg", sha1});
}

std::string hashNamed(const std::string& json) {
  const std::string key = "\"coverHash\":";
  const size_t at = json.find(key);
  if (at == std::string::npos) return "?";
  const size_t from = at + key.size();
  if (json.compare(from, 4, "null") == 0) return "";
  return json.substr(from + 1, json.find('"', from + 1) - from - 1);
}

std::set<std::string> threadsOfProcess() {
  std::set<std::string> tasks;
  for (const auto& entry : fs::directory_iterator("/proc/self/task"))
    tasks.insert(entry.path().filename().string());
  return tasks;
}

long voluntarySwitches(const std::string& task) {
  std::ifstream in("/proc/self/task/" + task + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  return -1;
}

TEST_F(OutputWriter, ThreadRunsOnlyWithAFolderAndSleepsWhileNothingIsDue) {
  const std::set<std::string> before = threadsOfProcess();
  output::outputConfigure("", "%title%", "");
  output::outputPublish(song("No folder", "Artist"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(threadsOfProcess(), before) << "a writer without a folder";

  output::outputConfigure(folder_.string(), "%title%", "");
  output::outputPublish(song("Written", "Artist"));
  ASSERT_TRUE(holds("nowplaying.txt", "Written"));
  std::set<std::string> writers;
  for (const std::string& task : threadsOfProcess())
    if (before.count(task) == 0) writers.insert(task);
  ASSERT_EQ(writers.size(), 1u);
  const std::string writer = *writers.begin();
  // Every file written and nothing due: no wake-up at all.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long idleFrom = voluntarySwitches(writer);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(voluntarySwitches(writer), idleFrom) << "wake-ups of an idle writer";

  output::outputConfigure("", "%title%", "");
  EXPECT_TRUE(waitFor([&] { return threadsOfProcess() == before; }, 2000))
      << "the writer ends once the folder is cleared";
  output::outputConfigure(folder_.string(), "%title%", "");
  output::outputPublish(song("Again", "Artist"));
  EXPECT_TRUE(holds("nowplaying.txt", "Again"));
}

TEST_F(OutputWriter, AFileHeldPastTheRetriesGetsItsLatestTextOnceLetGo) {
  fs::create_directory(folder_ / "title.txt");  // rename onto it fails
  output::outputConfigure(folder_.string(), "%title%", "Stopped ✓");
  output::outputPublish(song("First", "Artist"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  output::outputPublish(song("Latest", "Artist"));
  ASSERT_TRUE(holds("nowplaying.txt", "Latest", 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(11000));  // held 12 s in all
  fs::remove(folder_ / "title.txt");
  EXPECT_TRUE(holds("title.txt", "Latest", 1500));

  // Held again over the quit and let go while it waits: the stopped state.
  output::outputPublish(song("Last", "Artist"));
  ASSERT_TRUE(holds("title.txt", "Last", 3000));
  fs::remove(folder_ / "title.txt");
  fs::create_directory(folder_ / "title.txt");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    fs::remove(folder_ / "title.txt");
  });
  output::outputQuit();
  release.join();
  EXPECT_EQ(readFile(folder_ / "title.txt"), "Stopped ✓");
}

TEST_F(OutputWriter, TheJsonNamesOnlyTheCoverOnDisk) {
  output::outputConfigure(folder_.string(), "%title%", "Off air ✓");
  const std::string jpeg = "\xFF\xD8\xFF cover";
  const std::string hash(40, 'a');
  NowPlaying playing = song("Song", "Artist");
  output::outputPublish(playing);
  ASSERT_TRUE(waitFor([&] { return hashNamed(readFile(folder_ / "nowplaying.js")) == ""; }, 2000));
  const std::string firstJson = readFile(folder_ / "nowplaying.json");
  struct stat titleBefore {};
  ASSERT_EQ(stat((folder_ / "title.txt").c_str(), &titleBefore), 0);

  // The same snapshot with its cover: only cover.png and the JSON change,
  // the JSON once cover.png holds the picture.
  playing.cover = coverOf(jpeg, hash);
  output::outputPublish(playing);
  ASSERT_TRUE(holds("cover.png", jpeg, 3000));
  ASSERT_TRUE(
      waitFor([&] { return hashNamed(readFile(folder_ / "nowplaying.js")) == hash; }, 2000));
  EXPECT_EQ(hashNamed(readFile(folder_ / "nowplaying.json")), hash);
  const std::string json = readFile(folder_ / "nowplaying.json");
  EXPECT_EQ(json.substr(json.find("\"updated\"")), firstJson.substr(firstJson.find("\"updated\"")))
      << "the same moment";
  struct stat titleAfter {};
  ASSERT_EQ(stat((folder_ / "title.txt").c_str(), &titleAfter), 0);
  EXPECT_EQ(titleAfter.st_ino, titleBefore.st_ino);

  // cover.png held: the JSON names the picture still there until the next
  // track's is on disk.
  fs::remove(folder_ / "cover.png");
  fs::create_directory(folder_ / "cover.png");
  NowPlaying next = song("Next", "Artist");
  const std::string png = "\x89PNG\r\n\x1A\n next";
  next.cover = coverOf(png, std::string(40, 'b'));
  output::outputPublish(next);
  ASSERT_TRUE(holds("title.txt", "Next", 3000));
  ASSERT_TRUE(waitFor(
      [&] { return readFile(folder_ / "nowplaying.js").find("Next") != std::string::npos; }, 2000));
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(hashNamed(readFile(folder_ / "nowplaying.json")), hash) << "not on disk yet";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fs::remove(folder_ / "cover.png");
  ASSERT_TRUE(holds("cover.png", png, 2000));
  EXPECT_TRUE(waitFor(
      [&] { return hashNamed(readFile(folder_ / "nowplaying.json")) == std::string(40, 'b'); },
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
