// What counts as a listen, and the JSON that carries one: pure procedures,
// the same for the player's thread and the listens thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace listens {

// A track counts once it has played half its length or this long,
// whichever is less, and only when it is longer than LISTEN_MIN_LENGTH_MS.
constexpr int64_t LISTEN_MIN_LENGTH_MS = 30000;
constexpr int64_t LISTEN_MAX_THRESHOLD_MS = 240000;
// The most one listen's JSON may take, as the server counts it.
constexpr size_t LISTEN_MAX_BYTES = 10240;
// How far the player's position may run ahead of our clock between two
// looks and still count as played (a longer jump is a seek).
constexpr int64_t PLAYED_SLACK_MS = 250;

// How long a track of lengthMs (-1: not known) must play to count, or -1
// when it never counts. divisor shortens both times alike (1 in use).
int64_t listenThresholdMs(int64_t lengthMs, int64_t divisor = 1);

// How much of the time between two looks at the player was played: the
// progress of its position, never backwards and never more than our own
// clock ran (plus PLAYED_SLACK_MS), or, with a position not known, the
// time itself when it was playing.
int64_t playedBetween(int64_t previousElapsedMs, int64_t elapsedMs, int64_t clockDeltaMs,
                      bool wasPlaying);

struct ListenTrack {
  std::string artist;
  std::string title;
  std::string release;      // may be empty
  std::string trackNumber;  // as tagged ("3", "3/12"); may be empty
  int64_t durationMs = -1;  // -1: not known
};

// The track with its texts in UTF-8 (Latin-1 bytes converted), NULs taken
// out and white space trimmed; none without an artist or a title.
std::optional<ListenTrack> checkedTrack(const ListenTrack& track);

// One entry of a submission's payload: {"listened_at":..., "track_metadata":
// {...}} (listened_at left out when listenedAt < 0), at most LISTEN_MAX_BYTES
// long: the longest texts are cut between characters until it fits. Empty
// when it cannot be made to fit.
std::string listenItem(const ListenTrack& track, int64_t listenedAt, const std::string& player,
                       const std::string& version);

// {"listen_type":type,"payload":[items...]}, each item as listenItem made it.
std::string submissionBody(const char* listenType, const std::vector<std::string>& items);

// The first line of what a server said (its JSON "error" or "message", or
// the body's first line), cut to fit a status line.
std::string serverWords(const std::string& body);

}  // namespace listens
