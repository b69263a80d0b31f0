// The listening history's system services on POSIX and libcurl.
//
// Requests are libcurl easy transfers on the listens thread (a
// platform::Worker); a progress callback ends one as soon as
// cancelListensRequests is called.
#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/port_listens.h"

namespace platform {
namespace {

std::atomic<bool> requestsCancelled{false};

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

bool prepareListensRequests() {
  static const CURLcode curlReady = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (curlReady != CURLE_OK) return false;
  requestsCancelled = false;
  return true;
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
