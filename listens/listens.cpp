#include "listens/listens.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/player.h"
#include "base/settings.h"
#include "base/state.h"
#include "listens/listen_rules.h"
#include "listens/sender.h"
#include "platform/port_listens.h"
#include "platform/port_worker.h"
#include "trellicast/version.h"

namespace {

using listens::ListenTrack;

// id3lib's frame numbers of what a listen carries.
constexpr int FRAME_TITLE = 47, FRAME_ARTIST = 61, FRAME_ALBUM = 29, FRAME_TRACK = 68;
// A position this far back, to this near the start, is the same entry
// playing again (a repeat), not a seek.
constexpr int64_t RESTART_BACK_MS = 1000;
constexpr int64_t RESTART_NEAR_START_MS = 3000;
// At the first look, the position counts as played up to this much: the
// change was told late by its settling, not more.
constexpr int64_t FIRST_LOOK_MOST_MS = 3000;

// The track being played, as the player's thread follows it.
struct PlayTrack {
  bool active = false;
  intptr_t position = 0;
  std::string titleUtf8;
  std::string fileName;
  std::optional<ListenTrack> track;  // none: it has no artist or title
  int64_t startedAt = 0;             // Unix seconds
  int64_t lengthMs = -1;
  int64_t playedMs = 0;
  int64_t elapsedMs = -1;  // at the last look
  uint64_t lookedAtMs = 0;
  bool playing = false;
  bool counted = false;
  bool toldPlaying = false;  // its now-playing went to the sender
};

struct ListensState {
  PlayTrack current;
  std::string player;
  int64_t divisor = 1;
  bool timerSet = false;
  bool statusTimerSet = false;
  uint32_t statusPolls = 0;
};

ListensState state;

std::string frameText(const std::vector<SnapshotFrame>& frames, int number) {
  for (const SnapshotFrame& frame : frames)
    if (frame.number == number) return frame.text;
  return {};
}

std::optional<ListenTrack> trackOf(const PlayerSnapshot& snapshot) {
  if (!snapshot.frames) return std::nullopt;
  ListenTrack track;
  track.artist = frameText(*snapshot.frames, FRAME_ARTIST);
  track.title = frameText(*snapshot.frames, FRAME_TITLE);
  track.release = frameText(*snapshot.frames, FRAME_ALBUM);
  track.trackNumber = frameText(*snapshot.frames, FRAME_TRACK);
  track.durationMs = snapshot.lengthMs;
  return listens::checkedTrack(track);
}

bool sameEntry(const PlayTrack& t, const PlayerSnapshot& s) {
  return t.active && t.position == s.position && t.titleUtf8 == s.titleUtf8 &&
         t.fileName == s.fileName;
}

void showLine(const std::string& line) {
  std::snprintf(updateStatus, sizeof updateStatus, "%s", line.c_str());
  if (updateStatusListener != nullptr) updateStatusListener(updateStatus);
}

// Shows the lines the listens thread has for the status; false when none.
bool showStatusLines() {
  std::string line;
  bool shown = false;
  while (listens::senderStatusLine(&line)) {
    showLine(line);
    shown = true;
  }
  return shown;
}

void armTimer();

// A track's now-playing, once, the first time it is seen playing.
void tellPlaying() {
  PlayTrack& t = state.current;
  if (!t.active || t.toldPlaying || !t.playing || !t.track) return;
  t.toldPlaying = true;
  const std::string item = listens::listenItem(*t.track, -1, state.player, TRELLICAST_VERSION);
  if (!item.empty()) listens::senderNowPlaying(listens::submissionBody("playing_now", {item}));
}

void countIfDue() {
  PlayTrack& t = state.current;
  if (!t.active || t.counted || !t.track) return;
  const int64_t threshold = listens::listenThresholdMs(t.lengthMs, state.divisor);
  if (threshold < 0 || t.playedMs < threshold) return;
  t.counted = true;
  const std::string item =
      listens::listenItem(*t.track, t.startedAt, state.player, TRELLICAST_VERSION);
  if (!item.empty()) listens::senderQueue(item);
}

// The same entry looked at again: what was played since the last look.
void advance(int64_t elapsedMs, bool playing) {
  PlayTrack& t = state.current;
  const uint64_t now = platform::clockMs();
  t.playedMs += listens::playedBetween(t.elapsedMs, elapsedMs,
                                       static_cast<int64_t>(now - t.lookedAtMs), t.playing);
  t.elapsedMs = elapsedMs;
  t.lookedAtMs = now;
  t.playing = playing;
  tellPlaying();
  countIfDue();
  armTimer();
}

void onListenTimer(platform::WindowHandle, unsigned, uintptr_t, uint32_t) {
  platform::killTimer(hostWindow, LISTEN_TIMER_ID);
  state.timerSet = false;
  if (!state.current.active) return;
  // The player is asked once more: is the same entry still playing, and where.
  const intptr_t status = platform::sendUserMessage(hostWindow, 0, GET_STATUS);
  const intptr_t position = platform::sendUserMessage(hostWindow, 0, GET_LIST_POSITION);
  if (position != state.current.position) return;  // the change's snapshot follows
  const intptr_t elapsed = platform::sendUserMessage(hostWindow, 0, GET_OUTPUT_TIME);
  advance(elapsed >= 0 ? static_cast<int64_t>(elapsed) : -1, status == PLAYING);
}

// Sets the timer for when the playing track will have played enough.
void armTimer() {
  const PlayTrack& t = state.current;
  if (state.timerSet) {
    platform::killTimer(hostWindow, LISTEN_TIMER_ID);
    state.timerSet = false;
  }
  if (!t.active || t.counted || !t.track || !t.playing) return;
  const int64_t threshold = listens::listenThresholdMs(t.lengthMs, state.divisor);
  if (threshold < 0) return;
  const int64_t left = threshold - t.playedMs;
  state.timerSet = platform::setTimer(hostWindow, LISTEN_TIMER_ID,
                                      static_cast<uint32_t>(std::max<int64_t>(left, 0) + 20),
                                      onListenTimer) != 0;
}

void startTrack(const PlayerSnapshot& snapshot) {
  PlayTrack t;
  t.active = true;
  t.position = snapshot.position;
  t.titleUtf8 = snapshot.titleUtf8;
  t.fileName = snapshot.fileName;
  t.track = trackOf(snapshot);
  const int64_t elapsed = snapshot.elapsedMs > 0 ? snapshot.elapsedMs : 0;
  t.startedAt = static_cast<int64_t>(platform::unixTimeMs() / 1000) - elapsed / 1000;
  t.lengthMs = snapshot.lengthMs;
  // What played before the first look counts too.
  t.playedMs = std::min<int64_t>(elapsed, FIRST_LOOK_MOST_MS);
  t.elapsedMs = snapshot.elapsedMs;
  t.lookedAtMs = platform::clockMs();
  t.playing = snapshot.status == PLAYING;
  state.current = std::move(t);
  tellPlaying();
  countIfDue();
  armTimer();
}

// While a token check is under way: its answer, as soon as it is there.
void onStatusPoll(platform::WindowHandle, unsigned, uintptr_t, uint32_t) {
  const bool answered = showStatusLines();
  if (answered || ++state.statusPolls >= LISTEN_STATUS_POLL_COUNT) {
    platform::killTimer(hostWindow, LISTEN_STATUS_TIMER_ID);
    state.statusTimerSet = false;
    state.statusPolls = 0;
  }
}

}  // namespace

void configureListens() {
  const char* divisor = std::getenv(LISTEN_TIME_DIVISOR_VARIABLE);
  state.divisor = divisor != nullptr ? std::max(1L, std::strtol(divisor, nullptr, 10)) : 1;
  try {
    if (state.player.empty()) state.player = platform::listensPlayerName();
    listens::senderConfigure(listenSettings.url, listenSettings.token);
  } catch (const std::bad_alloc&) {
  }
}

bool listensFollowPlayer() { return !listenSettings.url.empty(); }

void takeListensSnapshot(const PlayerSnapshot& snapshot, SnapshotCause) {
  if (!listensFollowPlayer()) return;
  try {
    showStatusLines();
    if (snapshot.status == STOPPED) {
      if (state.current.active) advance(-1, false);
      state.current = PlayTrack{};
      armTimer();
      return;
    }
    const PlayTrack& t = state.current;
    const bool restarted = sameEntry(t, snapshot) && snapshot.elapsedMs >= 0 && t.elapsedMs >= 0 &&
                           snapshot.elapsedMs + RESTART_BACK_MS < t.elapsedMs &&
                           snapshot.elapsedMs < RESTART_NEAR_START_MS;
    if (sameEntry(t, snapshot) && !restarted) {
      advance(snapshot.elapsedMs, snapshot.status == PLAYING);
    } else {
      startTrack(snapshot);
    }
  } catch (const std::bad_alloc&) {
  }
}

void checkListenToken(const char* url, const char* token) {
  try {
    listens::senderCheckToken(url, token);
  } catch (const std::bad_alloc&) {
    return;
  }
  state.statusPolls = 0;
  state.statusTimerSet = platform::setTimer(hostWindow, LISTEN_STATUS_TIMER_ID,
                                            LISTEN_STATUS_POLL_MS, onStatusPoll) != 0;
}

void quitListens() {
  // The timers this room set, and only those.
  if (state.timerSet) platform::killTimer(hostWindow, LISTEN_TIMER_ID);
  if (state.statusTimerSet) platform::killTimer(hostWindow, LISTEN_STATUS_TIMER_ID);
  state.timerSet = false;
  state.statusTimerSet = false;
  state.current = PlayTrack{};
  listens::senderQuit();
}
