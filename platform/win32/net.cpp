// HTTP through WinInet. Besides the calls the port names, the session and
// the request get their time limits (InternetSetOptionA), so a dead or
// silent server holds a send for at most kNetTimeoutMs per phase; WinInet
// offers no bound on name resolution.
//
// The send never holds the player's thread. httpSendRequest copies the
// header block and the body, takes over the request, its connection and
// its session (the caller's closes of those three are skipped from then
// on), and starts a thread that runs HttpSendRequestExA, closes the three
// handles, records the outcome and ends with FreeLibraryAndExitThread: it
// holds a reference to the module from start to end, so a player that
// unloads the module while a send runs leaves the code mapped until then.
// httpSendOutcome hands the recorded outcome to the player's thread. At
// most one send runs; another is refused (kSendBusy) until it ends.
//
// WinInet bounds connect, send and receive itself, but Wine's does not
// bound the TLS handshake: a server that accepts and never answers it would
// keep the send running for good. So a send still running kSendWaitMs
// after it started is given up: its outcome is "timed out" (taken once),
// its thread is left to finish and close its handles whenever WinInet
// returns, and until then the port answers "running", so no second
// connection is ever made.
//
// Credentials: WinInet keeps the user and password given to
// InternetConnectA but sends them only after a 401 challenge, and the
// answer is never read here. So a connection opened with a user remembers
// its "Authorization: Basic base64(user:password)" line, and each request
// opened on it carries that line from the start (added with replace, so it
// is on the wire once even if WinInet inserted its own).
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/win32/handles.h"

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
  DWORD ms = kNetTimeoutMs;
  return InternetSetOptionA(handle, option, &ms, sizeof ms) != FALSE;
}

// Base64 (RFC 4648 alphabet, "=" padding) of the bytes of text.
std::string base64(const std::string& text) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((text.size() + 2) / 3 * 4);
  for (size_t i = 0; i < text.size(); i += 3) {
    const size_t left = text.size() - i;
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << 16;
    if (left > 1) group |= static_cast<uint32_t>(static_cast<unsigned char>(text[i + 1])) << 8;
    if (left > 2) group |= static_cast<unsigned char>(text[i + 2]);
    out += kDigits[(group >> 18) & 0x3F];
    out += kDigits[(group >> 12) & 0x3F];
    out += left > 1 ? kDigits[(group >> 6) & 0x3F] : '=';
    out += left > 2 ? kDigits[group & 0x3F] : '=';
  }
  return out;
}

// The Authorization line of each open connection that was given a user,
// until the connection is closed.
class Credentials {
 public:
  Credentials() { InitializeCriticalSection(&lock_); }
  ~Credentials() { DeleteCriticalSection(&lock_); }
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;

  // False when memory runs out.
  bool remember(HINTERNET connection, const char* user, const char* password) {
    try {
      std::string pair = user;
      pair += ':';
      pair += password != nullptr ? password : "";
      Entry entry{connection, "Authorization: Basic " + base64(pair) + "\r\n"};
      std::fill(pair.begin(), pair.end(), '\0');
      Guard guard(lock_);
      forgetLocked(connection);
      entries_.push_back(std::move(entry));
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  // Copies the line for connection into line ("" when it has none); false
  // when memory runs out.
  bool lineFor(HINTERNET connection, std::string* line) {
    Guard guard(lock_);
    line->clear();
    for (const Entry& entry : entries_) {
      if (entry.connection != connection) continue;
      try {
        *line = entry.line;
      } catch (const std::bad_alloc&) {
        return false;
      }
      break;
    }
    return true;
  }

  void forget(HINTERNET connection) {
    Guard guard(lock_);
    forgetLocked(connection);
  }

 private:
  struct Entry {
    HINTERNET connection;
    std::string line;
  };
  class Guard {
   public:
    explicit Guard(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~Guard() { LeaveCriticalSection(&lock_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    CRITICAL_SECTION& lock_;
  };

  void forgetLocked(HINTERNET connection) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->connection != connection) continue;
      std::fill(it->line.begin(), it->line.end(), '\0');
      entries_.erase(it);
      return;
    }
  }

  CRITICAL_SECTION lock_;
  std::vector<Entry> entries_;
};

Credentials credentials;

// How long a send may run before it is given up: WinInet's own limits fire
// first when they apply.
constexpr DWORD kSendWaitMs = kNetTimeoutMs + 500;

// One send, owned by its thread from the moment the thread starts.
struct Send {
  HINTERNET handles[3] = {};  // request, connection, session: closed in that order
  INTERNET_BUFFERSA buffers{};
  std::string headers;
  std::string body;
  HMODULE module = nullptr;  // the reference that keeps the code loaded
};

enum class Slot {
  idle,     // no send, or its outcome taken
  running,  // a send runs and has not been given up
  givenUp,  // a send outlived kSendWaitMs; its thread still runs
  done,     // a send ended; its outcome waits to be taken
};

CRITICAL_SECTION sendLock;
struct SendLockInit {
  SendLockInit() { InitializeCriticalSection(&sendLock); }
  ~SendLockInit() { DeleteCriticalSection(&sendLock); }
} sendLockInit;
// Under sendLock: the sender's state, and the handles whose closing the
// running (or last) send took over, until the caller's close of each comes.
Slot slot = Slot::idle;
DWORD slotStarted = 0;  // GetTickCount; differences are right across its wrap
bool slotSent = false;
DWORD slotError = 0;
HINTERNET disowned[3] = {};

// Under sendLock: the handle each open connection and request was opened
// on, so a send can take over its whole family (Wine's WinInet does not
// answer INTERNET_OPTION_PARENT_HANDLE).
struct Parent {
  HINTERNET child;
  HINTERNET parent;
};
std::vector<Parent> parents;

// False when memory runs out.
bool rememberParent(HINTERNET child, HINTERNET parent) {
  EnterCriticalSection(&sendLock);
  bool ok = true;
  try {
    parents.push_back({child, parent});
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  LeaveCriticalSection(&sendLock);
  return ok;
}

HINTERNET parentOf(HINTERNET child) {
  EnterCriticalSection(&sendLock);
  HINTERNET parent = nullptr;
  for (const Parent& p : parents) {
    if (p.child == child) parent = p.parent;
  }
  LeaveCriticalSection(&sendLock);
  return parent;
}

// Before the handle is closed: its value may come back for another.
void forgetHandle(HINTERNET handle) {
  credentials.forget(handle);
  EnterCriticalSection(&sendLock);
  parents.erase(std::remove_if(parents.begin(), parents.end(),
                               [handle](const Parent& p) { return p.child == handle; }),
                parents.end());
  LeaveCriticalSection(&sendLock);
}

DWORD WINAPI runSend(void* parameter) {
  Send* send = static_cast<Send*>(parameter);
  const HMODULE module = send->module;
  const BOOL ok = HttpSendRequestExA(send->handles[0], &send->buffers, nullptr, 0, 0);
  const DWORD error = GetLastError();
  // The handles go before the outcome is known, so the next send never
  // overlaps this one's close.
  for (HINTERNET handle : send->handles) {
    if (handle == nullptr) continue;
    forgetHandle(handle);
    InternetCloseHandle(handle);
  }
  delete send;
  EnterCriticalSection(&sendLock);
  if (slot == Slot::running) {
    slot = Slot::done;
    slotSent = ok != FALSE;
    slotError = error;
  } else {
    slot = Slot::idle;  // given up: its outcome was taken as timed out
  }
  LeaveCriticalSection(&sendLock);
  FreeLibraryAndExitThread(module, 0);
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
  components->scheme = span(parts.lpszScheme, parts.dwSchemeLength, end);
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

NetHandle internetOpen(const char* agent) {
  win32::InternetOwner session(
      InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return nullptr;
  // A session whose connections cannot be bounded is not used.
  if (!setTimeout(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT)) return nullptr;
  return session.release();
}

NetHandle internetConnect(NetHandle session, const char* host, uint16_t port, const char* user,
                          const char* password) {
  win32::InternetOwner connection(InternetConnectA(static_cast<HINTERNET>(session), host, port,
                                                   user, password, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return nullptr;
  if (user != nullptr && user[0] != '\0' &&
      !credentials.remember(connection.get(), user, password)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!rememberParent(connection.get(), static_cast<HINTERNET>(session))) {
    credentials.forget(connection.get());
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return connection.release();
}

NetHandle httpOpenRequest(NetHandle connection, const char* method, const char* target,
                          bool secure) {
  win32::InternetOwner request(HttpOpenRequestA(static_cast<HINTERNET>(connection), method, target,
                                                nullptr, nullptr, nullptr,
                                                secure ? INTERNET_FLAG_SECURE : 0, 0));
  if (!request) return nullptr;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    if (!setTimeout(request.get(), option)) return nullptr;
  }
  std::string authorization;
  if (!credentials.lineFor(static_cast<HINTERNET>(connection), &authorization)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!authorization.empty() &&
      !HttpAddRequestHeadersA(request.get(), authorization.c_str(),
                              static_cast<DWORD>(authorization.size()),
                              HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
    return nullptr;
  }
  if (!rememberParent(request.get(), static_cast<HINTERNET>(connection))) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return request.release();
}

bool httpSendRequest(NetHandle request, const char* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  EnterCriticalSection(&sendLock);
  const bool busy = slot == Slot::running || slot == Slot::givenUp;
  LeaveCriticalSection(&sendLock);
  if (busy) {
    SetLastError(kSendBusy);
    return false;
  }
  // The thread gets its own copies: the caller's buffers are gone once it
  // returns.
  std::unique_ptr<Send> send(new (std::nothrow) Send);
  if (!send) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  try {
    send->headers.assign(headers, headersLength);
    send->body.assign(static_cast<const char*>(body), bodyLength);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  send->handles[0] = static_cast<HINTERNET>(request);
  send->handles[1] = parentOf(send->handles[0]);
  send->handles[2] = send->handles[1] != nullptr ? parentOf(send->handles[1]) : nullptr;
  INTERNET_BUFFERSA& buffers = send->buffers;
  buffers.dwStructSize = sizeof buffers;
  buffers.Next = nullptr;
  buffers.lpcszHeader = send->headers.data();
  buffers.dwHeadersLength = headersLength;
  buffers.dwHeadersTotal = headersLength;
  buffers.lpvBuffer = send->body.data();
  buffers.dwBufferLength = bodyLength;
  buffers.dwBufferTotal = bodyLength;
  buffers.dwOffsetLow = 0;
  buffers.dwOffsetHigh = 0;

  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<const char*>(&runSend), &send->module)) {
    return false;
  }
  // Running before the thread starts, so its outcome cannot come first.
  EnterCriticalSection(&sendLock);
  slot = Slot::running;
  slotStarted = GetTickCount();
  std::copy(std::begin(send->handles), std::end(send->handles), std::begin(disowned));
  LeaveCriticalSection(&sendLock);
  const HANDLE thread = CreateThread(nullptr, 0, runSend, send.get(), 0, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    EnterCriticalSection(&sendLock);
    slot = Slot::idle;
    std::fill(std::begin(disowned), std::end(disowned), nullptr);
    LeaveCriticalSection(&sendLock);
    FreeLibrary(send->module);
    SetLastError(error);
    return false;
  }
  send.release();  // the thread's now
  CloseHandle(thread);
  return true;
}

SendOutcome httpSendOutcome() {
  EnterCriticalSection(&sendLock);
  SendOutcome outcome = SendOutcome::none;
  DWORD error = 0;
  switch (slot) {
    case Slot::idle:
      break;
    case Slot::running:
      outcome = SendOutcome::running;
      if (GetTickCount() - slotStarted >= kSendWaitMs) {
        slot = Slot::givenUp;
        outcome = SendOutcome::failed;
        error = ERROR_INTERNET_TIMEOUT;
      }
      break;
    case Slot::givenUp:
      outcome = SendOutcome::running;
      break;
    case Slot::done:
      slot = Slot::idle;
      outcome = slotSent ? SendOutcome::sent : SendOutcome::failed;
      error = slotError;
      break;
  }
  LeaveCriticalSection(&sendLock);
  if (outcome == SendOutcome::failed) SetLastError(error);
  return outcome;
}

void internetClose(NetHandle handle) {
  EnterCriticalSection(&sendLock);
  HINTERNET* const found =
      std::find(std::begin(disowned), std::end(disowned), static_cast<HINTERNET>(handle));
  const bool skip = handle != nullptr && found != std::end(disowned);
  if (skip) *found = nullptr;
  LeaveCriticalSection(&sendLock);
  if (skip) return;
  forgetHandle(static_cast<HINTERNET>(handle));
  InternetCloseHandle(static_cast<HINTERNET>(handle));
}

}  // namespace platform
