// HTTP through WinInet.
//
// httpPost opens the session, the connection and the request on the
// caller's thread (these calls touch no network, so a failure among them is
// told at once, at its own stage), sets their time limits
// (InternetSetOptionA: a dead or silent server holds a post for at most
// NET_TIMEOUT_MS per phase; WinInet offers no bound on name resolution),
// copies the header block and the body, and hands all of it to the sender
// thread, which owns it from then on. The sender sends
// (HttpSendRequestExA), reads the answer's status line and headers
// (HttpEndRequestA), reads and discards at most ANSWER_BODY_LIMIT bytes of
// its body, closes the post's three handles, records the outcome (a failure
// with WinInet's code) and sleeps (untimed) until the next post. One sender
// thread serves every post: started with the first, it ends once the
// module quits (notifyPostEnded without a callback) and its post has ended,
// with FreeLibraryAndExitThread: it holds a reference to the module from
// start to end, so a player that unloads the module while a post runs, or
// before the sender has ended, leaves the code mapped until then. An answer
// read to its end lets WinInet keep the connection in its pool for the next
// post to the same server. httpPostOutcome hands the recorded outcome to
// the player's thread. At most one post runs; another is refused
// (SEND_BUSY) until it ends.
//
// Redirects are not followed (INTERNET_FLAG_NO_AUTO_REDIRECT): a post is
// never sent again elsewhere; the 3xx answer is the outcome.
//
// Wine's WinInet does not bound the TLS handshake: a server that accepts
// and never answers it would keep the post running for good. So a post
// still running SEND_WAIT_MS after it started is given up: its outcome is
// "timed out" (taken once), its thread is left to finish and close its
// handles whenever WinInet returns, and until then the port answers
// "running", so no second connection is ever made.
//
// Credentials: WinInet keeps the user and password given to
// InternetConnectA but sends them only after a 401 challenge. So a post to
// a URL with a user carries "Authorization: Basic base64(user:password)"
// from the start (added with replace, so it is on the wire once even if
// WinInet inserted its own).
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "platform/port.h"
#include "platform/win32/handles.h"
#include "platform/win32/module_thread.h"

namespace platform {
namespace {

// The records' sizes as the system defines them: the shipped i686 module and
// the x86_64 test build.
#if defined(_WIN64)
static_assert(sizeof(URL_COMPONENTSA) == 104, "split URL record as the system defines it");
static_assert(sizeof(INTERNET_BUFFERSA) == 56, "buffer record as the system defines it");
#else
static_assert(sizeof(URL_COMPONENTSA) == 60, "split URL record as the system defines it");
static_assert(sizeof(INTERNET_BUFFERSA) == 40, "buffer record as the system defines it");
#endif

UrlSpan span(const char* text, DWORD length, const char* end) {
  if (text == nullptr) return {end, 0};
  return {text, length};
}

bool setTimeout(HINTERNET handle, DWORD option) {
  DWORD ms = NET_TIMEOUT_MS;
  return InternetSetOptionA(handle, option, &ms, sizeof ms) != FALSE;
}

// Base64 (RFC 4648 alphabet, "=" padding) of the bytes of text.
std::string base64(const std::string& text) {
  static constexpr char DIGITS[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((text.size() + 2) / 3 * 4);
  for (size_t i = 0; i < text.size(); i += 3) {
    const size_t left = text.size() - i;
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << 16;
    if (left > 1) group |= static_cast<uint32_t>(static_cast<unsigned char>(text[i + 1])) << 8;
    if (left > 2) group |= static_cast<unsigned char>(text[i + 2]);
    out += DIGITS[(group >> 18) & 0x3F];
    out += DIGITS[(group >> 12) & 0x3F];
    out += left > 1 ? DIGITS[(group >> 6) & 0x3F] : '=';
    out += left > 2 ? DIGITS[group & 0x3F] : '=';
  }
  return out;
}

// How long a post may run before it is given up: WinInet's own limits fire
// first when they apply.
constexpr DWORD SEND_WAIT_MS = NET_TIMEOUT_MS + 500;

// One post, owned by the sender from the moment it is handed over.
struct Send {
  win32::InternetOwner session;
  win32::InternetOwner connection;
  win32::InternetOwner request;
  INTERNET_BUFFERSA buffers{};
  std::string headers;
  std::string body;
};

enum class Slot {
  idle,     // no post, or its outcome taken
  running,  // a post runs and has not been given up
  givenUp,  // a post outlived SEND_WAIT_MS; its thread still runs
  done,     // a post ended; its outcome waits to be taken
};

CRITICAL_SECTION sendLock;
CONDITION_VARIABLE sendWake = CONDITION_VARIABLE_INIT;  // the sender sleeps on it between posts
struct SendLockInit {
  SendLockInit() { InitializeCriticalSection(&sendLock); }
  ~SendLockInit() { DeleteCriticalSection(&sendLock); }
} sendLockInit;
// Under sendLock: the sender's state and the finished post's outcome.
Slot slot = Slot::idle;
DWORD slotStarted = 0;  // GetTickCount; differences are right across its wrap
PostOutcome slotOutcome;
Send* pendingSend = nullptr;  // handed to the sender, not yet taken
bool senderAlive = false;     // the sender runs and takes posts
bool senderEnding = false;    // the sender ends once no post is left
// The reference the sender holds (startModuleThread fills it in before the
// thread runs; the thread copies it first thing).
HMODULE senderModule = nullptr;

// A text header of the answer (HttpQueryInfoA), cut to fit; empty when
// absent.
void queryText(HINTERNET request, DWORD what, char* out, DWORD capacity) {
  DWORD size = capacity;
  if (!HttpQueryInfoA(request, what, out, &size, nullptr)) out[0] = '\0';
  out[capacity - 1] = '\0';
}

// Whether a failed send's code says the server's certificate, or its name
// in it, is not one the system trusts.
bool certificateRefused(DWORD code) {
  switch (code) {
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      return true;
    default:
      return false;
  }
}

// Sends the post and reads its answer.
PostOutcome perform(Send& send) {
  PostOutcome outcome;
  outcome.state = PostOutcome::State::failed;
  const DWORD started = GetTickCount();
  HINTERNET request = send.request.get();
  if (!HttpSendRequestExA(request, &send.buffers, nullptr, 0, 0) ||
      !HttpEndRequestA(request, nullptr, 0, 0)) {
    outcome.error = GetLastError();
    outcome.untrustedCertificate = certificateRefused(outcome.error);
    return outcome;
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr)) {
    outcome.error = GetLastError();
    return outcome;
  }
  if (status < 100) {
    // Wine's WinInet ends a request whose answer never came (silence until
    // the receive limit, a reset, a close) with success and no status: that
    // is no answer. Which one it was shows only in the time it took.
    outcome.error = GetTickCount() - started >= NET_TIMEOUT_MS ? ERROR_INTERNET_TIMEOUT
                                                               : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    return outcome;
  }
  outcome.state = PostOutcome::State::answered;
  outcome.status = status;
  queryText(request, HTTP_QUERY_STATUS_TEXT, outcome.reason, sizeof outcome.reason);
  if (status >= 300 && status < 400)
    queryText(request, HTTP_QUERY_LOCATION, outcome.location, sizeof outcome.location);
  // The body, up to the limit, so the connection can serve the next post.
  char chunk[4096];
  DWORD total = 0;
  DWORD read = 0;
  while (total < ANSWER_BODY_LIMIT && InternetReadFile(request, chunk, sizeof chunk, &read) &&
         read > 0) {
    total += read;
  }
  return outcome;
}

DWORD WINAPI runSender(void* parameter) {
  const HMODULE module = *static_cast<const HMODULE*>(parameter);
  EnterCriticalSection(&sendLock);
  for (;;) {
    while (pendingSend == nullptr && !senderEnding)
      SleepConditionVariableCS(&sendWake, &sendLock, INFINITE);
    if (pendingSend == nullptr) break;
    std::unique_ptr<Send> send(pendingSend);
    pendingSend = nullptr;
    LeaveCriticalSection(&sendLock);
    const PostOutcome outcome = perform(*send);
    // The handles go before the outcome is known, so the next post never
    // overlaps this one's close.
    send.reset();
    EnterCriticalSection(&sendLock);
    if (slot == Slot::running) {
      slot = Slot::done;
      slotOutcome = outcome;
    } else {
      slot = Slot::idle;  // given up: its outcome was taken as timed out
    }
    LeaveCriticalSection(&sendLock);
    win32::signalPostEnded();
    EnterCriticalSection(&sendLock);
  }
  senderAlive = false;
  LeaveCriticalSection(&sendLock);
  FreeLibraryAndExitThread(module, 0);
}

// A sender that takes the next post: the running one (told not to end), or
// a new one. The system's code when no thread can be had, else 0.
DWORD readySender() {
  EnterCriticalSection(&sendLock);
  const bool alive = senderAlive;
  if (alive) senderEnding = false;
  LeaveCriticalSection(&sendLock);
  if (alive) return 0;
  EnterCriticalSection(&sendLock);
  senderAlive = true;
  senderEnding = false;
  LeaveCriticalSection(&sendLock);
  const HANDLE thread = win32::startModuleThread(
      runSender, &senderModule, reinterpret_cast<const void*>(&runSender), &senderModule);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    EnterCriticalSection(&sendLock);
    senderAlive = false;
    LeaveCriticalSection(&sendLock);
    return error;
  }
  CloseHandle(thread);
  return 0;
}

// Opens the three handles of a post with their limits and its credentials;
// the stage that failed otherwise, with the last error set.
PostStart openPostHandles(const HttpPost& post, Send& send) {
  send.session.reset(InternetOpenA(post.agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  // A session whose connections cannot be bounded is not used.
  if (!send.session || !setTimeout(send.session.get(), INTERNET_OPTION_CONNECT_TIMEOUT))
    return PostStart::open;
  send.connection.reset(InternetConnectA(send.session.get(), post.host, post.port, post.user,
                                         post.password, INTERNET_SERVICE_HTTP, 0, 0));
  if (!send.connection) return PostStart::connect;
  const DWORD flags = INTERNET_FLAG_NO_AUTO_REDIRECT | (post.secure ? INTERNET_FLAG_SECURE : 0);
  send.request.reset(HttpOpenRequestA(send.connection.get(), "POST", post.target, nullptr, nullptr,
                                      nullptr, flags, 0));
  if (!send.request) return PostStart::request;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    if (!setTimeout(send.request.get(), option)) return PostStart::request;
  }
  if (post.user != nullptr && post.user[0] != '\0') {
    std::string pair = post.user;
    pair += ':';
    pair += post.password != nullptr ? post.password : "";
    std::string line = "Authorization: Basic " + base64(pair) + "\r\n";
    std::fill(pair.begin(), pair.end(), '\0');
    const BOOL added =
        HttpAddRequestHeadersA(send.request.get(), line.c_str(), static_cast<DWORD>(line.size()),
                               HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    std::fill(line.begin(), line.end(), '\0');
    if (!added) return PostStart::request;
  }
  return PostStart::started;
}

}  // namespace

bool crackUrl(const char* url, size_t length, UrlComponents* components) {
  // Every component asked for as a position inside the URL text.
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  parts.dwUserNameLength = 1;
  parts.dwPasswordLength = 1;
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlA(url, static_cast<DWORD>(length), 0, &parts)) return false;

  const char* end = url + length;
  components->host = span(parts.lpszHostName, parts.dwHostNameLength, end);
  // An IPv6 literal without its brackets, as the name to connect to.
  UrlSpan& host = components->host;
  if (host.length >= 2 && host.text[0] == '[' && host.text[host.length - 1] == ']') {
    host = {host.text + 1, host.length - 2};
  }
  components->user = span(parts.lpszUserName, parts.dwUserNameLength, end);
  components->password = span(parts.lpszPassword, parts.dwPasswordLength, end);
  components->path = span(parts.lpszUrlPath, parts.dwUrlPathLength, end);
  components->extra = span(parts.lpszExtraInfo, parts.dwExtraInfoLength, end);
  components->port = parts.nPort;
  components->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

PostStartResult httpPost(const HttpPost& post) {
  const auto refused = [](PostStart stage, DWORD code) { return PostStartResult{stage, code}; };
  EnterCriticalSection(&sendLock);
  const bool busy = slot == Slot::running || slot == Slot::givenUp;
  LeaveCriticalSection(&sendLock);
  if (busy) return refused(PostStart::send, SEND_BUSY);
  std::unique_ptr<Send> send(new (std::nothrow) Send);
  if (!send) return refused(PostStart::open, ERROR_NOT_ENOUGH_MEMORY);
  try {
    if (const PostStart stage = openPostHandles(post, *send); stage != PostStart::started)
      return refused(stage, GetLastError());
    // The thread gets its own copies: the caller's buffers are gone once it
    // returns.
    send->headers.assign(post.headers, post.headersLength);
    send->body.assign(static_cast<const char*>(post.body), post.bodyLength);
  } catch (const std::bad_alloc&) {
    return refused(send->request ? PostStart::send : PostStart::request, ERROR_NOT_ENOUGH_MEMORY);
  }
  INTERNET_BUFFERSA& buffers = send->buffers;
  buffers.dwStructSize = sizeof buffers;
  buffers.Next = nullptr;
  buffers.lpcszHeader = send->headers.data();
  buffers.dwHeadersLength = post.headersLength;
  buffers.dwHeadersTotal = post.headersLength;
  buffers.lpvBuffer = send->body.data();
  buffers.dwBufferLength = post.bodyLength;
  buffers.dwBufferTotal = post.bodyLength;
  buffers.dwOffsetLow = 0;
  buffers.dwOffsetHigh = 0;

  if (const DWORD error = readySender(); error != 0) return refused(PostStart::send, error);
  // Running as it is handed over, so its outcome cannot come first.
  EnterCriticalSection(&sendLock);
  slot = Slot::running;
  slotStarted = GetTickCount();
  pendingSend = send.release();  // the sender's now
  LeaveCriticalSection(&sendLock);
  WakeConditionVariable(&sendWake);
  return PostStartResult{};
}

void win32::endSenderWhenIdle() {
  EnterCriticalSection(&sendLock);
  senderEnding = true;
  LeaveCriticalSection(&sendLock);
  WakeConditionVariable(&sendWake);
}

PostOutcome httpPostOutcome() {
  EnterCriticalSection(&sendLock);
  PostOutcome outcome;
  switch (slot) {
    case Slot::idle:
      break;
    case Slot::running:
      outcome.state = PostOutcome::State::running;
      if (GetTickCount() - slotStarted >= SEND_WAIT_MS) {
        slot = Slot::givenUp;
        outcome.state = PostOutcome::State::failed;
        outcome.error = ERROR_INTERNET_TIMEOUT;
      }
      break;
    case Slot::givenUp:
      outcome.state = PostOutcome::State::running;
      break;
    case Slot::done:
      slot = Slot::idle;
      outcome = slotOutcome;
      break;
  }
  LeaveCriticalSection(&sendLock);
  return outcome;
}

}  // namespace platform
