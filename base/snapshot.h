// What the player plays at one moment, read once per update: the one value
// the form body is written from, and what any other feature that follows
// the player is handed (a copy of it may go to another thread: it owns all
// its text and points into nothing of the player's).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/port_files.h"

// One tag frame of the playing file: its frame number and its text (UTF-8,
// or Latin-1 bytes as stored when posts are not UTF-8 throughout).
struct SnapshotFrame {
  int number = 0;
  std::string text;
};

struct Cover;  // tags/cover.h

struct PlayerSnapshot {
  long status = 0;          // PLAYING, PAUSED or STOPPED (base/player.h)
  intptr_t position = 0;    // the playlist entry, from 0
  int64_t elapsedMs = -1;   // how far into the track the player is, -1 when not known
  int64_t lengthMs = -1;    // the track's length, -1 when not known (a stream)
  std::string title;        // the entry's title as the post carries it
  std::string titleUtf8;    // the same title in UTF-8, whatever the post carries
  bool hasFile = false;     // whether the player named the entry's file
  std::string fileName;     // its name in UTF-8 (empty without a file)
  platform::FileName file;  // the same name as the system opens it (empty without a file)
  // The file's frames in the order its reader walks them; none when the
  // player names no file or its tags could not be read (no fragment goes
  // out), empty when it has no frame (the body then ends with "&").
  std::optional<std::vector<SnapshotFrame>> frames;
  // The track's cover once its one lookup has ended (none: it has none, or
  // covers are not wanted); coverPending while that lookup still runs.
  std::shared_ptr<const Cover> cover;
  bool coverPending = false;
};

// What made the update cycle read the player.
enum class SnapshotCause {
  start,    // the first post, as the watch starts
  change,   // a change the player told of has settled
  tick,     // the keep-alive interval
  sendNow,  // the settings dialog's "Send now"
};
