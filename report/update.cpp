// One status update per change, timer tick or "Send now", in three steps:
// read the player into a snapshot (report/snapshot.h), write the form body
// from the snapshot (report/form_body.h), send it (report/post.h) on the
// backend's sender thread. The player's thread never waits for the network;
// the backend tells it when the post ends, and the post's outcome (the
// server's answer, or why there was none) is taken then.
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
#include "report/cover_post.h"
#include "report/cover_step.h"
#include "report/form_body.h"
#include "report/post.h"
#include "report/snapshot.h"

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
// A settled state whose title is only its file's name (a player that has
// not read the tags yet, as mpv has not for a moment after it opens a file)
// waits this much longer once, for the title to come.
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
  // A change settled while a post was in flight: it goes out as that post
  // ends.
  bool changeWaiting = false;
  // The settled state had no title of its own yet and waits TITLE_WAIT_MS.
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

// Whether the snapshot's title is no more than its file's name, with or
// without its extension, or empty while it names a file.
bool titleIsFileName(const PlayerSnapshot& snapshot) {
  if (!snapshot.hasFile) return false;
  const std::string& title = snapshot.titleUtf8;
  if (title.empty()) return true;
  const size_t slash = snapshot.fileName.find_last_of("/\\");
  const std::string name =
      slash == std::string::npos ? snapshot.fileName : snapshot.fileName.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return title == name || (dot != std::string::npos && dot > 0 && title == name.substr(0, dot));
}

void onChangeTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t);

// Every time the cycle has read the player.
void snapshotTaken(const PlayerSnapshot& snapshot, SnapshotCause cause) {
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
// cover not yet delivered to the URL is uploaded right after that data post
// is delivered, as a post of its own with the same outcome handling.

// The cover fields appended to body (of length *length) when the setting
// is on and the track's cover is known and fits; the cover, or none.
CoverPtr appendCover(platform::WindowHandle window, const PlayerSnapshot& snapshot, char* body,
                     size_t* length) {
  if (!sendCoverSetting) return nullptr;
  CoverPtr cover = knownCover(window, snapshot, noteChange);
  if (!cover) return nullptr;
  // A body that ends with its empty tag fragment's "&" takes the fields
  // without their own.
  const std::string fields = coverFields(cover->sha1, cover->mimeType);
  const size_t skip = *length > 0 && body[*length - 1] == '&' ? 1 : 0;
  if (*length + fields.size() - skip >= BODY_BUFFER_SIZE) return nullptr;
  *length = append(body, BODY_BUFFER_SIZE, *length, fields.data() + skip, fields.size() - skip);
  return cover;
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
  const bool delivered =
      outcome.state == State::answered && outcome.status >= 200 && outcome.status < 300;
  const CoverPtr cover = std::move(cycle.upload);
  cycle.upload = nullptr;
  if (!cover) return false;
  if (cycle.uploading) {
    cycle.uploading = false;
    if (delivered) noteCoverDelivered(cycle.uploadUrl.c_str(), *cover);
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

// One update to url: read the player, write the body from what it said,
// send it. onlyWhenChanged: nothing is sent when the body is the last
// one's. True when a post started.
bool postStatus(platform::WindowHandle window, const char* url, Origin origin, SnapshotCause cause,
                bool onlyWhenChanged = false) {
  // Where it goes: a URL no post can go to asks the player nothing.
  Destination destination;
  uint32_t error = 0;
  if (!splitDestination(url, &destination, &error)) {
    fail(origin, false, {"Invalid URL", error});
    return false;
  }

  const std::optional<PlayerSnapshot> snapshot = readPlayer(window);
  if (!snapshot) return false;
  // A settled change whose title is still its file's name waits once more.
  if (onlyWhenChanged && !cycle.titleWaited && titleIsFileName(*snapshot)) {
    cycle.titleWaited = true;
    platform::setTimer(window, CHANGE_TIMER_ID, TITLE_WAIT_MS, onChangeTimer);
    return false;
  }
  snapshotTaken(*snapshot, cause);

  size_t bodyLength = writeBody(*snapshot, bodyBuffer.get(), BODY_BUFFER_SIZE);
  const CoverPtr cover = appendCover(window, *snapshot, bodyBuffer.get(), &bodyLength);
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

bool canPost() { return urlSetting && urlSetting[0] != '\0' && enabledSetting != 0 && bodyBuffer; }

// Whether anything follows the player: the posts, or the files for
// streamers alone (an output folder without a URL, or with sending off).
bool followsPlayer() { return canPost() || (bodyBuffer && !outputSettings.folder.empty()); }

// No post to send, but the files follow the player: read it and hand the
// snapshot on. A settled change whose title is still its file's name waits
// once more, as a post's would.
void readWithoutPosting(platform::WindowHandle window, SnapshotCause cause) {
  const std::optional<PlayerSnapshot> snapshot = readPlayer(window);
  if (!snapshot) return;
  if (cause == SnapshotCause::change && !cycle.titleWaited && titleIsFileName(*snapshot)) {
    cycle.titleWaited = true;
    platform::setTimer(window, CHANGE_TIMER_ID, TITLE_WAIT_MS, onChangeTimer);
    return;
  }
  snapshotTaken(*snapshot, cause);
}

// Takes the last post's outcome if it has ended, and then needs the bound no
// more; false while it still runs.
bool postEnded(platform::WindowHandle window) {
  if (postStillRunning()) return false;
  platform::killTimer(window, OUTCOME_TIMER_ID);
  return true;
}

// The settled change goes out now, unless the player plays what the last
// post carried. The keep-alive starts its period again from this post.
void postChange(platform::WindowHandle window) {
  cycle.changeWaiting = false;
  if (!canPost()) {
    if (followsPlayer()) readWithoutPosting(window, cycle.settling);
    return;
  }
  if (postStatus(window, urlSetting.get(), Origin::timer, cycle.settling, true)) armUpdateTimer();
}

// With updateInProgress held: the outcome, if the post has ended, and then
// the change that waited for it.
void lookForOutcome(platform::WindowHandle window) {
  if (postEnded(window) && cycle.changeWaiting) postChange(window);
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

// The settling time after the last change has passed: post what the player
// plays now, or, while a post is in flight, as soon as that post ends, so
// nothing newer arrives before something older.
void onChangeTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  if (updateInProgress) return;  // fires again
  updateInProgress = true;
  platform::killTimer(window, CHANGE_TIMER_ID);
  if (postEnded(window))
    postChange(window);
  else
    cycle.changeWaiting = true;
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
  platform::notifyPostEnded(hostWindow, nullptr);
  platform::unwatchWindow(hostWindow, onPlayerMessage);
  platform::killTimer(hostWindow, CHANGE_TIMER_ID);
  platform::killTimer(hostWindow, OUTCOME_TIMER_ID);
}

void onUpdateTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  if (updateInProgress) return;
  // The previous tick's post ran on the sender thread; its outcome is taken
  // here first. A tick nested in a box's loop is dropped like any tick that
  // arrives during a cycle.
  updateInProgress = true;
  // While the previous post still runs this tick sends nothing and waits
  // for nothing: that post reports its own outcome. A change waiting for it
  // goes out with this post.
  if (postEnded(window) && canPost()) {
    cycle.changeWaiting = false;
    sendStatusUpdate(window);
  } else if (!canPost() && followsPlayer()) {
    readWithoutPosting(window, SnapshotCause::tick);
  }
  updateInProgress = false;
}

void sendStatusUpdate(platform::WindowHandle window) {
  postStatus(window, urlSetting.get(), Origin::timer, SnapshotCause::tick);
}

bool sendStatusNow(platform::WindowHandle window, const char* url) {
  if (updateInProgress || !bodyBuffer) return false;
  updateInProgress = true;
  // An outcome still waiting is the timer's: it is taken as a tick would.
  const bool idle = postEnded(window);
  if (idle) postStatus(window, url, Origin::dialog, SnapshotCause::sendNow);
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
