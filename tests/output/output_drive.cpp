// Drives the real writer for the scripts beside it.
//
//   output_drive fill FOLDER STATUS TITLE ARTIST ALBUM [COVER_FILE]
//     writes one snapshot (STATUS: playing, paused or stopped) and exits
//     once nowplaying.json holds it.
//   output_drive changes FOLDER COUNT EVERY_MS [FAST_COUNT FAST_EVERY_MS]
//     publishes FAST_COUNT snapshots every FAST_EVERY_MS, then COUNT every
//     EVERY_MS (the first after twice that), then quits; prints "publish I MONOTONIC_MS HOLD_US"
//     for each, and "hold MAX_US" for the longest publish call (a 5 MB cover, written by the
//     writer, on every other track).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "output/output_text.h"
#include "output/writer.h"
#include "platform/port_output.h"
#include "platform/port_worker.h"
#include "tags/cover.h"

namespace {

const char* const TITLES[] = {
    "坂本龍一 – 戦場のメリークリスマス", "Emoji 🎧🔥 night", "<img src=x onerror=alert(1)>",
    "Quote \" back\\slash\ttab",         "Plain title",
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int fill(int argc, char** argv) {
  if (argc < 7) return 2;
  const std::string folder = argv[2];
  output::NowPlaying playing;
  const std::string status = argv[3];
  playing.status = status == "playing"  ? output::PlayStatus::playing
                   : status == "paused" ? output::PlayStatus::paused
                                        : output::PlayStatus::stopped;
  playing.title = argv[4];
  playing.artist = argv[5];
  playing.album = argv[6];
  playing.playerTitle = playing.artist + " - " + playing.title;
  playing.fileName = "track.mp3";
  // The cover as the caller looks it up: here as the player's art file.
  if (argc > 7) {
    const platform::FileName art{argv[7]};
    playing.cover = lookUpCover(platform::FileName{}, &art);
  }
  output::outputConfigure(folder, "%artist% - %title%", "");
  output::outputPublish(playing);
  const std::string expected = output::jsonString(playing.title);
  for (int i = 0; i < 500; ++i) {
    const std::string json = readFile(folder + "/nowplaying.js");
    if (json.find("\"status\":\"" + status + "\"") != std::string::npos &&
        (playing.status == output::PlayStatus::stopped || json.find(expected) != std::string::npos))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fflush(stdout);
  _exit(0);  // the writer keeps running; nothing more is to be written
}

int changes(int argc, char** argv) {
  if (argc < 5) return 2;
  const std::string folder = argv[2];
  const int count = std::atoi(argv[3]);
  const int every = std::atoi(argv[4]);
  const int fastCount = argc > 6 ? std::atoi(argv[5]) : 0;
  const int fastEvery = argc > 6 ? std::atoi(argv[6]) : 0;
  // A 5 MB picture, looked up once as a caller does, on every other track.
  const std::string bigCover = (std::filesystem::temp_directory_path() /
                                ("output_drive_" + std::to_string(getpid()) + ".png"))
                                   .string();
  {
    std::ofstream out(bigCover, std::ios::binary);
    out << "\x89PNG\r\n\x1A\n" << std::string(5 * 1024 * 1024, '\x42');
  }
  const platform::FileName bigCoverName{bigCover};
  const CoverPtr cover = lookUpCover(platform::FileName{}, &bigCoverName);
  output::outputConfigure(folder, "%artist% - %title% [%album%]", "Nothing plays");
  long maxHoldUs = 0;
  for (int i = 0; i < fastCount + count; ++i) {
    output::NowPlaying playing;
    playing.status = output::PlayStatus::playing;
    playing.title = std::string(TITLES[i % 5]) + " #" + std::to_string(i);
    playing.artist = "Artist " + std::to_string(i);
    playing.album = "Album ✓";
    playing.playerTitle = playing.artist + " - " + playing.title;
    playing.fileName = "track" + std::to_string(i) + ".mp3";
    if (i % 2 == 0) playing.cover = cover;
    timespec cpuStart{}, cpuEnd{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
    const auto start = std::chrono::steady_clock::now();
    output::outputPublish(playing);
    const long us = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
    const long cpuUs =
        (cpuEnd.tv_sec - cpuStart.tv_sec) * 1000000L + (cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1000L;
    if (us > maxHoldUs) maxHoldUs = us;
    std::printf("publish %d %llu %ld %ld\n", i,
                static_cast<unsigned long long>(platform::clockMs()), us, cpuUs);
    std::fflush(stdout);
    // After the burst, one pause more: its last write may still be due.
    const int pause = i + 1 < fastCount ? fastEvery : i + 1 == fastCount ? 2 * every : every;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
  output::outputQuit();
  std::remove(bigCover.c_str());
  std::printf("hold %ld\n", maxHoldUs);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "fill") == 0) return fill(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "changes") == 0) return changes(argc, argv);
  std::fprintf(stderr, "usage: output_drive fill|changes FOLDER ...\n");
  return 2;
}
