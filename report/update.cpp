// One status update per timer tick: split the URL, open the three HTTP
// handles, ask the player what is playing, write the form body and start
// the post on the backend's sender thread. The player's thread never waits
// for the network; the post's outcome is taken at the next tick.
#include "report/update.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "report/form_body.h"
#include "report/title.h"
#include "shell/boxes.h"
#include "shell/buffer.h"
#include "shell/player.h"
#include "shell/state.h"
#include "tags/tag_fields.h"

namespace {

constexpr const char* kAgent = "Trellicast";
constexpr const char* kMethod = "POST";
constexpr const char* kHeaderFormat =
    "Content-Type: application/x-www-form-urlencoded\nHost: %s\nContent-Length: %ld\n";
constexpr size_t kHeaderBlockSize = 1024;
// The header block keeps 72 fixed characters, the body length (at most four
// digits, the body never reaching 8192 bytes) and a terminator: this is what
// is left for the host token.
constexpr size_t kHostTokenMax = 947;
// Every component of urlSetting is at most this long.
constexpr size_t kPieceSize = URL_MAX_CHARS + 1;

// Host messages (WM_USER codes): shell/player.h.

struct NetCloser {
  void operator()(void* handle) const { platform::internetClose(handle); }
};
using NetOwner = std::unique_ptr<void, NetCloser>;

// Network and URL failures show one box until the settings are next
// confirmed. The flag is raised before the box opens, so a confirmation made
// while it is open is not undone when it closes.
void reportOnce(const char* message) {
  if (errorShown) return;
  errorShown = true;
  reportError(message);
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
  if (length > kHostTokenMax) return false;
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

// Whether boxes were silenced when the send in flight started: its failure
// stays as silent as it would have been had the send ended at once, even if
// the settings are confirmed before its outcome is taken.
bool sendStartedSilenced = false;

}  // namespace

void onUpdateTimer(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  if (updateInProgress) return;
  // The previous tick's send ran on the sender thread; its outcome is taken
  // here first, and a failure goes through the same report-once path as
  // every other (the last error is that send's code). A tick nested in the
  // box's loop is dropped like any tick that arrives during a cycle.
  updateInProgress = true;
  const platform::SendOutcome previous = platform::httpSendOutcome();
  if (previous == platform::SendOutcome::failed && !sendStartedSilenced) {
    reportOnce("Cannot HttpSendRequestEx");
  }
  // While the previous send still runs this tick sends nothing and waits
  // for nothing: that send reports its own outcome.
  if (previous != platform::SendOutcome::running && urlSetting && urlSetting[0] != '\0' &&
      enabledSetting != 0 && bodyBuffer) {
    sendStatusUpdate(window);
  }
  updateInProgress = false;
}

void sendStatusUpdate(platform::WindowHandle window) {
  const char* url = urlSetting.get();

  // Split the URL.
  platform::UrlComponents parts{};
  if (!platform::crackUrl(url, std::strlen(url), &parts)) {
    reportOnce("Invalid URL");
    return;
  }

  // The Host header's token, and the pieces the handles take.
  char hostToken[kHostTokenMax + 1];
  if (!makeHostToken(url, parts, hostToken)) {
    reportOnce("Invalid URL");
    return;
  }
  char host[kPieceSize];
  char user[kPieceSize];
  char password[kPieceSize];
  char target[kPieceSize + 1];
  copySpan(host, parts.host.text, parts.host.length);
  copySpan(user, parts.user.text, parts.user.length);
  copySpan(password, parts.password.text, parts.password.length);
  makeTarget(parts, target);
  const bool hasUser = parts.user.length > 0;

  // Open the handles: session, connection to the host name alone, request.
  NetOwner session(platform::internetOpen(kAgent));
  if (!session) {
    reportOnce("Cannot InternetOpen");
    return;
  }
  NetOwner connection(platform::internetConnect(
      session.get(), host, parts.port, hasUser ? user : nullptr, hasUser ? password : nullptr));
  if (!connection) {
    reportOnce("Cannot InternetConnect");
    return;
  }
  NetOwner request(platform::httpOpenRequest(connection.get(), kMethod, target, parts.secure));
  if (!request) {
    reportOnce("Cannot HttpOpenRequest");
    return;
  }

  // Ask the player what is playing.
  const intptr_t status = platform::sendUserMessage(window, 0, kGetStatus);
  const intptr_t position = platform::sendUserMessage(window, 0, kGetListPosition);
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
      platform::sendUserMessage(window, static_cast<uintptr_t>(position), kGetFileNameWide);
  if (wideName != 0 && wideName != 1) {
    pairs = collectTagFieldsWide(reinterpret_cast<const uint16_t*>(wideName));
  } else {
    const auto* fileName = reinterpret_cast<const char*>(
        platform::sendUserMessage(window, static_cast<uintptr_t>(position), kGetFileName));
    if (fileName != nullptr) pairs = collectTagFields(fileName);
  }
  if (pairs) bodyLength = appendTagFragment(bodyBuffer.get(), BODY_BUFFER_SIZE, bodyLength, *pairs);
  pairs.reset();

  // The added headers: content type, Host and the body's length.
  const Buffer headers = allocZeroed(kHeaderBlockSize);
  if (!headers) return;
  const int headersLength = std::snprintf(headers.get(), kHeaderBlockSize, kHeaderFormat, hostToken,
                                          static_cast<long>(bodyLength));
  if (headersLength < 0 || static_cast<size_t>(headersLength) >= kHeaderBlockSize) return;

  // Start the send on the sender thread; its outcome is taken at the
  // next tick. A send that cannot even start is reported now, except when
  // the sender is still busy with one it gave up on: that is no failure of
  // this cycle. The answer is not used.
  if (platform::httpSendRequest(request.get(), headers.get(), static_cast<uint32_t>(headersLength),
                                bodyBuffer.get(), static_cast<uint32_t>(bodyLength))) {
    sendStartedSilenced = errorShown;
  } else if (platform::lastError() != platform::kSendBusy) {
    reportOnce("Cannot HttpSendRequestEx");
  }
  // On return the owners close request, connection and session in that
  // order (a backend whose sender still needs them has taken them over) and
  // release the header block.
}
