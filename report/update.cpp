// The update cycle: on a settled change, a timer tick, the start and "Send
// now" the player is read once into a snapshot (report/read_player.h) and
// handed to every room that follows it: the post here, the others through
// snapshotHook. Each room keeps its own pace: the post writes the form body
// from the snapshot (report/form_body.h) and sends it (report/post.h) on the
// backend's sender thread, never two at once; a post in flight or a URL that
// cannot be posted to delays no other room. The player's thread never waits
// for the network; the backend tells it when the post ends, and the post's
// outcome (the server's answer, or why there was none) is taken then.
#include "report/update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "base/boxes.h"
#include "base/buffer.h"
#include "base/player.h"
#include "base/settings.h"
#include "base/state.h"
#include "report/cover_lookup.h"
#include "report/cover_post.h"
#include "report/form_body.h"
#include "report/post.h"
#include "report/read_player.h"

namespace {

// When the outcome of a post is looked for although the backend has not
// told that it ended: past the backends' own bounds, for a post a backend
// gives up without ending it.
constexpr uint32_t OUTCOME_BOUND_MS = platform::NET_TIMEOUT_MS + 1000;
// Changes closer together than this make one post, of the last state: a
// title that lives shorter never goes out. Measured: the shortest that keeps
// every burst of the stand-in player, of mpv and of the Wine test host
// (titles living 100 ms) to one post of its last state.
constexpr uint32_t SETTLE_MS = 120;
// A settled state whose title is only its file's name while the file's
// tags hold a title (a player that has not read them yet, as mpv has not
// for a moment after it opens a file) waits this much longer once.
constexpr uint32_t TITLE_WAIT_MS = 600;
// How soon an outcome told during another cycle (a box's loop) is taken.
constexpr uint32_t BUSY_RETRY_MS = 50;

// Who started the post in flight: its failure is a box (once) for the
// timer, a status line alone for the dialog.
enum class Origin { timer, dialog };

// The update cycle's own state, all of it; resetUpdateState puts it back.
struct CycleState {
  Origin sendOrigin = Origin::timer;
  // Whether boxes were silenced when the post in flight started: its
  // failure stays as silent as it would have been had the post ended at
  // once, even if the settings are confirmed before its outcome is taken.
  bool sendStartedSilenced = false;
  // The body of the last post the timer or a change started (FNV-1a), so a
  // change that leaves the post as it was sends nothing.
  uint64_t lastPostHash = 0;
  // What the settling post will answer: the start, or a change.
  SnapshotCause settling = SnapshotCause::change;
  // The cover to upload once the data post in flight is delivered, and
  // where; or, while uploading is set, the cover being uploaded.
  CoverPtr upload;
  std::string uploadUrl;
  bool uploading = false;
  // The newest settled state, while a post was in flight: it goes out as
  // that post ends.
  std::optional<PlayerSnapshot> waiting;
  // The change timer runs: a change has not settled yet.
  bool changePending = false;
  // The settled state waited TITLE_WAIT_MS once for its title.
  bool titleWaited = false;
};
CycleState cycle;

uint64_t hashOf(const char* text, size_t length) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) {
    hash ^= static_cast<unsigned char>(text[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

// Appends length bytes of text to out (capacity bytes, used of them taken,
// terminated), cut to fit; the new used.
size_t append(char* out, size_t capacity, size_t used, const char* text, size_t length) {
  const size_t n = std::min(length, capacity - 1 - used);
  std::memcpy(out + used, text, n);
  out[used + n] = '\0';
  return used + n;
}

size_t append(char* out, size_t capacity, size_t used, const char* text) {
  return append(out, capacity, used, text, std::strlen(text));
}

void setStatus(const char* state, const char* detail) {
  const platform::TimeOfDay now = platform::localTimeOfDay();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "Last update %02u:%02u:%02u: ", now.hour % 100u,
                now.minute % 100u, now.second % 100u);
  size_t used = append(updateStatus, sizeof updateStatus, 0, stamp);
  used = append(updateStatus, sizeof updateStatus, used, state);
  append(updateStatus, sizeof updateStatus, used, detail);
  if (updateStatusListener != nullptr) updateStatusListener(updateStatus);
}

// What failed, as a box and the status line tell it: the message, and the
// system's code when the failure carries one (a server's answer does not).
// words, when given, say in plain words what the code means, for the
// status line only.
struct Failure {
  const char* message;
  std::optional<uint32_t> code;
  const char* words = nullptr;
};

// A failure: the status line tells it; a post of the timer's shows it in a
// box once until the settings are next confirmed (the flag is raised before
// the box opens, so a confirmation made while it is open is not undone when
// it closes).
void fail(Origin origin, bool silenced, const Failure& failure) {
  char text[UPDATE_STATUS_SIZE];
  if (failure.code)
    formatFailure(text, sizeof text, failure.message, *failure.code);
  else
    std::snprintf(text, sizeof text, "%s", failure.message);
  if (failure.words != nullptr) {
    char line[UPDATE_STATUS_SIZE];
    size_t used = append(line, sizeof line, 0, failure.words);
    used = append(line, sizeof line, used, " (");
    used = append(line, sizeof line, used, text);
    append(line, sizeof line, used, ")");
    setStatus("failed: ", line);
  } else {
    setStatus("failed: ", text);
  }
  if (origin == Origin::dialog || silenced || errorShown) return;
  errorShown = true;
  showError(text);
}

// A URL's user name and password never reach a box or the status line.
void copyWithoutCredentials(const char* url, char* out, size_t capacity) {
  const char* from = url;
  const char* scheme = std::strstr(url, "://");
  if (scheme != nullptr) {
    const char* authority = scheme + 3;
    const char* end = authority + std::strcspn(authority, "/?#");
    for (const char* p = authority; p < end; ++p)
      if (*p == '@') from = p + 1;
    if (from != url) {
      const size_t used = append(out, capacity, 0, url, static_cast<size_t>(authority - url));
      append(out, capacity, used, from);
      return;
    }
  }
  append(out, capacity, 0, url);
}

// What became of a finished post: the status line, and for a failure of the
// timer's post its box.
void takeOutcome(const platform::PostOutcome& outcome) {
  using State = platform::PostOutcome::State;
  if (outcome.state == State::failed) {
    const char* words =
        outcome.untrustedCertificate ? "the server's certificate is not trusted" : nullptr;
    fail(cycle.sendOrigin, cycle.sendStartedSilenced,
         {"Cannot HttpSendRequestEx", outcome.error, words});
    return;
  }
  if (outcome.state != State::answered) return;
  // Status, reason and Location: room to spare in the status line.
  char answer[sizeof outcome.reason + sizeof outcome.location + 32];
  const int n = std::snprintf(answer, sizeof answer, "%u%s%s", outcome.status,
                              outcome.reason[0] != '\0' ? " " : "", outcome.reason);
  if (outcome.status >= 200 && outcome.status < 300) {
    char detail[UPDATE_STATUS_SIZE];
    std::snprintf(detail, sizeof detail, "(%s)", answer);
    setStatus("delivered ", detail);
    return;
  }
  if (outcome.status >= 300 && outcome.status < 400 && outcome.location[0] != '\0' && n > 0 &&
      static_cast<size_t>(n) < sizeof answer) {
    char location[sizeof outcome.location];
    copyWithoutCredentials(outcome.location, location, sizeof location);
    std::snprintf(answer + n, sizeof answer - static_cast<size_t>(n), " (Location: %s)", location);
  }
  char text[UPDATE_STATUS_SIZE];
  std::snprintf(text, sizeof text, "The server answered %s", answer);
  fail(cycle.sendOrigin, cycle.sendStartedSilenced, {text, std::nullopt});
}

void onOutcomeTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t);
void onChangeTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t);

// id3lib's number of the title frame.
constexpr int FRAME_TITLE = 47;

// Whether the player may still show a better title than the one it shows:
// it plays a file whose own tags hold a title, yet its title is no more
// than the file's name (with or without its extension) or empty, as a
// player shows before it has read those tags. A stop or a pause shows no
// new title, and a file without a title tag keeps its name for good.
bool titleMayStillCome(const PlayerSnapshot& snapshot) {
  if (snapshot.status != PLAYING || !snapshot.hasFile || !snapshot.frames) return false;
  const auto& frames = *snapshot.frames;
  const bool tagged = std::any_of(frames.begin(), frames.end(), [](const SnapshotFrame& frame) {
    return frame.number == FRAME_TITLE && !frame.text.empty();
  });
  if (!tagged) return false;
  const std::string& title = snapshot.titleUtf8;
  if (title.empty()) return true;
  const size_t slash = snapshot.fileName.find_last_of("/\\");
  const std::string name =
      slash == std::string::npos ? snapshot.fileName : snapshot.fileName.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return title == name || (dot != std::string::npos && dot > 0 && title == name.substr(0, dot));
}

// Whether the post (one of the rooms) goes anywhere.
bool canPost() { return urlSetting && urlSetting[0] != '\0' && enabledSetting != 0 && bodyBuffer; }

// Whether any room follows the player: the posts, the files for streamers,
// or a room plugin/ wires (roomsFollowHook).
bool followsPlayer() {
  if (!bodyBuffer) return false;
  return canPost() || !outputSettings.folder.empty() ||
         (roomsFollowHook != nullptr && roomsFollowHook());
}

// Whether some room shows the cover: the posts (SendCover) or the files.
bool coversWanted() { return (canPost() && sendCoverSetting) || !outputSettings.folder.empty(); }

// The one read of the player for every room: its state, and the track's
// cover where a room shows one. None when it cannot be held.
std::optional<PlayerSnapshot> readSnapshot(platform::WindowHandle window) {
  std::optional<PlayerSnapshot> snapshot = readPlayer(window);
  if (snapshot && coversWanted()) attachCover(window, *snapshot, noteChange);
  return snapshot;
}

// Every room but the post gets the snapshot here; each keeps its own pace.
void handOut(const PlayerSnapshot& snapshot, SnapshotCause cause) {
  if (snapshotHook != nullptr) snapshotHook(snapshot, cause);
}

// Whether a post started; when it did not, why, as a failure of origin's
// (except when the sender is still busy with a post it gave up on: that is
// no failure of this update).
bool announceStart(Origin origin, const platform::PostStartResult& started) {
  const auto report = [origin](const char* message, uint32_t code) {
    fail(origin, false, {message, code});
  };
  switch (started.stage) {
    case platform::PostStart::started:
      cycle.sendOrigin = origin;
      cycle.sendStartedSilenced = errorShown;
      return true;
    case platform::PostStart::open:
      report("Cannot InternetOpen", started.error);
      break;
    case platform::PostStart::connect:
      report("Cannot InternetConnect", started.error);
      break;
    case platform::PostStart::request:
      report("Cannot HttpOpenRequest", started.error);
      break;
    case platform::PostStart::send:
      if (started.error != platform::SEND_BUSY) report("Cannot HttpSendRequestEx", started.error);
      break;
  }
  return false;
}

// ---- The cover (SendCover) ----------------------------------------------------
// A data post names the cover of its track once its lookup has ended; a
// cover the URL has not settled is uploaded right after that data post is
// delivered, as a post of its own with the same outcome handling. An
// upload the URL takes (2xx) or refuses (4xx) is not made again this run.

// The snapshot's cover when the setting is on, and its fields.
CoverPtr postedCover(const PlayerSnapshot& snapshot, std::string* fields) {
  if (!sendCoverSetting || !snapshot.cover) return nullptr;
  *fields = coverFields(snapshot.cover->sha1, snapshot.cover->mimeType);
  return snapshot.cover;
}

// A data post to url that named cover has started: the upload follows it
// when owed.
void oweCoverUpload(const char* url, const CoverPtr& cover) {
  cycle.uploading = false;
  cycle.upload = cover && coverUploadOwed(url, *cover) ? cover : nullptr;
  if (cycle.upload) cycle.uploadUrl = url;
}

// After a post's outcome: the upload that follows a delivered data post;
// true when it started (and is now the post in flight).
bool uploadCoverAfter(const platform::PostOutcome& outcome) {
  using State = platform::PostOutcome::State;
  if (outcome.state == State::none || outcome.state == State::running) return false;
  const bool answered = outcome.state == State::answered;
  const bool delivered = answered && outcome.status >= 200 && outcome.status < 300;
  const CoverPtr cover = std::move(cycle.upload);
  cycle.upload = nullptr;
  if (!cover) return false;
  if (cycle.uploading) {
    cycle.uploading = false;
    if (delivered || (answered && outcome.status >= 400 && outcome.status < 500))
      noteCoverSettled(cycle.uploadUrl.c_str(), *cover);
    return false;
  }
  Destination destination;
  uint32_t error = 0;
  if (!delivered || !splitDestination(cycle.uploadUrl.c_str(), &destination, &error)) return false;
  const CoverUpload upload =
      makeCoverUpload(cover->bytes, cover->mimeType, cover->sha1, destination.hostToken);
  const Origin origin = cycle.sendOrigin;
  if (!announceStart(origin,
                     startPostWithHeaders(destination, upload.headers.data(), upload.headers.size(),
                                          upload.body.data(), upload.body.size())))
    return false;
  cycle.upload = cover;
  cycle.uploading = true;
  platform::setTimer(hostWindow, OUTCOME_TIMER_ID, OUTCOME_BOUND_MS, onOutcomeTimer);
  return true;
}

// ---- The post ----------------------------------------------------------------

// The snapshot posted to url, with the sender idle. onlyWhenChanged:
// nothing is sent when the body is the last one's. True when a post
// started.
bool postSnapshot(platform::WindowHandle window, const char* url, Origin origin,
                  const PlayerSnapshot& snapshot, bool onlyWhenChanged) {
  Destination destination;
  uint32_t error = 0;
  if (!splitDestination(url, &destination, &error)) {
    fail(origin, false, {"Invalid URL", error});
    return false;
  }
  // The cover's fields always fit: the tags give way to them.
  std::string fields;
  const CoverPtr cover = postedCover(snapshot, &fields);
  const size_t reserve = fields.size();
  size_t bodyLength = writeBody(snapshot, bodyBuffer.get(), BODY_BUFFER_SIZE - reserve);
  if (cover) {
    // A body that ends with its empty tag fragment's "&" takes the fields
    // without their own.
    const size_t skip = bodyLength > 0 && bodyBuffer[bodyLength - 1] == '&' ? 1 : 0;
    bodyLength = append(bodyBuffer.get(), BODY_BUFFER_SIZE, bodyLength, fields.data() + skip,
                        fields.size() - skip);
  }
  const uint64_t hash = hashOf(bodyBuffer.get(), bodyLength);
  if (onlyWhenChanged && hash == cycle.lastPostHash) return false;

  // Hand the post to the sender thread; its outcome is taken later. A post
  // that cannot even start is reported now, except when the sender is still
  // busy with one it gave up on: that is no failure of this update.
  const std::optional<platform::PostStartResult> started =
      startPost(destination, bodyBuffer.get(), bodyLength);
  if (!started) return false;
  if (!announceStart(origin, *started)) return false;
  if (origin == Origin::timer) cycle.lastPostHash = hash;
  // The backend tells when the post ends (onPostEnded), and the status
  // line (and any box) tell its outcome then; this looks once the
  // backend's bounds have passed, for a post given up unended.
  platform::setTimer(window, OUTCOME_TIMER_ID, OUTCOME_BOUND_MS, onOutcomeTimer);
  oweCoverUpload(url, cover);
  return true;
}

// Takes the last post's outcome, if it has come (its status line, and for a
// failure of the timer's post its box); true while that post still runs.
bool postStillRunning() {
  const platform::PostOutcome outcome = platform::httpPostOutcome();
  takeOutcome(outcome);
  return outcome.state == platform::PostOutcome::State::running || uploadCoverAfter(outcome);
}

// Takes the last post's outcome if it has ended, and then needs the bound no
// more; false while it still runs.
bool postEnded(platform::WindowHandle window) {
  if (postStillRunning()) return false;
  platform::killTimer(window, OUTCOME_TIMER_ID);
  return true;
}

// The post's share of a settled change: it goes out now unless it is what
// the last post carried; while a post is in flight it waits, the newest
// settled state only, for that post to end, so nothing older ever arrives
// after something newer. The keep-alive starts its period again from this
// post.
void postChange(platform::WindowHandle window, const PlayerSnapshot& snapshot) {
  if (!canPost()) return;
  if (!postEnded(window)) {
    try {
      cycle.waiting = snapshot;
    } catch (const std::bad_alloc&) {
      cycle.waiting.reset();
    }
    return;
  }
  cycle.waiting.reset();
  if (postSnapshot(window, urlSetting.get(), Origin::timer, snapshot, true)) armUpdateTimer();
}

// With updateInProgress held: the outcome, if the post has ended, and then
// the settled state that waited for it.
void lookForOutcome(platform::WindowHandle window) {
  if (!postEnded(window) || !cycle.waiting) return;
  const PlayerSnapshot waiting = std::move(*cycle.waiting);
  cycle.waiting.reset();
  if (canPost() && postSnapshot(window, urlSetting.get(), Origin::timer, waiting, true))
    armUpdateTimer();
}

void onOutcomeTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  if (updateInProgress) return;  // fires again
  updateInProgress = true;
  lookForOutcome(window);
  updateInProgress = false;
}

// The backend tells that a post has ended: its outcome is taken at once,
// or, inside another cycle (a box it opened runs this loop), just after.
void onPostEnded() {
  if (hostWindow == nullptr) return;
  if (updateInProgress) {
    platform::setTimer(hostWindow, OUTCOME_TIMER_ID, BUSY_RETRY_MS, onOutcomeTimer);
    return;
  }
  updateInProgress = true;
  lookForOutcome(hostWindow);
  updateInProgress = false;
}

// ---- The reader --------------------------------------------------------------

// A change has settled: read the player once and hand the snapshot to every
// room, unless the title the player shows is about to become a better one
// (then once more after TITLE_WAIT_MS).
void settle(platform::WindowHandle window) {
  cycle.changePending = false;
  const std::optional<PlayerSnapshot> snapshot = readSnapshot(window);
  if (!snapshot) return;
  if (!cycle.titleWaited && titleMayStillCome(*snapshot)) {
    cycle.titleWaited = true;
    cycle.changePending = true;
    platform::setTimer(window, CHANGE_TIMER_ID, TITLE_WAIT_MS, onChangeTimer);
    return;
  }
  handOut(*snapshot, cycle.settling);
  postChange(window, *snapshot);
}

// The settling time after the last change has passed.
void onChangeTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  if (updateInProgress) return;  // fires again
  updateInProgress = true;
  platform::killTimer(window, CHANGE_TIMER_ID);
  settle(window);
  updateInProgress = false;
}

// What the player tells its window: a change starts (or starts again) the
// settling time.
void onPlayerMessage(uintptr_t wParam, intptr_t code) {
  const bool change =
      code == NOTIFY_NEW_FILE || code == NOTIFY_NEW_FILE_WIDE ||
      (code == NOTIFY_CHANGED && (wParam == TITLE_CHANGED || wParam == STATUS_CHANGED));
  if (change) noteChange();
}

}  // namespace

void noteChange() {
  cycle.settling = SnapshotCause::change;
  cycle.titleWaited = false;
  if (hostWindow == nullptr || !followsPlayer()) return;
  cycle.changePending = true;
  platform::setTimer(hostWindow, CHANGE_TIMER_ID, SETTLE_MS, onChangeTimer);
}

void startWatchingPlayer() {
  platform::watchWindow(hostWindow, onPlayerMessage);
  platform::notifyPostEnded(hostWindow, onPostEnded);
  // Whatever plays now goes out at once, not one interval later.
  noteChange();
  cycle.settling = SnapshotCause::start;
}

void stopWatchingPlayer() {
  // A change not settled yet (a stop just before the quit) still reaches
  // every room, and the post when the sender is free: its send outlives the
  // module's quit on the sender's thread.
  if (cycle.changePending && !updateInProgress && hostWindow != nullptr) {
    updateInProgress = true;
    cycle.titleWaited = true;
    settle(hostWindow);
    updateInProgress = false;
  }
  cycle.waiting.reset();
  cycle.changePending = false;
  platform::notifyPostEnded(hostWindow, nullptr);
  platform::unwatchWindow(hostWindow, onPlayerMessage);
  platform::killTimer(hostWindow, CHANGE_TIMER_ID);
  platform::killTimer(hostWindow, OUTCOME_TIMER_ID);
  stopCoverLookup(hostWindow);
}

void onUpdateTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  if (updateInProgress) return;
  // A tick nested in a box's loop is dropped like any tick that arrives
  // during a cycle.
  if (!followsPlayer()) return;
  updateInProgress = true;
  // The previous post's outcome is taken first. While it still runs this
  // tick posts nothing and waits for nothing (that post reports its own
  // outcome), but every other room still gets the tick's snapshot.
  const bool idle = !canPost() || postEnded(window);
  const std::optional<PlayerSnapshot> snapshot = readSnapshot(window);
  if (snapshot) {
    handOut(*snapshot, SnapshotCause::tick);
    if (idle && canPost()) {
      cycle.waiting.reset();
      postSnapshot(window, urlSetting.get(), Origin::timer, *snapshot, false);
    }
  }
  updateInProgress = false;
}

void sendStatusUpdate(platform::WindowHandle window) {
  const std::optional<PlayerSnapshot> snapshot = readSnapshot(window);
  if (!snapshot) return;
  handOut(*snapshot, SnapshotCause::tick);
  postSnapshot(window, urlSetting.get(), Origin::timer, *snapshot, false);
}

bool sendStatusNow(platform::WindowHandle window, const char* url) {
  if (updateInProgress || !bodyBuffer) return false;
  updateInProgress = true;
  // An outcome still waiting is the timer's: it is taken as a tick would.
  const bool idle = postEnded(window);
  if (idle) {
    const std::optional<PlayerSnapshot> snapshot = readSnapshot(window);
    if (snapshot) {
      handOut(*snapshot, SnapshotCause::sendNow);
      postSnapshot(window, url, Origin::dialog, *snapshot, false);
    }
  }
  updateInProgress = false;
  return idle;
}

void armUpdateTimer() {
  platform::killTimer(hostWindow, UPDATE_TIMER_ID);
  platform::setTimer(hostWindow, UPDATE_TIMER_ID, updateTimerPeriod(intervalSetting),
                     onUpdateTimer);
}

void resetUpdateState() {
  cycle = {};
  resetCoverState();
}
