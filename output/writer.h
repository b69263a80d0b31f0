// The files for streamers on disk: a writer thread of its own keeps a folder
// holding what the last snapshot says (see output_text.h for the files).
//
// Each file is replaced whole (platform/port_output.h) and only when its
// bytes change; a burst of changes ends with a write at least
// FILE_SPACING_MS after the file's previous write, so a reader that looks at
// the time of writing once a second at one-second resolution sees it. A file
// that cannot be replaced (a reader holds it without delete sharing) is
// tried again every RETRY_MS for up to RETRY_FOR_MS; nothing waits for it.
// Files are never deleted. Callers never wait for the disk: they hand over
// and return.
#pragma once

#include <cstdint>
#include <string>

#include "output/now_playing.h"

namespace output {

constexpr uint64_t FILE_SPACING_MS = 1100;
constexpr uint64_t RETRY_MS = 100;
constexpr uint64_t RETRY_FOR_MS = 10000;
// How long outputQuit lets the writer finish the stopped state.
constexpr uint32_t QUIT_WAIT_MS = 3000;

// The settings (an empty folder: no files). A new folder gets every file,
// and overlay.html when it has none. Starts the writer when it is not running.
void outputConfigure(const std::string& folder, const std::string& templateText,
                     const std::string& stoppedText);
// Hands a snapshot to the writer and returns; a snapshot that writes what the
// last one wrote changes nothing (its "updated" time included).
void outputPublish(const NowPlaying& playing);
// Writes the stopped state (texts hold the stopped text, the JSON says
// "stopped", the cover is transparent) and waits at most QUIT_WAIT_MS for
// the writer to end. A later outputConfigure starts afresh.
void outputQuit();

}  // namespace output
