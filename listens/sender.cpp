#include "listens/sender.h"

#include <algorithm>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "listens/listen_rules.h"
#include "platform/port_listens.h"
#include "platform/port_output.h"
#include "platform/port_worker.h"
#include "trellicast/version.h"

namespace listens {
namespace {

using Json = nlohmann::json;

constexpr const char* USER_AGENT = "Trellicast/" TRELLICAST_VERSION;

struct TokenCheck {
  std::string url;
  std::string token;
};

// What the player's thread and the listens thread share, under the port's lock.
struct SenderShared {
  std::string url;
  std::string token;
  uint64_t configGeneration = 0;
  std::vector<std::string> incoming;  // listens not in the queue file yet
  std::optional<std::string> nowPlaying;
  std::optional<TokenCheck> check;
  std::deque<std::string> statusLines;
  bool quitting = false;
};

SenderShared* sharedState = nullptr;
SenderShared& shared() {
  if (sharedState == nullptr) sharedState = new SenderShared;
  return *sharedState;
}
// The listens thread, its lock and wake-up: made by the first caller and
// let go at the quit once no thread runs.
platform::Worker* senderWorker = nullptr;
platform::Worker& worker() {
  if (senderWorker == nullptr) senderWorker = &platform::newWorker(nullptr);
  return *senderWorker;
}
bool threadStarted = false;  // the player's thread alone

class ListensLock {
 public:
  ListensLock() { platform::lockWorker(worker()); }
  ~ListensLock() { platform::unlockWorker(worker()); }
  ListensLock(const ListensLock&) = delete;
  ListensLock& operator=(const ListensLock&) = delete;
};

void say(const std::string& line) {
  const ListensLock lock;
  shared().statusLines.push_back(line);
  if (shared().statusLines.size() > 8) shared().statusLines.pop_front();
}

// The thread's own state.
struct Sender {
  std::string folder;
  bool folderKnown = false;
  std::vector<std::string> queue;  // in the file's order
  bool fileCurrent = true;         // the file holds the queue
  uint64_t configGeneration = ~uint64_t{0};
  bool refused = false;  // 401: nothing more until the settings change
  uint64_t nextRequestMs = 0;
  uint64_t retryAtMs = 0;
  uint64_t backoffMs = 0;
  size_t singlesLeft = 0;         // after a 400 for a batch: this many go one by one
  bool nowPlayingWaited = false;  // a now-playing gave the queue its turn: it goes next
};

std::string endpoint(const std::string& url, const char* path) {
  std::string base = url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + path;
}

platform::ListensAnswer request(const std::string& url, const std::string& token,
                                const std::string* body) {
  const std::string authorization = "Token " + token;
  platform::ListensRequest r{};
  r.url = url.c_str();
  r.agent = USER_AGENT;
  r.authorization = token.empty() ? nullptr : authorization.c_str();
  r.body = body != nullptr ? body->c_str() : nullptr;
  r.bodyLength = body != nullptr ? body->size() : 0;
  return platform::listensRequest(r);
}

void loadQueue(Sender& sender) {
  const platform::StateFolder folder = platform::listensStateFolder();
  if (folder.error != 0) return;
  sender.folder = folder.path;
  sender.folderKnown = true;
  const platform::WholeFile file = platform::readWholeFile(sender.folder, QUEUE_FILE);
  size_t damaged = 0;
  for (size_t start = 0; start < file.bytes.size();) {
    size_t end = file.bytes.find('\n', start);
    if (end == std::string::npos) end = file.bytes.size();
    const std::string line = file.bytes.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    try {
      const Json item = Json::parse(line);
      if (item.is_object() && item.contains("track_metadata")) {
        sender.queue.push_back(line);
        continue;
      }
    } catch (const std::exception&) {
    }
    ++damaged;
  }
  if (damaged > 0) {
    sender.fileCurrent = false;
    say("Listens queue: " + std::to_string(damaged) + " damaged lines left out");
  }
}

// Replaces the queue file whole with the queue; false when it could not.
bool saveQueue(Sender& sender) {
  if (!sender.folderKnown) loadQueue(sender);
  if (!sender.folderKnown) return false;
  std::string bytes;
  for (const std::string& item : sender.queue) {
    bytes += item;
    bytes += '\n';
  }
  const platform::FileReplace outcome =
      platform::replaceFileWhole(sender.folder, QUEUE_FILE, bytes.data(), bytes.size(), false);
  sender.fileCurrent = outcome.written;
  return outcome.written;
}

void backOff(Sender& sender, uint64_t now) {
  sender.backoffMs =
      sender.backoffMs == 0 ? BACKOFF_FIRST_MS : std::min(sender.backoffMs * 2, BACKOFF_MOST_MS);
  sender.retryAtMs = now + sender.backoffMs;
}

void checkToken(const TokenCheck& check) {
  const platform::ListensAnswer answer =
      request(endpoint(check.url, "/1/validate-token"), check.token, nullptr);
  if (!answer.answered) {
    say("ListenBrainz cannot be reached: (errcode=" + std::to_string(answer.error) + ")");
    return;
  }
  try {
    const Json json = Json::parse(answer.body);
    if (answer.status == 200 && json.value("valid", false)) {
      say("Token valid for " + json.value("user_name", std::string()));
      return;
    }
  } catch (const std::exception&) {
  }
  const std::string words = serverWords(answer.body);
  say(words.empty() ? "ListenBrainz answered " + std::to_string(answer.status) : words);
}

void sendNowPlaying(Sender& sender, const std::string& url, const std::string& token,
                    const std::string& body) {
  const platform::ListensAnswer answer = request(endpoint(url, "/1/submit-listens"), token, &body);
  const uint64_t now = platform::clockMs();
  sender.nextRequestMs = now + REQUEST_SPACING_MS;
  if (!answer.answered) return;
  if (answer.status == 401) {
    sender.refused = true;
    say(TOKEN_REFUSED);
  } else if (answer.status == 429) {
    sender.nextRequestMs = now + std::max<int64_t>(answer.resetInSeconds, 1) * 1000;
  }
}

// Sends the head of the queue once; its answer decides what stays.
void sendQueued(Sender& sender, const std::string& url, const std::string& token) {
  size_t count = std::min(sender.queue.size(), IMPORT_BATCH);
  if (sender.singlesLeft > 0) count = 1;
  const std::vector<std::string> items(sender.queue.begin(),
                                       sender.queue.begin() + static_cast<ptrdiff_t>(count));
  const std::string body = submissionBody(count == 1 ? "single" : "import", items);
  const platform::ListensAnswer answer = request(endpoint(url, "/1/submit-listens"), token, &body);
  const uint64_t now = platform::clockMs();
  sender.nextRequestMs = now + REQUEST_SPACING_MS;
  const auto drop = [&] {
    sender.queue.erase(sender.queue.begin(), sender.queue.begin() + static_cast<ptrdiff_t>(count));
    if (sender.singlesLeft > 0) --sender.singlesLeft;
    saveQueue(sender);
  };
  if (answer.answered && answer.status >= 200 && answer.status < 300) {
    sender.backoffMs = 0;
    drop();
  } else if (answer.answered && answer.status == 400 && count == 1) {
    say("ListenBrainz refused a listen: " + serverWords(answer.body));
    drop();
  } else if (answer.answered && answer.status == 400) {
    sender.singlesLeft = count;  // find the one the server refuses
  } else if (answer.answered && answer.status == 401) {
    sender.refused = true;
    say(TOKEN_REFUSED);
  } else if (answer.answered && answer.status == 429) {
    const int64_t wait = std::max<int64_t>(answer.resetInSeconds, 1);
    sender.retryAtMs = now + static_cast<uint64_t>(wait) * 1000;
    sender.nextRequestMs = std::max(sender.nextRequestMs, sender.retryAtMs);
  } else {
    backOff(sender, now);
  }
}

void runSender(void*) {
  Sender sender;
  loadQueue(sender);
  platform::lockWorker(worker());
  for (;;) {
    SenderShared& state = shared();
    const std::string url = state.url, token = state.token;
    if (state.configGeneration != sender.configGeneration) {
      sender.configGeneration = state.configGeneration;
      sender.refused = false;
      sender.backoffMs = 0;
      sender.retryAtMs = 0;
    }
    std::vector<std::string> incoming;
    incoming.swap(state.incoming);
    std::optional<std::string> nowPlaying;
    nowPlaying.swap(state.nowPlaying);
    std::optional<TokenCheck> check;
    check.swap(state.check);
    const bool quitting = state.quitting;
    platform::unlockWorker(worker());

    if (!incoming.empty()) {
      sender.queue.insert(sender.queue.end(), incoming.begin(), incoming.end());
      sender.fileCurrent = false;
    }
    // The file first: nothing is sent that a kill could lose.
    if (!sender.fileCurrent && !saveQueue(sender) && sender.retryAtMs == 0)
      sender.retryAtMs = platform::clockMs() + BACKOFF_FIRST_MS;
    if (quitting) return;
    if (check) checkToken(*check);

    uint64_t now = platform::clockMs();
    const bool sending = !url.empty() && !token.empty() && !sender.refused;
    // The queue and a now-playing take turns; the queue goes first.
    const bool queueDue = sending && !sender.queue.empty() && sender.fileCurrent;
    const bool nowPlayingFirst = nowPlaying && sender.nowPlayingWaited;
    if (queueDue && !nowPlayingFirst && now >= sender.retryAtMs && now >= sender.nextRequestMs) {
      sendQueued(sender, url, token);
      now = platform::clockMs();
    }
    if (sending && nowPlaying) {
      if (now < sender.nextRequestMs) {
        sender.nowPlayingWaited = true;
        const ListensLock lock;
        if (!shared().nowPlaying) shared().nowPlaying = std::move(nowPlaying);
      } else {
        sender.nowPlayingWaited = false;
        sendNowPlaying(sender, url, token, *nowPlaying);
        now = platform::clockMs();
      }
    }

    uint32_t waitMs = platform::WORKER_WAIT_UNTIMED;
    const auto until = [&](uint64_t at) {
      const uint64_t ms = at > now ? at - now : 0;
      waitMs = std::min<uint64_t>(waitMs, std::min<uint64_t>(ms, 0x7FFFFFFF));
    };
    if (queueDue || (sending && !sender.queue.empty()))
      until(std::max(sender.retryAtMs, sender.nextRequestMs));
    if (!sender.fileCurrent) until(std::max(sender.retryAtMs, now + BACKOFF_FIRST_MS));

    platform::lockWorker(worker());
    const SenderShared& after = shared();
    const bool news = !after.incoming.empty() || after.check || after.quitting ||
                      after.configGeneration != sender.configGeneration ||
                      (after.nowPlaying && now >= sender.nextRequestMs);
    if (!news && waitMs > 0) {
      platform::waitWorker(
          worker(), after.nowPlaying && sending
                        ? static_cast<uint32_t>(std::min<uint64_t>(
                              waitMs, sender.nextRequestMs > now ? sender.nextRequestMs - now : 0))
                        : waitMs);
    }
  }
}

void ensureThread() {
  if (threadStarted) return;
  threadStarted =
      platform::prepareListensRequests() && platform::startWorker(worker(), &runSender, nullptr);
}

}  // namespace

void senderConfigure(const std::string& url, const std::string& token) {
  {
    const ListensLock lock;
    SenderShared& state = shared();
    if (state.url != url || state.token != token) {
      state.url = url;
      state.token = token;
      ++state.configGeneration;
    }
    state.quitting = false;
  }
  // Without a URL nothing is sent: a thread already running is told, none
  // is started for it.
  if (!url.empty()) ensureThread();
  platform::wakeWorker(worker());
}

void senderQueue(const std::string& item) {
  {
    const ListensLock lock;
    shared().incoming.push_back(item);
  }
  ensureThread();
  platform::wakeWorker(worker());
}

void senderNowPlaying(const std::string& body) {
  {
    const ListensLock lock;
    shared().nowPlaying = body;
  }
  ensureThread();
  platform::wakeWorker(worker());
}

void senderCheckToken(const std::string& url, const std::string& token) {
  {
    const ListensLock lock;
    shared().check = TokenCheck{url, token};
  }
  ensureThread();
  platform::wakeWorker(worker());
}

bool senderStatusLine(std::string* line) {
  const ListensLock lock;
  if (sharedState == nullptr || shared().statusLines.empty()) return false;
  *line = shared().statusLines.front();
  shared().statusLines.pop_front();
  return true;
}

// Lets go of what the room made for its thread, once none runs.
void releaseShared() {
  delete sharedState;
  sharedState = nullptr;
  if (senderWorker != nullptr) platform::releaseWorker(*senderWorker);
  senderWorker = nullptr;
}

void senderQuit() {
  if (!threadStarted) {
    releaseShared();
    return;
  }
  {
    const ListensLock lock;
    shared().quitting = true;
  }
  platform::wakeWorker(worker());
  platform::cancelListensRequests();
  if (!platform::joinWorker(worker(), SENDER_QUIT_WAIT_MS)) return;
  threadStarted = false;
  releaseShared();
}

}  // namespace listens
