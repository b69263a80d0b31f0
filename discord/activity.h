// What Discord shows for a snapshot of the player: a "Listening to"
// activity, or none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/snapshot.h"

namespace discord {

// Discord refuses longer texts in an activity.
constexpr size_t FIELD_MAX_CHARS = 128;
// The application's own asset shown beside the activity: users upload an
// image under this key. A cover would need a public https address, which
// nothing here serves, so it is always this one.
constexpr const char* LARGE_IMAGE_KEY = "logo";
constexpr int ACTIVITY_TYPE_LISTENING = 2;

// What the snapshot says of the track, in UTF-8.
struct DiscordTrack {
  long status = 0;  // PLAYING, PAUSED or STOPPED (base/player.h)
  std::string title;
  std::string artist;
  std::string album;
  int64_t elapsedMs = -1;
  int64_t lengthMs = -1;
};

// The title, artist and album frames (47, 61, 29; Latin-1 text converted),
// the player's title or the file's name for a track without a title frame.
DiscordTrack trackOf(const PlayerSnapshot& snapshot);

// One activity as it goes out; shown false is the cleared activity (null).
struct DiscordActivity {
  bool shown = false;
  std::string details;    // the title
  std::string state;      // the artist and album ("Paused - ..." while paused)
  std::string largeText;  // the album
  bool timed = false;     // whether timestamps go out
  int64_t startMs = 0;    // Unix time the track began, as if played without a pause
  int64_t endMs = 0;      // Unix time it ends; 0: not known (no end sent)
  bool operator==(const DiscordActivity&) const = default;
};

// The activity for a track at Unix time nowMs: playing shows it with its
// progress, paused shows it without timestamps when showPaused (else
// cleared), stopped clears it. Every text is cut to FIELD_MAX_CHARS
// characters.
DiscordActivity activityOf(const DiscordTrack& track, bool showPaused, int64_t nowMs);

// Whether next differs from last in where the track is alone (a seek, or
// the clock's drift over STEADY_SLACK_MS), not in what it shows.
constexpr int64_t STEADY_SLACK_MS = 2000;
bool samePicture(const DiscordActivity& last, const DiscordActivity& next);
bool sameProgress(const DiscordActivity& last, const DiscordActivity& next);

// text cut to at most maxChars code points, between characters.
std::string cutChars(std::string_view text, size_t maxChars);

// The activity object as JSON text ("null" when not shown).
std::string activityJson(const DiscordActivity& activity);
// The SET_ACTIVITY command for it, as a frame's payload.
std::string setActivityPayload(const DiscordActivity& activity, uint32_t pid,
                               const std::string& nonce);
// The handshake's payload.
std::string handshakePayload(const std::string& clientId);

}  // namespace discord
