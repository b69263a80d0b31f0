// The files for streamers on disk: a writer thread of its own keeps a folder
// holding what the last snapshot says (see output_text.h for the files).
//
// Each file is replaced whole (platform/port_output.h) and only when its
// bytes change; a burst of changes ends with a write at least
// FILE_SPACING_MS after the file's previous write, so a reader that looks at
// the time of writing once a second at one-second resolution sees it. A file
// that cannot be replaced (a reader holds it without delete sharing) is
// tried again every RETRY_MS for RETRY_FOR_MS, then every HELD_RETRY_MS for
// as long as the writer runs (every RETRY_MS again while it quits), with
// the latest bytes; nothing else waits for it. cover.png is written before
// the JSON names its hash: nowplaying.json and nowplaying.js name the cover
// that is on disk, or none. Files are never deleted. Callers never wait for
// the disk: they hand over and return.
//
// The writer's thread runs only while a folder is set, and sleeps without a
// bound while nothing is due.
#pragma once

#include <cstdint>
#include <string>

#include "output/now_playing.h"

namespace output {

constexpr uint64_t FILE_SPACING_MS = 1100;
constexpr uint64_t RETRY_MS = 100;
constexpr uint64_t RETRY_FOR_MS = 10000;
constexpr uint64_t HELD_RETRY_MS = 1000;
// How long outputQuit lets the writer finish the stopped state.
constexpr uint32_t QUIT_WAIT_MS = 3000;

// The settings. A new folder gets every file, and overlay.html when it has
// none; the writer starts when it is not running. An empty folder: no
// files, and the writer ends (or never starts).
void outputConfigure(const std::string& folder, const std::string& templateText,
                     const std::string& stoppedText);
// Hands a snapshot to the writer and returns; a snapshot that writes what the
// last one wrote changes nothing (its "updated" time included), and one that
// differs from it in its cover alone keeps its "updated" time. The cover is
// the caller's (playing.cover); the writer reads no media file.
void outputPublish(const NowPlaying& playing);
// Writes the stopped state (texts hold the stopped text, the JSON says
// "stopped", the cover is transparent) and waits at most QUIT_WAIT_MS for
// the writer to end. A later outputConfigure starts afresh.
void outputQuit();

}  // namespace output
