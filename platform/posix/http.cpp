// The port's HTTP post on libcurl.
//
// httpPost fails at once at the stage whose Windows call would fail there,
// so the core's messages mean the same thing on both builds: "open" when
// libcurl cannot set itself up or no handle can be had, "connect" and
// "request" on bad arguments, "send" when the transfer cannot be built or a
// post is already in flight (SEND_BUSY). Otherwise it builds the transfer
// (its own copies of the headers and the body) and hands it to the sender
// thread, which resolves, connects, does the TLS handshake, writes the
// request, reads the answer's status line and headers, reads and discards
// up to ANSWER_BODY_LIMIT bytes of its body, and only then lets go of the
// connection. Every network failure (refused, name not found, certificate,
// timeout, a reset, an answer that is not HTTP) is the post's outcome,
// taken later through httpPostOutcome with the libcurl code in it.
//
// One curl handle serves every post, one after the other (only one is ever
// in flight): its connection cache keeps the connection, and a TLS session,
// open for the next post where HTTP/1.1 allows it.
//
// Timeouts. Every transfer is bounded by platform::NET_TIMEOUT_MS twice
// over: CURLOPT_CONNECTTIMEOUT_MS cuts name resolution (curl's threaded
// resolver honours it), the TCP connect and the TLS handshake, and
// CURLOPT_TIMEOUT_MS cuts the whole transfer, the wait for the answer
// included. One post occupies the sender thread for at most NET_TIMEOUT_MS
// (plus scheduling), whatever the server does; the caller's thread is never
// held.
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

#include "platform/percent.h"
#include "platform/port.h"
#include "platform/posix/errors.h"
#include "platform/posix/module_hold.h"
#include "platform/posix/wake.h"

namespace platform {

namespace {

constexpr const char* CONTINUE_SUPPRESSED = "Expect:";
constexpr const char* ACCEPT_SUPPRESSED = "Accept:";

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlOwner = std::unique_ptr<CURL, CurlDeleter>;
using SlistOwner = std::unique_ptr<curl_slist, SlistDeleter>;

bool fail(CURLcode code) {
  setLastError(static_cast<uint32_t>(code));
  return false;
}

void endSendAtExit();

// libcurl (and the TLS library under it) set up once. The exit handler is
// registered after them, so it runs before their own clean-up at exit.
// CURLE_OK when ready.
CURLcode globalSetUp() {
  static const CURLcode code = [] {
    const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc == CURLE_OK) std::atexit(&endSendAtExit);
    return rc;
  }();
  return code;
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

// What the sender reads of the answer: the reason phrase and Location of
// the last status line's headers, and how much of the body it discarded.
struct Answer {
  std::string reason;
  std::string location;
  size_t bodyBytes = 0;
};

// Both as sent, without the line's end and surrounding blanks.
std::string trimmed(const char* text, size_t length) {
  size_t start = 0;
  while (start < length && (text[start] == ' ' || text[start] == '\t')) ++start;
  while (length > start && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                            text[length - 1] == ' ' || text[length - 1] == '\t'))
    --length;
  return std::string(text + start, length - start);
}

bool startsWithNoCase(const char* text, size_t length, const char* word) {
  const size_t n = std::strlen(word);
  if (length < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

size_t readHeader(char* line, size_t size, size_t count, void* userdata) {
  const size_t length = size * count;
  auto* answer = static_cast<Answer*>(userdata);
  try {
    if (startsWithNoCase(line, length, "http/")) {
      // "HTTP/1.1 404 Not Found": a new answer starts (after a 1xx one).
      answer->reason.clear();
      answer->location.clear();
      const char* end = line + length;
      const char* p = static_cast<const char*>(std::memchr(line, ' ', length));
      if (p != nullptr) p = static_cast<const char*>(std::memchr(p + 1, ' ', end - p - 1));
      if (p != nullptr) answer->reason = trimmed(p + 1, static_cast<size_t>(end - p - 1));
    } else if (startsWithNoCase(line, length, "location:")) {
      answer->location = trimmed(line + 9, length - 9);
    }
  } catch (const std::bad_alloc&) {
    return 0;  // ends the transfer: the outcome is then out of memory
  }
  return length;
}

// Discards the body, up to the limit: past it the transfer stops (and the
// connection is not kept).
size_t readBody(char*, size_t size, size_t count, void* userdata) {
  auto* answer = static_cast<Answer*>(userdata);
  answer->bodyBytes += size * count;
  return answer->bodyBytes > ANSWER_BODY_LIMIT ? 0 : size * count;
}

// Ends a transfer at once when the process exits under it.
int stopWhenAbandoning(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return abandoning.load() ? 1 : 0;
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

// libcurl takes where to connect as a URL: the scheme, the server and the
// port the core split out, then the target. curl sends the target as given
// (CURLOPT_PATH_AS_IS keeps "." and ".." segments), or the whole URL when it
// goes through a proxy; a byte its parser refuses (space, control,
// non-ASCII) is written as %XX, as it has to be in a request line anyway.
std::string curlUrl(const HttpPost& post) {
  std::string url = post.secure ? "https://" : "http://";
  const bool literal6 = std::strchr(post.host, ':') != nullptr;
  if (literal6) url += '[';
  url += post.host;
  if (literal6) url += ']';
  url += ':';
  url += std::to_string(post.port == 0 ? (post.secure ? 443 : 80) : post.port);
  percentEscape(
      post.target, [](unsigned char b) { return b > 0x20 && b < 0x7F && b != '#'; },
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

// One post as the sender thread runs it: the curl handle with every option
// set, and everything the handle points to (the header list, the body, the
// answer's record), so nothing of the caller's is touched once the post has
// started.
struct Job {
  CurlOwner curl;
  SlistOwner headers;
  std::string body;
  Answer answer;
};

struct JobDeleter {
  void operator()(Job* job) const { delete job; }
};
using JobOwner = std::unique_ptr<Job, JobDeleter>;

// What the player's thread and the sender share is under sendLock, and the
// sender sleeps on sendWake between posts. Both are statically initialised
// and trivially destructible.
pthread_mutex_t sendLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t sendWake = PTHREAD_COND_INITIALIZER;

class SendGuard {
 public:
  SendGuard() { pthread_mutex_lock(&sendLock); }
  ~SendGuard() { pthread_mutex_unlock(&sendLock); }
  SendGuard(const SendGuard&) = delete;
  SendGuard& operator=(const SendGuard&) = delete;
};

// The handle every post uses in turn, between posts; under sendLock. Its
// connection cache is what keeps a connection for the next post.
CURL* idleCurl = nullptr;

CurlOwner takeHandle() {
  {
    const SendGuard guard;
    if (idleCurl != nullptr) {
      CURL* curl = idleCurl;
      idleCurl = nullptr;
      curl_easy_reset(curl);  // options only: live connections stay
      return CurlOwner(curl);
    }
  }
  return CurlOwner(curl_easy_init());
}

void returnHandle(CurlOwner curl) {
  const SendGuard guard;
  if (idleCurl == nullptr) idleCurl = curl.release();
}

// Builds the post on the caller's thread: the curl handle, the header list
// and copies of the body and of every setting read from the environment.
// Null when something cannot be had; the result tells where and why.
JobOwner prepare(const HttpPost& post, PostStartResult* result) {
  result->stage = PostStart::open;
  JobOwner job(new (std::nothrow) Job());
  if (!job) {
    result->error = CURLE_OUT_OF_MEMORY;
    return nullptr;
  }
  job->curl = takeHandle();
  if (!job->curl) {
    result->error = CURLE_FAILED_INIT;
    return nullptr;
  }
  CURL* curl = job->curl.get();

  result->stage = PostStart::send;
  curl_slist* raw = nullptr;
  const bool listed = appendHeaderLines(post.headers, post.headersLength, &raw);
  job->headers.reset(raw);
  if (!listed) {
    result->error = CURLE_OUT_OF_MEMORY;
    return nullptr;
  }
  for (const char* suppressed : {CONTINUE_SUPPRESSED, ACCEPT_SUPPRESSED}) {
    curl_slist* grown = curl_slist_append(job->headers.get(), suppressed);
    if (grown == nullptr) {
      result->error = CURLE_OUT_OF_MEMORY;
      return nullptr;
    }
    (void)job->headers.release();
    job->headers.reset(grown);
  }
  job->body.assign(static_cast<const char*>(post.body), post.bodyLength);

  // curl keeps its own copies of every text option but the body.
  const std::string url = curlUrl(post);
  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, option, value);
  };
  if (post.agent != nullptr) set(CURLOPT_USERAGENT, post.agent);
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_PATH_AS_IS, 1L);
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_POST, 1L);
  set(CURLOPT_POSTFIELDS, job->body.data());
  set(CURLOPT_POSTFIELDSIZE, static_cast<long>(post.bodyLength));
  set(CURLOPT_HTTPHEADER, job->headers.get());
  if (post.user != nullptr) {
    set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    set(CURLOPT_USERNAME, post.user);
    set(CURLOPT_PASSWORD, post.password != nullptr ? post.password : "");
  }
  if (post.secure) {
    if (const char* bundle = std::getenv("CURL_CA_BUNDLE"); bundle != nullptr && *bundle)
      set(CURLOPT_CAINFO, bundle);
    else if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file)
      set(CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir)
      set(CURLOPT_CAPATH, dir);
  }
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(NET_TIMEOUT_MS));
  set(CURLOPT_TIMEOUT_MS, static_cast<long>(NET_TIMEOUT_MS));
  set(CURLOPT_HEADERFUNCTION, &readHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&job->answer));
  set(CURLOPT_WRITEFUNCTION, &readBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&job->answer));
  set(CURLOPT_XFERINFOFUNCTION, &stopWhenAbandoning);
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_SOCKOPTFUNCTION, &noteSocket);
  set(CURLOPT_CLOSESOCKETFUNCTION, &closeSocket);
  if (rc != CURLE_OK) {
    result->error = static_cast<uint32_t>(rc);
    return nullptr;
  }
  return job;
}

void copyCut(const std::string& text, char* out, size_t capacity) {
  const size_t n = std::min(text.size(), capacity - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// The post itself and what became of it.
PostOutcome perform(Job& job) {
  PostOutcome outcome;
  const CURLcode rc = curl_easy_perform(job.curl.get());
  long status = 0;
  // Once the status line and headers are in, the server has answered, even
  // when its body is cut (at the limit, or by the server).
  if (curl_easy_getinfo(job.curl.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
      status > 0) {
    outcome.state = PostOutcome::State::answered;
    outcome.status = static_cast<unsigned>(status);
    copyCut(job.answer.reason, outcome.reason, sizeof outcome.reason);
    if (status >= 300 && status < 400)
      copyCut(job.answer.location, outcome.location, sizeof outcome.location);
    return outcome;
  }
  outcome.state = PostOutcome::State::failed;
  outcome.error = static_cast<uint32_t>(rc == CURLE_OK ? CURLE_WEIRD_SERVER_REPLY : rc);
  outcome.untrustedCertificate = rc == CURLE_PEER_FAILED_VERIFICATION;
  return outcome;
}

// ---- The sender thread ------------------------------------------------------
//
// One thread sends every post: started with the first post, it sleeps
// (untimed) until httpPost hands it the next job, owns that job (and so
// libcurl's handle) from then to the post's end and frees it there. It ends
// once notifyPostEnded has been told to stop and no post is left, and the
// next post after that starts it again. The thread holds a reference to the
// shared object this code lives in, so a player that unloads the module
// while a send runs, or before the thread has ended, leaves the code mapped
// until it ends. The reference cannot be dropped by this code itself (the
// return would run unmapped instructions): it is a thread-specific value
// whose destructor is dlclose, which the C library calls as the thread
// ends, after this code has returned for good.
//
// The state the player's thread and the sender share lives in static
// storage of trivially destructible types: a process that exits while a
// send runs tears nothing down under it.

enum class Slot { idle, running, done };

Slot slot = Slot::idle;     // under sendLock
PostOutcome slotOutcome;    // under sendLock: the finished post's outcome
Job* pendingJob = nullptr;  // under sendLock: handed to the sender, not yet taken
bool senderAlive = false;   // under sendLock: the sender runs and takes jobs
bool senderEnding = false;  // under sendLock: the sender ends once no job is left

// The sender thread, not yet reaped; touched by the player's thread alone
// (and by the exit handler).
pthread_t senderThread;
bool senderJoinable = false;

static_assert(std::is_trivially_destructible_v<pthread_mutex_t>);
static_assert(std::is_trivially_destructible_v<pthread_cond_t>);

void* sendThread(void* module) {
  posix::holdUntilThreadEnds(module);
  pthread_setname_np(pthread_self(), "trellicast-send");  // as ps and /proc show it
  pthread_mutex_lock(&sendLock);
  for (;;) {
    while (pendingJob == nullptr && !senderEnding) pthread_cond_wait(&sendWake, &sendLock);
    if (pendingJob == nullptr) break;
    JobOwner job(pendingJob);
    pendingJob = nullptr;
    pthread_mutex_unlock(&sendLock);
    const PostOutcome outcome = perform(*job);
    // The handle goes back for the next post before the outcome is known, so
    // the next post always finds it.
    returnHandle(std::move(job->curl));
    job.reset();
    pthread_mutex_lock(&sendLock);
    slot = Slot::done;
    slotOutcome = outcome;
    pthread_mutex_unlock(&sendLock);
    posix::wakeLoop();
    pthread_mutex_lock(&sendLock);
  }
  senderAlive = false;
  pthread_mutex_unlock(&sendLock);
  return nullptr;
}

// Who is told on the player's thread that a post has ended; touched on that
// thread alone.
PostEndedCallback postEndedCallback = nullptr;

void tellPostEnded() {
  if (const PostEndedCallback callback = postEndedCallback) callback();
}

// Reaps a sender thread that has ended (or is ending: at most the moment it
// takes to exit). Never the calling thread itself.
void reapSender() {
  if (!senderJoinable || pthread_equal(senderThread, pthread_self())) return;
  pthread_join(senderThread, nullptr);
  senderJoinable = false;
}

// A sender that takes the next job: the running one (told not to end), or a
// new one started with every signal blocked, so signals meant for the player
// still reach the player's thread. False when no thread can be had.
bool readySender() {
  {
    const SendGuard guard;
    if (senderAlive) {
      senderEnding = false;
      return true;
    }
  }
  reapSender();
  posix::prepareModuleHolds();  // made here, not on the sender thread
  void* module = posix::referenceToObjectOf(reinterpret_cast<const void*>(&sendThread));
  {
    const SendGuard guard;
    senderAlive = true;
    senderEnding = false;
  }
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int rc = pthread_create(&senderThread, nullptr, &sendThread, module);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    if (module != nullptr) dlclose(module);
    const SendGuard guard;
    senderAlive = false;
    return false;
  }
  senderJoinable = true;
  return true;
}

// Ends a send still running when the process exits, and waits (briefly)
// for its thread to free what it holds.
void endSendAtExit() {
  abandoning.store(true);
  shutDownSenderSockets();
  for (int waited = 0; waited < 2000; ++waited) {
    {
      const SendGuard guard;
      if (slot != Slot::running) break;
    }
    shutDownSenderSockets();  // one opened since
    usleep(1000);
  }
  {
    const SendGuard guard;
    if (slot == Slot::running) return;
    senderEnding = true;
  }
  pthread_cond_signal(&sendWake);
  reapSender();
  const SendGuard guard;
  if (idleCurl != nullptr) curl_easy_cleanup(idleCurl);
  idleCurl = nullptr;
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
  components->path = {authorityEnd, static_cast<size_t>(pathEnd - authorityEnd)};
  components->extra = {pathEnd, static_cast<size_t>(end - pathEnd)};
  components->secure = equalsNoCase(scheme, "https");
  return true;
}

PostStartResult httpPost(const HttpPost& post) {
  const auto refused = [](PostStart stage, uint32_t code) { return PostStartResult{stage, code}; };
  if (post.host == nullptr || *post.host == '\0')
    return refused(PostStart::connect, CURLE_BAD_FUNCTION_ARGUMENT);
  if (post.target == nullptr || (post.headers == nullptr && post.headersLength != 0) ||
      (post.body == nullptr && post.bodyLength != 0)) {
    return refused(PostStart::request, CURLE_BAD_FUNCTION_ARGUMENT);
  }
  if (const CURLcode rc = globalSetUp(); rc != CURLE_OK) return refused(PostStart::open, rc);
  {
    const SendGuard guard;
    if (slot == Slot::running) return refused(PostStart::send, SEND_BUSY);
  }
  HttpPost checked = post;
  if (checked.headers == nullptr) checked.headers = "";
  if (checked.body == nullptr) checked.body = "";
  JobOwner job;
  PostStartResult result;
  try {
    job = prepare(checked, &result);
  } catch (const std::bad_alloc&) {
    return refused(result.stage, CURLE_OUT_OF_MEMORY);
  }
  if (!job) return result;
  if (!readySender()) return refused(PostStart::send, CURLE_FAILED_INIT);
  {
    // Only this thread starts posts, so the slot is still not running.
    const SendGuard guard;
    slot = Slot::running;
    pendingJob = job.release();  // the sender's now
  }
  // Signalled once the lock is let go, so the sender does not wake only to
  // wait for it.
  pthread_cond_signal(&sendWake);
  return PostStartResult{};
}

void notifyPostEnded(WindowHandle, PostEndedCallback callback) {
  postEndedCallback = callback;
  posix::setWakeHandler(callback != nullptr ? &tellPostEnded : nullptr);
  if (callback == nullptr) {
    // The module quits: the sender ends once its post, if any, has ended.
    {
      const SendGuard guard;
      senderEnding = true;
    }
    pthread_cond_signal(&sendWake);
  }
}

bool posix::sendRunning() {
  const SendGuard guard;
  return slot == Slot::running;
}

PostOutcome httpPostOutcome() {
  const SendGuard guard;
  PostOutcome outcome;
  switch (slot) {
    case Slot::idle:
      return outcome;
    case Slot::running:
      outcome.state = PostOutcome::State::running;
      return outcome;
    case Slot::done:
      break;
  }
  slot = Slot::idle;
  return slotOutcome;
}

}  // namespace platform
