// Part of the port (platform/port.h): the HTTP post.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/port_window.h"

namespace platform {

// ---- HTTP -------------------------------------------------------------------------
// A component of a split URL: where it starts inside the URL text and how
// long it is. An absent component has length 0.
struct UrlSpan {
  const char* text;
  size_t length;
};

struct UrlComponents {
  UrlSpan host;  // without brackets for an IPv6 literal, without ":port"
  UrlSpan user;
  UrlSpan password;
  UrlSpan path;   // may be empty
  UrlSpan extra;  // "?query" and/or "#fragment", may be empty
  uint16_t port;  // the scheme's default when the URL names none
  bool secure;    // https
};

// InternetCrackUrlA(url, length, 0, components): true on success.
bool crackUrl(const char* url, size_t length, UrlComponents* components);

// One POST as the core hands it to the backend: where to connect, what to
// ask for, the added header block ("Name: value\n" lines) and the body.
// The backend copies what it needs before httpPost returns.
struct HttpPost {
  const char* agent;     // sent as the User-Agent header
  const char* host;      // the server: a name, or an IPv6 literal without brackets
  uint16_t port;         // the scheme's default when the URL names none
  bool secure;           // TLS, certificate and host name verified
  const char* user;      // null when the URL names none
  const char* password;  // with a user; may be empty
  const char* target;    // path and query, as the request line carries them
  const char* headers;
  uint32_t headersLength;
  const void* body;
  uint32_t bodyLength;
};

// Where a post that could not start stopped. Each stage stands for the
// Windows call that failed there, so both builds fail at the same steps:
// InternetOpenA (the HTTP stack cannot be set up), InternetConnectA,
// HttpOpenRequestA, HttpSendRequestExA (the send cannot be handed to the
// sender thread; SEND_BUSY while another send is in flight).
enum class PostStart { started, open, connect, request, send };

// What httpPost did: started, or the stage that failed with the system's
// code for why (the code is 0 when started).
struct PostStartResult {
  PostStart stage = PostStart::started;
  uint32_t error = 0;
};

// Starts a post and never holds the caller: the backend opens what the post
// needs, hands it to one sender thread and returns. The sender writes the
// request, reads the answer's status line and headers, reads and discards
// up to ANSWER_BODY_LIMIT bytes of its body and only then closes, or keeps
// the connection for the next post where HTTP/1.1 allows it. Redirects are
// not followed. The backend owns every handle of a post from start to end.
// On anything but started the result's error says why and nothing was sent.
// At most one post is in flight; starting one drops an outcome not yet
// taken. A post is never cancelled, not even by unloading the module, which
// the sender keeps loaded until it ends. Call it from one thread only, the
// same as httpPostOutcome.
PostStartResult httpPost(const HttpPost& post);

constexpr uint32_t ANSWER_BODY_LIMIT = 64 * 1024;

// What became of the last post httpPost started.
struct PostOutcome {
  enum class State {
    none,      // no post started since the last outcome was taken
    running,   // still under way; nothing is taken
    answered,  // the server answered: status, reason and location below
    failed,    // no answer: error holds the system's code (timeouts included)
  };
  State state = State::none;
  uint32_t error = 0;
  // failed because the server's certificate (or its name in it) is not one
  // the system trusts.
  bool untrustedCertificate = false;
  unsigned status = 0;
  char reason[64] = {};      // the reason phrase as the server wrote it, cut to fit
  char location[1025] = {};  // a 3xx answer's Location, as sent, cut to fit
};
// Takes the outcome of the last post started: each finished post's outcome
// is given once, then none until the next post starts. Never waits, and
// leaves the last error alone: a failure's code is in the outcome. A
// backend that gives a post up by its own bound answers failed (timed out)
// once the bound has passed, then running until the sender really ends.
PostOutcome httpPostOutcome();
// How the player's thread learns that a post has ended, without looking:
// from now on, each post that ends makes callback run once on the player's
// thread, from its message loop (nested loops of boxes and dialogs
// included), after which httpPostOutcome gives its outcome. On Windows the
// sender posts a message to window, which must be the window watchWindow
// watches; on POSIX it makes a descriptor the loop waits on readable. A
// post a backend gives up by its own bound is not told: whoever waits for
// one looks again after the bound. A null callback ends it; it also tells
// the backend that the module quits: its one sender thread, which lives
// from the first post on and sleeps between posts, ends once the post in
// flight (if any) has ended, and the next post starts it again.
using PostEndedCallback = void (*)();
void notifyPostEnded(WindowHandle window, PostEndedCallback callback);

// The error of an httpPost refused because a post is in flight.
constexpr uint32_t SEND_BUSY = 170;  // ERROR_BUSY

// Bounds on one post, applied by the backends: name resolution (where the
// stack allows), connecting, sending and waiting for the answer are each
// cut off here.
constexpr uint32_t NET_TIMEOUT_MS = 5000;

}  // namespace platform
