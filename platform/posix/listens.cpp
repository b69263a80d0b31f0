// The listening history's system services on POSIX threads and libcurl.
//
// The thread holds a reference to the object its body lives in and drops it
// (dlclose) after the body has returned for good, like the output worker.
// Requests are libcurl easy transfers on that thread; a progress callback
// ends one as soon as cancelListensRequests is called.
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "platform/port_listens.h"
#include "platform/posix/module_hold.h"

namespace platform {
namespace {

pthread_mutex_t listensLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t listensWake = PTHREAD_COND_INITIALIZER;
std::atomic<bool> requestsCancelled{false};

struct ListensWorker {
  ListensWorkerBody body;
  void* context;
  void* module;
};
using ListensWorkerOwner = std::unique_ptr<ListensWorker>;

bool workerRunning = false;  // under listensLock
pthread_t workerThread;
bool workerJoinable = false;  // the starting thread alone

void* runWorker(void* parameter) {
  ListensWorkerOwner owner(static_cast<ListensWorker*>(parameter));
  const ListensWorker worker = *owner;
  owner.reset();
  posix::holdUntilThreadEnds(worker.module);
  worker.body(worker.context);
  pthread_mutex_lock(&listensLock);
  workerRunning = false;
  pthread_cond_broadcast(&listensWake);
  pthread_mutex_unlock(&listensLock);
  return nullptr;
}

timespec deadlineAfter(uint32_t waitMs) {
  timespec at{};
  clock_gettime(CLOCK_REALTIME, &at);
  at.tv_sec += waitMs / 1000;
  at.tv_nsec += static_cast<long>(waitMs % 1000) * 1000000L;
  if (at.tv_nsec >= 1000000000L) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000L;
  }
  return at;
}

int makeFolder(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  const size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (const int rc = makeFolder(folder.substr(0, slash)); rc != 0) return rc;
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using ListensCurlOwner = std::unique_ptr<CURL, CurlDeleter>;
using ListensSlistOwner = std::unique_ptr<curl_slist, SlistDeleter>;

struct FdCloser {
  void operator()(int* fd) const {
    ::close(*fd);
    delete fd;
  }
};
using ListensFdOwner = std::unique_ptr<int, FdCloser>;

size_t keepBody(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<ListensAnswer*>(user);
  const size_t n = size * count;
  const size_t room = LISTENS_ANSWER_LIMIT - std::min(LISTENS_ANSWER_LIMIT, answer->body.size());
  answer->body.append(data, std::min(n, room));
  return n;
}

size_t readHeader(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<ListensAnswer*>(user);
  const size_t n = size * count;
  const std::string line(data, n);
  constexpr const char* NAME = "x-ratelimit-reset-in:";
  if (line.size() > std::strlen(NAME) && strncasecmp(line.c_str(), NAME, std::strlen(NAME)) == 0) {
    char* end = nullptr;
    const long long value = std::strtoll(line.c_str() + std::strlen(NAME), &end, 10);
    if (end != line.c_str() + std::strlen(NAME) && value >= 0) answer->resetInSeconds = value;
  }
  return n;
}

int progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return requestsCancelled.load() ? 1 : 0;
}

}  // namespace

bool startListensWorker(ListensWorkerBody body, void* context) {
  if (workerJoinable) return false;
  static const CURLcode curlReady = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (curlReady != CURLE_OK) return false;
  posix::prepareModuleHolds();
  ListensWorkerOwner worker(new (std::nothrow) ListensWorker{body, context, nullptr});
  if (!worker) return false;
  worker->module = posix::referenceToObjectOf(reinterpret_cast<const void*>(body));
  requestsCancelled = false;
  pthread_mutex_lock(&listensLock);
  workerRunning = true;
  pthread_mutex_unlock(&listensLock);
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int rc = pthread_create(&workerThread, nullptr, &runWorker, worker.get());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    if (worker->module != nullptr) dlclose(worker->module);
    pthread_mutex_lock(&listensLock);
    workerRunning = false;
    pthread_mutex_unlock(&listensLock);
    return false;
  }
  (void)worker.release();  // the thread's now
  workerJoinable = true;
  return true;
}

bool joinListensWorker(uint32_t waitMs) {
  if (!workerJoinable) return true;
  const timespec at = deadlineAfter(waitMs);
  pthread_mutex_lock(&listensLock);
  while (workerRunning) {
    if (pthread_cond_timedwait(&listensWake, &listensLock, &at) == ETIMEDOUT) break;
  }
  const bool ended = !workerRunning;
  pthread_mutex_unlock(&listensLock);
  if (!ended) return false;
  pthread_join(workerThread, nullptr);
  workerJoinable = false;
  return true;
}

void lockListens() { pthread_mutex_lock(&listensLock); }
void unlockListens() { pthread_mutex_unlock(&listensLock); }

void waitListens(uint32_t waitMs) {
  if (waitMs == LISTENS_WAIT_UNTIMED) {
    pthread_cond_wait(&listensWake, &listensLock);
    return;
  }
  const timespec at = deadlineAfter(waitMs);
  pthread_cond_timedwait(&listensWake, &listensLock, &at);
}

// Broadcast: the joiner waits on the same condition as the thread.
void wakeListens() { pthread_cond_broadcast(&listensWake); }

uint64_t listensClockMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

int64_t listensUnixSeconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

std::string listensPlayerName() {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  std::string name(self, static_cast<size_t>(n));
  name = name.substr(name.find_last_of('/') + 1);
  return name.substr(0, name.find('.'));
}

StateFolder listensStateFolder() {
  StateFolder folder;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    folder.path = state;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
      folder.error = ENOENT;
      return folder;
    }
    folder.path = std::string(home) + "/.local/state";
  }
  while (folder.path.size() > 1 && folder.path.back() == '/') folder.path.pop_back();
  folder.path += "/trellicast";
  folder.error = static_cast<uint32_t>(makeFolder(folder.path));
  return folder;
}

WholeFile readWholeFile(const std::string& folder, const std::string& name) {
  WholeFile file;
  const std::string path = folder + "/" + name;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) file.error = static_cast<uint32_t>(errno);
    return file;
  }
  const ListensFdOwner owner(new int(fd));
  file.found = true;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      file.error = static_cast<uint32_t>(errno);
      return file;
    }
    if (n == 0) break;
    file.bytes.append(chunk, static_cast<size_t>(n));
  }
  return file;
}

ListensAnswer listensRequest(const ListensRequest& request) {
  ListensAnswer answer;
  if (requestsCancelled.load()) {
    answer.error = CURLE_ABORTED_BY_CALLBACK;
    return answer;
  }
  const ListensCurlOwner curl(curl_easy_init());
  if (!curl) {
    answer.error = CURLE_FAILED_INIT;
    return answer;
  }
  CURL* c = curl.get();
  ListensSlistOwner headers;
  const auto add = [&](const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown != nullptr) {
      (void)headers.release();
      headers.reset(grown);
    }
  };
  add("Expect:");
  if (request.authorization != nullptr) add(std::string("Authorization: ") + request.authorization);
  if (request.body != nullptr) add("Content-Type: application/json");
  curl_slist* list = headers.get();
  curl_easy_setopt(c, CURLOPT_URL, request.url);
  curl_easy_setopt(c, CURLOPT_USERAGENT, request.agent);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(LISTENS_REQUEST_TIMEOUT_MS));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(LISTENS_REQUEST_TIMEOUT_MS));
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &progress);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &keepBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &readHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &answer);
  if (request.body != nullptr) {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.bodyLength));
  }
  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    answer = ListensAnswer{};
    answer.error = rc;
    return answer;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  answer.answered = true;
  answer.status = static_cast<unsigned>(status);
  return answer;
}

void cancelListensRequests() { requestsCancelled = true; }

}  // namespace platform
