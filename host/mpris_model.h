// What the MPRIS mode makes of a player's state, without the bus: playback
// status codes, the title the module is given, the local file behind a
// track's URL, which bus names count as players and which player is the
// active one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host::mpris {

inline constexpr std::string_view PLAYER_PREFIX = "org.mpris.MediaPlayer2.";

enum class Playback { stopped, paused, playing };

// "Playing", "Paused"; anything else (Stopped, unknown words) is stopped.
Playback playbackFromText(std::string_view text);
// The status the module reports: playing 1, paused 3, stopped 0.
int statusCode(Playback playback);
const char* playbackName(Playback playback);

struct Track {
  std::vector<std::string> artists;
  std::string title;
  std::string url;
  std::string id;         // mpris:trackid
  std::string artUrl;     // mpris:artUrl
  int64_t lengthUs = -1;  // mpris:length, -1 when not given
  bool operator==(const Track&) const = default;
};

// "Artist1, Artist2 - Title"; the title alone without artists; the artists
// alone without a title; empty when the player gives neither. Empty artist
// names are left out.
std::string displayTitle(const Track& track);

// The local path behind a file:// URL (host empty or "localhost"), percent
// sequences decoded; a bare absolute path is taken as it is. None for any
// other URL, a remote host, a broken percent sequence or a decoded NUL.
std::optional<std::string> localPath(std::string_view url);

// Whether busName is a player to follow: org.mpris.MediaPlayer2.* except
// the playerctld mirror, and, when filter is not empty, only names whose
// part after the prefix starts with filter.
bool wantedName(std::string_view busName, std::string_view filter);

struct Candidate {
  Playback playback;
  uint64_t lastChange;  // larger is more recent
};
// The index of the active player: playing before paused before stopped,
// then the most recent change; -1 when there is none.
int pickPlayer(const std::vector<Candidate>& candidates);

// What the active player plays, as the module's queries need it.
struct NowPlaying {
  std::string player;  // the bus name after org.mpris.MediaPlayer2., empty without a player
  int status = 0;
  std::string title;
  std::optional<std::string> path;
  std::string track;  // which track: its id and URL; another value is another track
  std::optional<std::string> artPath = std::nullopt;  // the local file behind mpris:artUrl
  int64_t lengthUs = -1;                              // mpris:length
  std::string busName = std::string();                // the player's whole bus name
};

// The answer to GET_OUTPUT_TIME (105): wParam 0 the position in ms (given;
// -1 when not known), wParam 1 the length in whole seconds; -1 while
// stopped or not known.
intptr_t outputTimeAnswer(const NowPlaying& now, uintptr_t wParam, int64_t positionMs);

// The answer to the module's GET_ART_FILE query: the local file behind
// the track's mpris:artUrl (a file:// URL, as localPath reads it), held in
// answered until the next query; 0 for none.
intptr_t artFileAnswer(const NowPlaying& now, std::string& answered);

// What the module is to be told when the followed player's state goes from
// before to after: a new track (another track, or another player followed),
// else a new title (the title or the file changed), and a new status. All
// false when nothing the module posts changed.
struct Changes {
  bool newTrack = false;
  bool title = false;
  bool status = false;
  bool operator==(const Changes&) const = default;
};
Changes changesBetween(const NowPlaying& before, const NowPlaying& after);

}  // namespace host::mpris
