// The port's HTTP procedures on libcurl.
//
// The four handles keep the meaning they have on Windows so the core's
// messages mean the same thing on both builds:
//   internetOpen     creates the curl handle (fails only when curl cannot
//                    set itself up: "Cannot InternetOpen");
//   internetConnect  records server, port and credentials (fails only on
//                    bad arguments or lack of memory);
//   httpOpenRequest  records method, target and whether TLS is wanted
//                    (same);
//   httpSendRequest  builds the transfer (its own copies of headers and
//                    body, the session's curl handle taken over) and hands
//                    it to the sender thread, which resolves, connects,
//                    does the TLS handshake and writes the request, headers
//                    and body. It fails at once only when the transfer
//                    cannot be built or a send is already in flight
//                    (kSendBusy); every network failure before the last
//                    body byte is written (refused, name not found,
//                    certificate, timeout, a peer that hangs up or stops
//                    reading) is the send's outcome, taken later through
//                    httpSendOutcome with the libcurl code as last error.
//
// The answer is never waited for. Once the whole request has been handed
// to the connection the send has succeeded: a transfer-progress callback
// sees the upload counter reach the body's length and stops the transfer
// there (CURLE_ABORTED_BY_CALLBACK), and any error libcurl reports after
// the whole body went out (an answer that came at once and is garbage, cut
// short or followed by a reset) counts as success too, since the post was
// delivered and nothing of the answer is used. libcurl then closes the
// connection; with no answer read yet this is an orderly close behind the
// bytes already written, so the receiver still gets all of them. An empty
// body gives the callback nothing to count, so such a send alone still
// waits for the answer (the update cycle always has a body).
//
// Timeouts. Every transfer is bounded by platform::kNetTimeoutMs twice
// over: CURLOPT_CONNECTTIMEOUT_MS cuts name resolution (curl's threaded
// resolver honours it), the TCP connect and the TLS handshake, and
// CURLOPT_TIMEOUT_MS cuts the whole transfer, so a peer that stops reading
// before the body is written ends it. One send occupies the sender thread
// for at most kNetTimeoutMs (plus scheduling), whatever the server does;
// the caller's thread is never held.
//
// System settings. Proxies come from the standard environment variables
// (http_proxy, https_proxy, all_proxy, no_proxy), which libcurl reads by
// itself. The trust store is libcurl's default bundle unless the system
// names another through CURL_CA_BUNDLE, SSL_CERT_FILE (a bundle file) or
// SSL_CERT_DIR (a hashed directory), the usual variables for that on this
// platform. Certificate and host name are always verified.
#include "platform/posix/http.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

#include "platform/port.h"
#include "platform/posix/errors.h"
#include "shell/percent.h"

namespace platform {

namespace {

constexpr const char* kContinueSuppressed = "Expect:";
constexpr const char* kAcceptSuppressed = "Accept:";

enum class Kind { session, connection, request };

struct NetObject {
  explicit NetObject(Kind k) : kind(k) {}
  virtual ~NetObject() = default;
  Kind kind;
};

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlOwner = std::unique_ptr<CURL, CurlDeleter>;
using SlistOwner = std::unique_ptr<curl_slist, SlistDeleter>;

struct Session : NetObject {
  Session() : NetObject(Kind::session) {}
  CurlOwner curl;  // until a send takes it over
  std::string agent;
};

struct Connection : NetObject {
  Connection() : NetObject(Kind::connection) {}
  Session* session = nullptr;
  std::string host;
  uint16_t port = 0;
  bool hasUser = false;
  std::string user;
  std::string password;
};

struct Request : NetObject {
  Request() : NetObject(Kind::request) {}
  Connection* connection = nullptr;
  std::string method;
  std::string target;
  bool secure = false;
};

template <typename T>
T* as(NetHandle handle, Kind kind) {
  auto* object = static_cast<NetObject*>(handle);
  if (object == nullptr || object->kind != kind) return nullptr;
  return static_cast<T*>(object);
}

bool fail(CURLcode code) {
  setLastError(static_cast<uint32_t>(code));
  return false;
}

void endSendAtExit();

// libcurl (and the TLS library under it) set up once. The exit handler is
// registered after them, so it runs before their own clean-up at exit.
bool globalReady() {
  static const CURLcode code = [] {
    const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc == CURLE_OK) std::atexit(&endSendAtExit);
    return rc;
  }();
  if (code != CURLE_OK) setLastError(static_cast<uint32_t>(code));
  return code == CURLE_OK;
}

// ---- Ending a send early, at exit --------------------------------------------
// A process that exits while a send runs tears down the TLS library's state
// under the sender thread. So at exit the send is ended at once: the
// progress callback gives up, and the sockets it waits on are shut down so
// a wait for the peer ends now rather than at its limit.

std::atomic<bool> abandoning{false};

std::mutex socketLock;
int senderSockets[4] = {-1, -1, -1, -1};  // under socketLock: the send's open sockets

int noteSocket(void*, curl_socket_t fd, curlsocktype) {
  const std::lock_guard<std::mutex> guard(socketLock);
  for (int& slotFd : senderSockets) {
    if (slotFd == -1) {
      slotFd = fd;
      break;
    }
  }
  return CURL_SOCKOPT_OK;
}

// Closes under the lock, so a socket being shut down is never one whose
// number was already given to another file.
int closeSocket(void*, curl_socket_t fd) {
  const std::lock_guard<std::mutex> guard(socketLock);
  for (int& slotFd : senderSockets) {
    if (slotFd == fd) slotFd = -1;
  }
  return ::close(fd);
}

void shutDownSenderSockets() {
  const std::lock_guard<std::mutex> guard(socketLock);
  for (int fd : senderSockets) {
    if (fd != -1) ::shutdown(fd, SHUT_RDWR);
  }
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// Set once libcurl has written every byte of the body to the connection.
struct Upload {
  bool complete = false;
};

// Stops the transfer as soon as the whole body is out: the answer is not
// waited for. libcurl counts only body bytes here, and only those it has
// written, after the headers that precede them.
int stopAfterUpload(void* clientp, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
  if (abandoning.load()) return 1;
  auto* upload = static_cast<Upload*>(clientp);
  if (ultotal > 0 && ulnow >= ultotal) {
    upload->complete = true;
    return 1;
  }
  return 0;
}

bool isSchemeChar(char c, bool first) {
  const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  if (first) return alpha;
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool equalsNoCase(UrlSpan span, const char* word) {
  const size_t n = std::strlen(word);
  if (span.length != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = span.text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

uint16_t defaultPort(UrlSpan scheme) {
  if (equalsNoCase(scheme, "http")) return 80;
  if (equalsNoCase(scheme, "https")) return 443;
  return 0;  // left to the service's default when connecting
}

// The URL handed to curl: scheme, server and port from the handles, then the
// target. curl sends the target as given (CURLOPT_PATH_AS_IS keeps "." and
// ".." segments), or the whole URL when it goes through a proxy; a byte its
// parser refuses (space, control, non-ASCII) is written as %XX, as it has to
// be in a request line anyway.
std::string curlUrl(const Request& request) {
  const Connection& c = *request.connection;
  std::string url = request.secure ? "https://" : "http://";
  const bool literal6 = c.host.find(':') != std::string::npos;
  if (literal6) url += '[';
  url += c.host;
  if (literal6) url += ']';
  url += ':';
  url += std::to_string(c.port == 0 ? (request.secure ? 443 : 80) : c.port);
  percentEscape(
      request.target, [](unsigned char b) { return b > 0x20 && b < 0x7F && b != '#'; },
      std::back_inserter(url));
  return url;
}

// "Name: value\n" lines (a "\r" before the "\n" is tolerated) as curl's list
// of extra headers. A header given here replaces the one curl would write.
bool appendHeaderLines(const char* headers, uint32_t length, curl_slist** list) {
  size_t start = 0;
  while (start < length) {
    size_t end = start;
    while (end < length && headers[end] != '\n' && headers[end] != '\0') ++end;
    size_t lineEnd = end;
    if (lineEnd > start && headers[lineEnd - 1] == '\r') --lineEnd;
    if (lineEnd > start) {
      const std::string line(headers + start, lineEnd - start);
      curl_slist* grown = curl_slist_append(*list, line.c_str());
      if (grown == nullptr) return false;
      *list = grown;
    }
    if (end < length && headers[end] == '\0') break;
    start = end + 1;
  }
  return true;
}

// One send as the sender thread runs it: its own curl handle with every
// option set, and everything the handle points to (the header list, the
// body, the progress flag), so nothing of the caller's is touched once the
// send has started.
struct Job {
  CurlOwner curl;
  SlistOwner headers;
  std::string body;
  Upload upload;
  void* module = nullptr;  // the reference that keeps this code loaded
};

struct JobDeleter {
  void operator()(Job* job) const { delete job; }
};
using JobOwner = std::unique_ptr<Job, JobDeleter>;

// Builds the send on the caller's thread: the curl handle (the session's,
// taken over, or a new one), the header list and copies of the body and of
// every setting read from the environment. Null with the last error set
// when something cannot be had.
JobOwner prepare(Request& request, const char* headers, uint32_t headersLength, const void* body,
                 uint32_t bodyLength) {
  Connection& connection = *request.connection;
  Session& session = *connection.session;
  JobOwner job(new (std::nothrow) Job());
  if (!job) {
    fail(CURLE_OUT_OF_MEMORY);
    return nullptr;
  }
  if (session.curl) {
    job->curl = std::move(session.curl);
  } else {
    job->curl.reset(curl_easy_init());
    if (!job->curl) {
      fail(CURLE_FAILED_INIT);
      return nullptr;
    }
    if (const CURLcode rc =
            session.agent.empty()
                ? CURLE_OK
                : curl_easy_setopt(job->curl.get(), CURLOPT_USERAGENT, session.agent.c_str());
        rc != CURLE_OK) {
      fail(rc);
      return nullptr;
    }
  }
  CURL* curl = job->curl.get();

  curl_slist* raw = nullptr;
  const bool listed = appendHeaderLines(headers, headersLength, &raw);
  job->headers.reset(raw);
  if (!listed) {
    fail(CURLE_OUT_OF_MEMORY);
    return nullptr;
  }
  for (const char* suppressed : {kContinueSuppressed, kAcceptSuppressed}) {
    curl_slist* grown = curl_slist_append(job->headers.get(), suppressed);
    if (grown == nullptr) {
      fail(CURLE_OUT_OF_MEMORY);
      return nullptr;
    }
    (void)job->headers.release();
    job->headers.reset(grown);
  }
  job->body.assign(static_cast<const char*>(body), bodyLength);

  // curl keeps its own copies of every text option but the body.
  const std::string url = curlUrl(request);
  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_PATH_AS_IS, 1L);
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_POST, 1L);
  set(CURLOPT_POSTFIELDS, job->body.data());
  set(CURLOPT_POSTFIELDSIZE, static_cast<long>(bodyLength));
  if (request.method != "POST") set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
  set(CURLOPT_HTTPHEADER, job->headers.get());
  if (connection.hasUser) {
    set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    set(CURLOPT_USERNAME, connection.user.c_str());
    set(CURLOPT_PASSWORD, connection.password.c_str());
  }
  if (request.secure) {
    if (const char* bundle = std::getenv("CURL_CA_BUNDLE"); bundle != nullptr && *bundle)
      set(CURLOPT_CAINFO, bundle);
    else if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file)
      set(CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir)
      set(CURLOPT_CAPATH, dir);
  }
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kNetTimeoutMs));
  set(CURLOPT_TIMEOUT_MS, static_cast<long>(kNetTimeoutMs));
  set(CURLOPT_WRITEFUNCTION, &discard);
  set(CURLOPT_XFERINFOFUNCTION, &stopAfterUpload);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&job->upload));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_SOCKOPTFUNCTION, &noteSocket);
  set(CURLOPT_CLOSESOCKETFUNCTION, &closeSocket);
  if (rc != CURLE_OK) {
    fail(rc);
    return nullptr;
  }
  return job;
}

// The send itself: 0 when the whole request was written, else the libcurl
// code.
uint32_t perform(Job& job) {
  const CURLcode rc = curl_easy_perform(job.curl.get());
  // An error that ends the transfer before the callback runs again (an
  // answer read at once, a reset after it) may still come after the whole
  // body was written; the upload counter tells.
  curl_off_t written = 0;
  const bool delivered =
      job.upload.complete ||
      (!job.body.empty() &&
       curl_easy_getinfo(job.curl.get(), CURLINFO_SIZE_UPLOAD_T, &written) == CURLE_OK &&
       written >= static_cast<curl_off_t>(job.body.size()));
  if (rc != CURLE_OK && !delivered) return static_cast<uint32_t>(rc);
  return 0;
}

// ---- The sender thread ------------------------------------------------------
//
// One send at a time runs on a thread of its own, which owns the job (and
// so libcurl's handle) from start to end and frees it there. The next send
// first reaps the previous thread, which has nothing left to do but exit
// once its outcome is known, so at most one sender thread exists. The
// thread holds a reference to the shared object this code lives in, so a
// player that unloads the module while a send runs leaves the code mapped
// until the send ends. The reference cannot be dropped by this code itself
// (the return would run unmapped instructions): it is a thread-specific
// value whose destructor is dlclose, which the C library calls as the
// thread ends, after this code has returned for good.
//
// The state the player's thread and the sender share lives in static
// storage of trivially destructible types: a process that exits while a
// send runs tears nothing down under it.

enum class Slot { idle, running, done };

std::mutex sendLock;
Slot slot = Slot::idle;  // under sendLock
uint32_t slotError = 0;  // under sendLock: the finished send's code, 0 sent

// The last sender thread, not yet reaped; touched by the caller's thread
// alone.
pthread_t lastThread;
bool lastThreadJoinable = false;

static_assert(std::is_trivially_destructible_v<std::mutex>);

// Holds the module reference of the sender thread; its destructor is
// dlclose. Created once per load, deleted when the object is unloaded
// (possibly by that very destructor, after the C library has read it).
class ModuleKey {
 public:
  ModuleKey() { ready_ = pthread_key_create(&key_, &release) == 0; }
  ~ModuleKey() {
    if (ready_) pthread_key_delete(key_);
  }
  ModuleKey(const ModuleKey&) = delete;
  ModuleKey& operator=(const ModuleKey&) = delete;
  bool hold(void* module) const { return ready_ && pthread_setspecific(key_, module) == 0; }

 private:
  static void release(void* module) { dlclose(module); }
  pthread_key_t key_{};
  bool ready_ = false;
};

const ModuleKey& moduleKey() {
  static const ModuleKey key;
  return key;
}

void* sendThread(void* parameter) {
  JobOwner job(static_cast<Job*>(parameter));
  // Should the key refuse it, the reference is never dropped: the object
  // stays loaded for good rather than risk running it unmapped.
  if (job->module != nullptr) (void)moduleKey().hold(job->module);
  const uint32_t error = perform(*job);
  // The handle and its connection go before the outcome is known, so the
  // next send never overlaps this one's close.
  job.reset();
  const std::lock_guard<std::mutex> guard(sendLock);
  slot = Slot::done;
  slotError = error;
  return nullptr;
}

// A reference to the shared object this code is in; null when it is the
// program itself, which is never unloaded.
void* referenceToSelf() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&sendThread), &info) == 0 || info.dli_fname == nullptr)
    return nullptr;
  return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

// Starts the job's thread with every signal blocked, so signals meant for
// the player still reach the player's thread. False (the job freed, the
// reference dropped) when no thread can be had.
bool startThread(JobOwner job) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  const int rc = pthread_create(&thread, nullptr, &sendThread, job.get());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    if (job->module != nullptr) dlclose(job->module);
    return false;
  }
  (void)job.release();  // the thread's now
  lastThread = thread;
  lastThreadJoinable = true;
  return true;
}

// Reaps the previous sender thread, whose send has ended: at most the
// moment it takes to exit.
void reapLastThread() {
  if (!lastThreadJoinable) return;
  pthread_join(lastThread, nullptr);
  lastThreadJoinable = false;
}

// Ends a send still running when the process exits, and waits (briefly)
// for its thread to free what it holds.
void endSendAtExit() {
  abandoning.store(true);
  shutDownSenderSockets();
  for (int waited = 0; waited < 2000; ++waited) {
    {
      const std::lock_guard<std::mutex> guard(sendLock);
      if (slot != Slot::running) break;
    }
    shutDownSenderSockets();  // one opened since
    usleep(1000);
  }
  bool ended = false;
  {
    const std::lock_guard<std::mutex> guard(sendLock);
    ended = slot != Slot::running;
  }
  if (ended) reapLastThread();
}

}  // namespace

bool crackUrl(const char* url, size_t length, UrlComponents* components) {
  if (url == nullptr || components == nullptr) return fail(CURLE_BAD_FUNCTION_ARGUMENT);
  *components = UrlComponents{};
  const char* const end = url + length;

  // scheme "://"
  const char* p = url;
  if (p == end || !isSchemeChar(*p, true)) return fail(CURLE_URL_MALFORMAT);
  while (p < end && isSchemeChar(*p, false)) ++p;
  if (end - p < 3 || std::memcmp(p, "://", 3) != 0) return fail(CURLE_URL_MALFORMAT);
  const UrlSpan scheme{url, static_cast<size_t>(p - url)};
  p += 3;

  // authority: [user[:password]@]host[:port], up to "/", "?", "#" or the end
  const char* authorityEnd = p;
  while (authorityEnd < end && *authorityEnd != '/' && *authorityEnd != '?' && *authorityEnd != '#')
    ++authorityEnd;
  const char* hostStart = p;
  for (const char* q = p; q < authorityEnd; ++q)
    if (*q == '@') hostStart = q + 1;
  if (hostStart != p) {
    const char* userEnd = p;
    while (userEnd < hostStart - 1 && *userEnd != ':') ++userEnd;
    components->user = {p, static_cast<size_t>(userEnd - p)};
    if (userEnd < hostStart - 1)
      components->password = {userEnd + 1, static_cast<size_t>(hostStart - 1 - (userEnd + 1))};
    else
      components->password = {hostStart - 1, 0};
  } else {
    components->user = {p, 0};
    components->password = {p, 0};
  }

  const char* portStart = nullptr;
  if (hostStart < authorityEnd && *hostStart == '[') {
    const char* close = static_cast<const char*>(
        std::memchr(hostStart, ']', static_cast<size_t>(authorityEnd - hostStart)));
    if (close == nullptr) return fail(CURLE_URL_MALFORMAT);
    components->host = {hostStart + 1, static_cast<size_t>(close - hostStart - 1)};
    if (close + 1 < authorityEnd) {
      if (close[1] != ':') return fail(CURLE_URL_MALFORMAT);
      portStart = close + 2;
    }
  } else {
    const char* colon = hostStart;
    while (colon < authorityEnd && *colon != ':') ++colon;
    components->host = {hostStart, static_cast<size_t>(colon - hostStart)};
    if (colon < authorityEnd) portStart = colon + 1;
  }
  if (components->host.length == 0) return fail(CURLE_URL_MALFORMAT);

  components->port = defaultPort(scheme);
  if (portStart != nullptr && portStart < authorityEnd) {
    uint32_t port = 0;
    for (const char* q = portStart; q < authorityEnd; ++q) {
      if (*q < '0' || *q > '9') return fail(CURLE_URL_MALFORMAT);
      port = port * 10 + static_cast<uint32_t>(*q - '0');
      if (port > 65535) return fail(CURLE_URL_MALFORMAT);
    }
    if (port == 0) return fail(CURLE_URL_MALFORMAT);
    components->port = static_cast<uint16_t>(port);
  }

  const char* pathEnd = authorityEnd;
  while (pathEnd < end && *pathEnd != '?' && *pathEnd != '#') ++pathEnd;
  components->scheme = scheme;
  components->path = {authorityEnd, static_cast<size_t>(pathEnd - authorityEnd)};
  components->extra = {pathEnd, static_cast<size_t>(end - pathEnd)};
  components->secure = equalsNoCase(scheme, "https");
  return true;
}

NetHandle internetOpen(const char* agent) {
  if (!globalReady()) return nullptr;
  std::unique_ptr<Session> session(new (std::nothrow) Session());
  if (!session) {
    fail(CURLE_OUT_OF_MEMORY);
    return nullptr;
  }
  session->curl.reset(curl_easy_init());
  if (!session->curl) {
    fail(CURLE_FAILED_INIT);
    return nullptr;
  }
  if (agent != nullptr) {
    const CURLcode rc = curl_easy_setopt(session->curl.get(), CURLOPT_USERAGENT, agent);
    if (rc != CURLE_OK) {
      fail(rc);
      return nullptr;
    }
    try {
      session->agent = agent;
    } catch (const std::bad_alloc&) {
      fail(CURLE_OUT_OF_MEMORY);
      return nullptr;
    }
  }
  return session.release();
}

NetHandle internetConnect(NetHandle sessionHandle, const char* host, uint16_t port,
                          const char* user, const char* password) {
  auto* session = as<Session>(sessionHandle, Kind::session);
  if (session == nullptr || host == nullptr || *host == '\0') {
    fail(CURLE_BAD_FUNCTION_ARGUMENT);
    return nullptr;
  }
  try {
    auto connection = std::make_unique<Connection>();
    connection->session = session;
    connection->host = host;
    connection->port = port;
    connection->hasUser = user != nullptr;
    if (user != nullptr) connection->user = user;
    if (password != nullptr) connection->password = password;
    return connection.release();
  } catch (const std::bad_alloc&) {
    fail(CURLE_OUT_OF_MEMORY);
    return nullptr;
  }
}

NetHandle httpOpenRequest(NetHandle connectionHandle, const char* method, const char* target,
                          bool secure) {
  auto* connection = as<Connection>(connectionHandle, Kind::connection);
  if (connection == nullptr) {
    fail(CURLE_BAD_FUNCTION_ARGUMENT);
    return nullptr;
  }
  try {
    auto request = std::make_unique<Request>();
    request->connection = connection;
    request->method = method != nullptr && *method != '\0' ? method : "GET";
    request->target = target != nullptr && *target != '\0' ? target : "/";
    request->secure = secure;
    return request.release();
  } catch (const std::bad_alloc&) {
    fail(CURLE_OUT_OF_MEMORY);
    return nullptr;
  }
}

bool httpSendRequest(NetHandle requestHandle, const char* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  auto* request = as<Request>(requestHandle, Kind::request);
  if (request == nullptr || (headers == nullptr && headersLength != 0) ||
      (body == nullptr && bodyLength != 0))
    return fail(CURLE_BAD_FUNCTION_ARGUMENT);
  if (headers == nullptr) headers = "";
  if (body == nullptr) body = "";
  {
    const std::lock_guard<std::mutex> guard(sendLock);
    if (slot == Slot::running) {
      setLastError(kSendBusy);
      return false;
    }
  }
  JobOwner job;
  try {
    job = prepare(*request, headers, headersLength, body, bodyLength);
  } catch (const std::bad_alloc&) {
    return fail(CURLE_OUT_OF_MEMORY);
  }
  if (!job) return false;
  (void)moduleKey();  // made here, not on the sender thread
  job->module = referenceToSelf();
  reapLastThread();
  {
    // Only this thread starts sends, so the slot is still not running.
    const std::lock_guard<std::mutex> guard(sendLock);
    slot = Slot::running;
  }
  if (!startThread(std::move(job))) {
    const std::lock_guard<std::mutex> guard(sendLock);
    slot = Slot::idle;
    return fail(CURLE_FAILED_INIT);
  }
  return true;
}

bool posix::sendRunning() {
  const std::lock_guard<std::mutex> guard(sendLock);
  return slot == Slot::running;
}

SendOutcome httpSendOutcome() {
  const std::lock_guard<std::mutex> guard(sendLock);
  switch (slot) {
    case Slot::idle:
      return SendOutcome::none;
    case Slot::running:
      return SendOutcome::running;
    case Slot::done:
      break;
  }
  slot = Slot::idle;
  if (slotError == 0) return SendOutcome::sent;
  setLastError(slotError);
  return SendOutcome::failed;
}

void internetClose(NetHandle handle) { delete static_cast<NetObject*>(handle); }

}  // namespace platform
