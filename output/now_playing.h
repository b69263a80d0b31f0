// What the files for streamers are written from: one snapshot of what
// plays, as plain values, and the three settings that shape the files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/port.h"
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
  // Where the cover is looked up (tags/cover.h), by the writer's thread and
  // never by the caller's: the playing file, and the image the player names
  // for a track without one.
  std::optional<platform::FileName> mediaFile;
  std::optional<platform::FileName> artFile;
  // The cover found there; the writer fills it in. None: no cover.
  CoverPtr cover;
};

struct OutputConfig {
  std::string folder;        // empty: no files
  std::string templateText;  // for nowplaying.txt
  std::string stoppedText;   // every text file while nothing plays
};

}  // namespace output
