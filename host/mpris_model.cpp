#include "host/mpris_model.h"

namespace host::mpris {

Playback playbackFromText(std::string_view text) {
  if (text == "Playing") return Playback::playing;
  if (text == "Paused") return Playback::paused;
  return Playback::stopped;
}

int statusCode(Playback playback) {
  switch (playback) {
    case Playback::playing:
      return 1;
    case Playback::paused:
      return 3;
    case Playback::stopped:
      break;
  }
  return 0;
}

const char* playbackName(Playback playback) {
  switch (playback) {
    case Playback::playing:
      return "playing";
    case Playback::paused:
      return "paused";
    case Playback::stopped:
      break;
  }
  return "stopped";
}

std::string displayTitle(const Track& track) {
  std::string artists;
  for (const std::string& a : track.artists) {
    if (a.empty()) continue;
    if (!artists.empty()) artists += ", ";
    artists += a;
  }
  if (artists.empty()) return track.title;
  if (track.title.empty()) return artists;
  return artists + " - " + track.title;
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

int rankOf(Playback playback) {
  return playback == Playback::playing ? 2 : playback == Playback::paused ? 1 : 0;
}

}  // namespace

std::optional<std::string> localPath(std::string_view url) {
  // Some players hand over the path itself.
  if (!url.empty() && url.front() == '/') return std::string(url);
  if (!startsWithNoCase(url, "file://")) return std::nullopt;
  std::string_view rest = url.substr(7);
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view host = rest.substr(0, slash);
  if (!host.empty() && !startsWithNoCase(host, "localhost")) return std::nullopt;
  if (host.size() > 9) return std::nullopt;  // "localhostX"
  rest.remove_prefix(slash);
  std::string path;
  path.reserve(rest.size());
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    if (i + 2 >= rest.size()) return std::nullopt;
    const int high = hexValue(rest[i + 1]), low = hexValue(rest[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const char c = static_cast<char>(high * 16 + low);
    if (c == '\0') return std::nullopt;
    path += c;
    i += 2;
  }
  return path;
}

bool wantedName(std::string_view busName, std::string_view filter) {
  if (busName.substr(0, PLAYER_PREFIX.size()) != PLAYER_PREFIX) return false;
  const std::string_view player = busName.substr(PLAYER_PREFIX.size());
  if (player.empty() || player == "playerctld") return false;
  return player.substr(0, filter.size()) == filter;
}

int pickPlayer(const std::vector<Candidate>& candidates) {
  int best = -1;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& c = candidates[i];
    if (best < 0) {
      best = static_cast<int>(i);
      continue;
    }
    const Candidate& b = candidates[static_cast<size_t>(best)];
    const int rank = rankOf(c.playback), bestRank = rankOf(b.playback);
    if (rank > bestRank || (rank == bestRank && c.lastChange > b.lastChange)) {
      best = static_cast<int>(i);
    }
  }
  return best;
}

Changes changesBetween(const NowPlaying& before, const NowPlaying& after) {
  Changes c;
  c.newTrack =
      !after.player.empty() && (after.player != before.player || after.track != before.track);
  c.title = !c.newTrack && (after.title != before.title || after.path != before.path);
  c.status = after.status != before.status;
  return c;
}

intptr_t artFileAnswer(const NowPlaying& now, std::string& answered) {
  if (!now.artPath || now.artPath->empty()) return 0;
  answered = *now.artPath;
  return reinterpret_cast<intptr_t>(answered.c_str());
}

intptr_t outputTimeAnswer(const NowPlaying& now, uintptr_t wParam, int64_t positionMs) {
  if (now.status == 0) return -1;
  if (wParam == 1)
    return now.lengthUs > 0 ? static_cast<intptr_t>((now.lengthUs + 500000) / 1000000) : -1;
  if (wParam != 0 || positionMs < 0) return -1;
  // A position past the end (a player that runs its clock on) is the end.
  if (now.lengthUs > 0 && positionMs > now.lengthUs / 1000)
    return static_cast<intptr_t>(now.lengthUs / 1000);
  return static_cast<intptr_t>(positionMs);
}

}  // namespace host::mpris
