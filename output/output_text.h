// The files for streamers as data: what each file holds for one snapshot.
// Pure functions, no system and no time of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "output/now_playing.h"

namespace output {

// The text with every byte that starts no valid UTF-8 sequence (overlong
// forms, surrogates and code points past U+10FFFF included) replaced by
// U+FFFD; valid text comes back unchanged.
std::string validUtf8(std::string_view text);

// The template with %artist%, %title%, %album%, %year%, %track%, %genre% and
// %playertitle% replaced by the snapshot's texts; any other % is kept.
std::string expandTemplate(std::string_view templateText, const NowPlaying& playing);

// What nowplaying.txt holds: the stopped text when nothing plays; the
// player's title when the file has no artist or no title; else the template.
std::string nowPlayingText(const OutputConfig& config, const NowPlaying& playing);

// A JSON string literal of the text: quote, backslash and every control
// character escaped (\n, \t, ... or \u00XX), U+2028 and U+2029 as \u2028 and
// \u2029, everything else kept as UTF-8.
std::string jsonString(std::string_view text);

// nowplaying.json: one object, the keys in the order docs/streamers.md lists them;
// updatedMs is the Unix time in milliseconds at which the snapshot appeared.
std::string nowPlayingJson(const NowPlaying& playing, uint64_t updatedMs);

// One file of the set: its name in the folder and its bytes.
struct OutputFile {
  const char* name;
  std::shared_ptr<const std::string> bytes;
};

// Every file written for a snapshot, in the order they are written: the
// texts first (what a text source shows comes soonest, not after a large
// cover), then the cover, then nowplaying.json and nowplaying.js, so a page
// that sees a new hash finds the new cover.
std::vector<OutputFile> outputFileSet(const OutputConfig& config, const NowPlaying& playing,
                                      uint64_t updatedMs);

// Whether two snapshots write the same files (covers compared by hash).
bool sameNowPlaying(const NowPlaying& a, const NowPlaying& b);

// The page for OBS's Browser source, written once when missing, and the
// 1x1 transparent PNG that stands for no cover.
extern const std::string_view OVERLAY_HTML;
extern const std::string_view TRANSPARENT_PNG;
constexpr const char* OVERLAY_FILE = "overlay.html";

}  // namespace output
