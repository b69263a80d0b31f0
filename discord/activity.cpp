#include "discord/activity.h"

#include <nlohmann/json.hpp>

#include "base/player.h"
#include "platform/unicode.h"

namespace discord {
namespace {

using Json = nlohmann::json;

// id3lib's frame numbers of what the activity shows.
constexpr int FRAME_TITLE = 47, FRAME_ARTIST = 61, FRAME_ALBUM = 29;

std::string frameText(const std::vector<SnapshotFrame>& frames, int number) {
  for (const SnapshotFrame& frame : frames)
    if (frame.number == number && !frame.text.empty()) return unicode::frameTextUtf8(frame.text);
  return {};
}

std::string dump(const Json& value) {
  // Text the player gave that is not UTF-8 after all goes out replaced, not
  // refused.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string cutChars(std::string_view text, size_t maxChars) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  for (size_t chars = 0; i < text.size() && chars < maxChars; ++chars) {
    uint32_t cp = 0;
    const size_t n = unicode::utf8SequenceAt(bytes, text.size(), i, &cp);
    i += n == 0 ? 1 : n;
  }
  return std::string(text.substr(0, i));
}

DiscordTrack trackOf(const PlayerSnapshot& snapshot) {
  DiscordTrack track;
  track.status = snapshot.status;
  track.elapsedMs = snapshot.elapsedMs;
  track.lengthMs = snapshot.lengthMs;
  if (snapshot.frames) {
    track.title = frameText(*snapshot.frames, FRAME_TITLE);
    track.artist = frameText(*snapshot.frames, FRAME_ARTIST);
    track.album = frameText(*snapshot.frames, FRAME_ALBUM);
  }
  if (track.title.empty()) track.title = snapshot.titleUtf8;
  if (track.title.empty() && snapshot.hasFile) {
    const size_t slash = snapshot.fileName.find_last_of("/\\");
    track.title =
        slash == std::string::npos ? snapshot.fileName : snapshot.fileName.substr(slash + 1);
  }
  return track;
}

DiscordActivity activityOf(const DiscordTrack& track, bool showPaused, int64_t nowMs) {
  DiscordActivity activity;
  const bool playing = track.status == PLAYING;
  if (!playing && !(track.status == PAUSED && showPaused)) return activity;
  activity.shown = true;
  activity.details = cutChars(track.title, FIELD_MAX_CHARS);
  std::string state = track.artist;
  if (!track.album.empty()) state += state.empty() ? track.album : " - " + track.album;
  if (!playing) state = state.empty() ? "Paused" : "Paused - " + state;
  activity.state = cutChars(state, FIELD_MAX_CHARS);
  activity.largeText = cutChars(track.album, FIELD_MAX_CHARS);
  if (playing && track.elapsedMs >= 0) {
    activity.timed = true;
    activity.startMs = nowMs - track.elapsedMs;
    activity.endMs = track.lengthMs > 0 ? activity.startMs + track.lengthMs : 0;
  }
  return activity;
}

bool samePicture(const DiscordActivity& last, const DiscordActivity& next) {
  return last.shown == next.shown && last.details == next.details && last.state == next.state &&
         last.largeText == next.largeText && last.timed == next.timed &&
         (last.endMs == 0) == (next.endMs == 0);
}

bool sameProgress(const DiscordActivity& last, const DiscordActivity& next) {
  if (!samePicture(last, next)) return false;
  if (!next.timed) return true;
  const int64_t drift = next.startMs - last.startMs;
  return drift <= STEADY_SLACK_MS && drift >= -STEADY_SLACK_MS &&
         (next.endMs - next.startMs) == (last.endMs - last.startMs);
}

static Json activityValue(const DiscordActivity& activity) {
  if (!activity.shown) return nullptr;
  Json out = {{"type", ACTIVITY_TYPE_LISTENING}};
  if (!activity.details.empty()) out["details"] = activity.details;
  if (!activity.state.empty()) out["state"] = activity.state;
  if (activity.timed) {
    out["timestamps"] = {{"start", activity.startMs}};
    if (activity.endMs != 0) out["timestamps"]["end"] = activity.endMs;
  }
  out["assets"] = {{"large_image", LARGE_IMAGE_KEY}};
  if (!activity.largeText.empty()) out["assets"]["large_text"] = activity.largeText;
  return out;
}

std::string activityJson(const DiscordActivity& activity) { return dump(activityValue(activity)); }

std::string setActivityPayload(const DiscordActivity& activity, uint32_t pid,
                               const std::string& nonce) {
  Json command = {{"cmd", "SET_ACTIVITY"},
                  {"args", {{"pid", pid}, {"activity", activityValue(activity)}}},
                  {"nonce", nonce}};
  return dump(command);
}

std::string handshakePayload(const std::string& clientId) {
  return dump(Json{{"v", 1}, {"client_id", clientId}});
}

}  // namespace discord
