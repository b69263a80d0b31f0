// What the files for streamers are written from: one snapshot of what
// plays, as plain values, and the three settings that shape the files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace output {

enum class PlayStatus { stopped, playing, paused };

// The current file's cover as the tag reader found it. No bytes: no cover.
struct Cover {
  std::shared_ptr<const std::string> bytes;  // shared, never changed once made
  std::string mime;                          // from the bytes, e.g. "image/jpeg"
  std::string sha1;                          // SHA-1 of the bytes, lower-case hex
};

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
  Cover cover;
};

struct OutputConfig {
  std::string folder;        // empty: no files
  std::string templateText;  // for nowplaying.txt
  std::string stoppedText;   // every text file while nothing plays
};

}  // namespace output
