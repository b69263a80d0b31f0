// What the files for streamers are written from: one snapshot of what
// plays, as plain values, and the three settings that shape the files.
#pragma once

#include <cstdint>
#include <string>

#include "tags/cover.h"

namespace output {

enum class PlayStatus { stopped, playing, paused };

// Every text is UTF-8 (a byte that starts no valid sequence is written as
// U+FFFD); fileName is the file's name without its folders.
struct NowPlaying {
  PlayStatus status = PlayStatus::stopped;
  std::string playerTitle;  // the player's own title of the entry
  std::string title;
  std::string artist;
  std::string album;
  std::string year;
  std::string track;
  std::string genre;
  std::string fileName;
  // The track's cover, looked up once per track by the caller (tags/cover.h)
  // and shared as it is. None: no cover (cover.png is transparent).
  CoverPtr cover;
};

struct OutputConfig {
  std::string folder;        // empty: no files
  std::string templateText;  // for nowplaying.txt
  std::string stoppedText;   // every text file while nothing plays
};

}  // namespace output
