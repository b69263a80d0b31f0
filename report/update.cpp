// One status update per timer tick: split the URL, ask the player what is
// playing, write the form body and hand the post to the backend's sender
// thread. The player's thread never waits for the network; the post's
// outcome (the server's answer, or why there was none) is taken at the next
// tick.
#include "report/update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "base/boxes.h"
#include "base/buffer.h"
#include "base/player.h"
#include "base/settings.h"
#include "base/state.h"
#include "report/form_body.h"
#include "report/title.h"
#include "tags/tag_fields.h"

namespace {

constexpr const char* AGENT = "Trellicast";
constexpr const char* HEADER_FORMAT =
    "Content-Type: application/x-www-form-urlencoded\nHost: %s\nContent-Length: %ld\n";
constexpr size_t HEADER_BLOCK_SIZE = 1024;
// The header block keeps 72 fixed characters, the body length (at most four
// digits, the body never reaching 8192 bytes) and a terminator: this is what
// is left for the host token.
constexpr size_t HOST_TOKEN_MAX = 947;
// Every component of a URL is at most this long.
constexpr size_t PIECE_SIZE = URL_MAX_CHARS + 1;
// How often the settings dialog's "Send now" looks for its outcome.
constexpr uint32_t OUTCOME_POLL_MS = 100;
// Changes closer together than this make one post, of the last state: a
// title that lives shorter never goes out.
constexpr uint32_t SETTLE_MS = 250;
// How often a change post that found a post in flight looks again.
constexpr uint32_t BUSY_RETRY_MS = 50;

// Host messages (WM_USER codes): base/player.h.

// Who started the post in flight: its failure is a box (once) for the
// timer, a status line alone for the dialog.
enum class Origin { timer, dialog };
Origin sendOrigin = Origin::timer;
// Whether boxes were silenced when the post in flight started: its failure
// stays as silent as it would have been had the post ended at once, even if
// the settings are confirmed before its outcome is taken.
bool sendStartedSilenced = false;

// The body of the last post the timer or a change started (FNV-1a), so a
// change that leaves the post as it was sends nothing.
uint64_t lastPostHash = 0;

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

// A failure: the status line tells it; a post of the timer's shows it in a
// box once until the settings are next confirmed (the flag is raised before
// the box opens, so a confirmation made while it is open is not undone when
// it closes). withCode adds the last system error code as every system
// failure's box does ("Cannot InternetOpen: (errcode=12029)"); a server's
// answer is shown as it is.
void fail(Origin origin, bool silenced, const char* message, bool withCode) {
  // Read the code first: nothing below may disturb it.
  const uint32_t code = platform::lastError();
  char text[UPDATE_STATUS_SIZE];
  if (withCode)
    std::snprintf(text, sizeof text, "%s: (errcode=%u)", message, static_cast<unsigned>(code));
  else
    std::snprintf(text, sizeof text, "%s", message);
  setStatus("failed: ", text);
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
    fail(sendOrigin, sendStartedSilenced, "Cannot HttpSendRequestEx", true);
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
  fail(sendOrigin, sendStartedSilenced, text, false);
}

void copySpan(char* out, const char* text, size_t length) {
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// The Host header's value: the URL's host (with its brackets when it is an
// IPv6 literal) and, when the URL names one, ":port"; nothing after the
// authority. False when it would not fit the header block.
bool makeHostToken(const char* url, const platform::UrlComponents& parts, char* token) {
  const char* start = parts.host.text;
  if (start > url && start[-1] == '[') --start;
  const char* end = parts.host.text + parts.host.length;
  while (*end != '\0' && *end != '/' && *end != '?' && *end != '#') ++end;
  const size_t length = static_cast<size_t>(end - start);
  if (length > HOST_TOKEN_MAX) return false;
  copySpan(token, start, length);
  return true;
}

// Path and query, never the fragment; "/" stands for an empty path.
void makeTarget(const platform::UrlComponents& parts, char* target) {
  size_t n = 0;
  if (parts.path.length == 0) {
    target[n++] = '/';
  } else {
    std::memcpy(target, parts.path.text, parts.path.length);
    n = parts.path.length;
  }
  for (size_t i = 0; i < parts.extra.length && parts.extra.text[i] != '#'; ++i)
    target[n++] = parts.extra.text[i];
  target[n] = '\0';
}

void onOutcomePoll(platform::WindowHandle window, unsigned, uintptr_t, uint32_t);

// One update to url: split it, ask the player, write the body, start the
// post. onlyWhenChanged: nothing is sent when the body is the last one's.
// True when a post started.
bool postStatus(platform::WindowHandle window, const char* url, Origin origin,
                bool onlyWhenChanged = false) {
  const auto report = [origin](const char* message) { fail(origin, false, message, true); };

  // Split the URL.
  platform::UrlComponents parts{};
  if (!platform::crackUrl(url, std::strlen(url), &parts)) {
    report("Invalid URL");
    return false;
  }

  // The Host header's token, and the pieces the post is made of.
  char hostToken[HOST_TOKEN_MAX + 1];
  if (!makeHostToken(url, parts, hostToken)) {
    report("Invalid URL");
    return false;
  }
  char host[PIECE_SIZE];
  char user[PIECE_SIZE];
  char password[PIECE_SIZE];
  char target[PIECE_SIZE + 1];
  copySpan(host, parts.host.text, parts.host.length);
  copySpan(user, parts.user.text, parts.user.length);
  copySpan(password, parts.password.text, parts.password.length);
  makeTarget(parts, target);
  const bool hasUser = parts.user.length > 0;

  // Ask the player what is playing.
  const intptr_t status = platform::sendUserMessage(window, 0, GET_STATUS);
  const intptr_t position = platform::sendUserMessage(window, 0, GET_LIST_POSITION);
  Buffer convertedTitle;
  const char* title = entryTitle(window, position, convertedTitle);

  // The form body's action, status and title (a missing title is sent as
  // the empty text), written before the player is asked anything more.
  size_t bodyLength =
      writeFormBody(bodyBuffer.get(), BODY_BUFFER_SIZE, static_cast<long>(status), title);
  convertedTitle.reset();

  // The tag fragment of the entry's file, when the player names one (the
  // wide name first, so that names outside the code page open too).
  std::optional<TagPairs> pairs;
  const intptr_t wideName =
      platform::sendUserMessage(window, static_cast<uintptr_t>(position), GET_FILE_NAME_WIDE);
  if (wideName != 0 && wideName != 1) {
    pairs = collectTagFieldsWide(reinterpret_cast<const uint16_t*>(wideName));
  } else {
    const auto* fileName = reinterpret_cast<const char*>(
        platform::sendUserMessage(window, static_cast<uintptr_t>(position), GET_FILE_NAME));
    if (fileName != nullptr) pairs = collectTagFields(fileName);
  }
  if (pairs) bodyLength = appendTagFragment(bodyBuffer.get(), BODY_BUFFER_SIZE, bodyLength, *pairs);
  pairs.reset();

  // The added headers: content type, Host and the body's length.
  const Buffer headers = allocZeroed(HEADER_BLOCK_SIZE);
  if (!headers) return false;
  const int headersLength = std::snprintf(headers.get(), HEADER_BLOCK_SIZE, HEADER_FORMAT,
                                          hostToken, static_cast<long>(bodyLength));
  if (headersLength < 0 || static_cast<size_t>(headersLength) >= HEADER_BLOCK_SIZE) return false;

  const uint64_t hash = hashOf(bodyBuffer.get(), bodyLength);
  if (onlyWhenChanged && hash == lastPostHash) return false;

  // Hand the post to the sender thread; its outcome is taken later. A post
  // that cannot even start is reported now, except when the sender is still
  // busy with one it gave up on: that is no failure of this update.
  const platform::HttpPost post = {AGENT,
                                   host,
                                   parts.port,
                                   parts.secure,
                                   hasUser ? user : nullptr,
                                   hasUser ? password : nullptr,
                                   target,
                                   headers.get(),
                                   static_cast<uint32_t>(headersLength),
                                   bodyBuffer.get(),
                                   static_cast<uint32_t>(bodyLength)};
  switch (platform::httpPost(post)) {
    case platform::PostStart::started:
      sendOrigin = origin;
      sendStartedSilenced = errorShown;
      if (origin == Origin::timer) lastPostHash = hash;
      // The outcome is taken as soon as it comes, for the status line (and
      // any box) to tell it then; a tick that comes first takes it too.
      platform::setTimer(window, OUTCOME_TIMER_ID, OUTCOME_POLL_MS, onOutcomePoll);
      return true;
    case platform::PostStart::open:
      report("Cannot InternetOpen");
      break;
    case platform::PostStart::connect:
      report("Cannot InternetConnect");
      break;
    case platform::PostStart::request:
      report("Cannot HttpOpenRequest");
      break;
    case platform::PostStart::send:
      if (platform::lastError() != platform::SEND_BUSY) report("Cannot HttpSendRequestEx");
      break;
  }
  return false;
}

// Takes the last post's outcome, if it has come (its status line, and for a
// failure of the timer's post its box); true while that post still runs.
bool postStillRunning() {
  const platform::PostOutcome outcome = platform::httpPostOutcome();
  takeOutcome(outcome);
  return outcome.state == platform::PostOutcome::State::running;
}

void onOutcomePoll(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  if (updateInProgress) return;
  updateInProgress = true;
  if (!postStillRunning()) platform::killTimer(window, OUTCOME_TIMER_ID);
  updateInProgress = false;
}

bool canPost() { return urlSetting && urlSetting[0] != '\0' && enabledSetting != 0 && bodyBuffer; }

// The settling time after the last change has passed: post what the player
// plays now, unless a post is in flight (then look again shortly, so the
// change goes out as soon as that post ends). The keep-alive starts its
// period again from this post.
void onChangeTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  if (updateInProgress) return;  // fires again
  updateInProgress = true;
  if (postStillRunning()) {
    platform::setTimer(window, CHANGE_TIMER_ID, BUSY_RETRY_MS, onChangeTimer);
  } else {
    platform::killTimer(window, CHANGE_TIMER_ID);
    if (canPost() && postStatus(window, urlSetting.get(), Origin::timer, true)) armUpdateTimer();
  }
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
  if (hostWindow == nullptr || !canPost()) return;
  platform::setTimer(hostWindow, CHANGE_TIMER_ID, SETTLE_MS, onChangeTimer);
}

void startWatchingPlayer() {
  platform::watchWindow(hostWindow, onPlayerMessage);
  // Whatever plays now goes out at once, not one interval later.
  noteChange();
}

void stopWatchingPlayer() {
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
  // for nothing: that post reports its own outcome.
  if (!postStillRunning() && canPost()) sendStatusUpdate(window);
  updateInProgress = false;
}

void sendStatusUpdate(platform::WindowHandle window) {
  postStatus(window, urlSetting.get(), Origin::timer);
}

bool sendStatusNow(platform::WindowHandle window, const char* url) {
  if (updateInProgress || !bodyBuffer) return false;
  updateInProgress = true;
  // An outcome still waiting is the timer's: it is taken as a tick would.
  const bool idle = !postStillRunning();
  if (idle) postStatus(window, url, Origin::dialog);
  updateInProgress = false;
  return idle;
}

void armUpdateTimer() {
  platform::killTimer(hostWindow, UPDATE_TIMER_ID);
  platform::setTimer(hostWindow, UPDATE_TIMER_ID, updateTimerPeriod(intervalSetting),
                     onUpdateTimer);
}

void resetUpdateState() {
  sendOrigin = Origin::timer;
  sendStartedSilenced = false;
  lastPostHash = 0;
}
