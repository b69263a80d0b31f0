// Benchmark of the update cycle (not a test; run by hand):
//  1. how long one tick holds the player's thread against a loopback
//     receiver, next to a bare libcurl POST of the same bytes on a new
//     connection (what a caller that waits for the network would pay);
//  2. the hold against servers that never let a send finish quickly: a
//     silent plain-http server, a TLS port that never answers the
//     handshake (with a tick while that send runs, and the outcome taken
//     at the tick after it), a server that never reads the largest body;
//  3. heap growth over 10 000 cycles, and how many posts were served;
//  4. connections and TLS handshakes a receiver that keeps connections
//     open sees over 100 posts, on http and https;
//  5. a receiver that answers 1.5 s late at a 1 s interval: the hold of
//     each tick, and whether a post arrived after a newer one.
// Each tick is timed alone: before it, the previous send has ended and the
// receiver has served it, so no measurement queues behind another.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/player.h"
#include "base/state.h"
#include "platform/port.h"
#include "plugin/plugin.h"
#include "report/update.h"
#include "tests/gauntlet/fault_server.h"
#include "tests/support/bare_post.h"
#include "tests/support/fake_platform.h"

// The same program measures a backend that sends on the player's thread
// (which has no sender to wait for) and one that sends on its own thread.
#if __has_include("platform/posix/http.h")
#include "platform/posix/http.h"
#define TRELLICAST_SENDER_THREAD 1
#else
#define TRELLICAST_SENDER_THREAD 0
#endif

namespace {

using Clock = std::chrono::steady_clock;
platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x1234);
// Ticks timed against the healthy receiver and against a bare POST.
constexpr int TIMED_ROUNDS = 400;
// Cycles over which the heap must not grow.
constexpr int HEAP_CYCLES = 10000;
// Ticks against each misbehaving server.
constexpr int SLOW_ROUNDS = 20;
// The longest a tick may hold the player's thread.
constexpr double GOAL_MS = 1.0;
std::string title = "Some Artist - Some Title (Live & Loud)";

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// What a careful caller of libcurl alone would do to post the same bytes:
// a new handle and connection, the same headers and body.
bool barePost(const std::string& url, const std::string& host, const std::string& body) {
  return bench::barePost(
      url, body,
      {"User-Agent: Trellicast", "Content-Type: application/x-www-form-urlencoded", "Host: " + host,
       "Content-Length: " + std::to_string(body.size()), "Accept:"});
}

void setUrl(const std::string& url) {
  std::memset(urlSetting.get(), 0, URL_MAX_CHARS + 1);
  std::memcpy(urlSetting.get(), url.data(), url.size());
}

// One tick as the timer gives it; returns how long it held the thread.
double timedTick() {
  const auto t0 = Clock::now();
  fake::fireTimer(HOST, UPDATE_TIMER_ID);
  const double held = milliseconds(Clock::now() - t0);
  fake::state().hostMessages.clear();
  return held;
}

// Waits (bounded) until no send is under way.
void waitSendEnded() {
#if TRELLICAST_SENDER_THREAD
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (platform::posix::sendRunning() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
#endif
}

// Waits (bounded) until the receiver has served count posts and the send
// has ended.
void waitServed(const gauntlet::FaultServer& server, size_t count) {
  const auto until = Clock::now() + std::chrono::seconds(3);
  while (server.requests() < count && Clock::now() < until) std::this_thread::yield();
  waitSendEnded();
}

// The tick that takes the last outcome, sending switched off.
double collectTick() {
  const int32_t enabled = enabledSetting;
  enabledSetting = 0;
  const double held = timedTick();
  enabledSetting = enabled;
  return held;
}

struct Summary {
  double median, max;
};
Summary summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.back()};
}

std::string lastBox() {
  return fake::state().boxes.empty() ? "none" : fake::state().boxes.back().text;
}

double worstHold = 0;
void report(const char* what, const std::vector<double>& held, bool tick = true) {
  const Summary s = summarise(held);
  if (tick) worstHold = std::max(worstHold, s.max);
  std::printf("%-44s median %8.3f ms, max %8.3f ms over %zu ticks\n", what, s.median, s.max,
              held.size());
}

// Ticks against a server that never lets the send finish quickly; each
// tick after the previous send ended.
void slowServer(const char* what, const std::string& url) {
  setUrl(url);
  std::vector<double> held;
  for (int i = 0; i < SLOW_ROUNDS; ++i) {
    errorShown = false;
    waitSendEnded();
    held.push_back(timedTick());
  }
  waitSendEnded();
  collectTick();
  report(what, held);
  std::printf("%-44s boxes: %zu (last: %s)\n", "", fake::state().boxes.size(), lastBox().c_str());
  fake::state().boxes.clear();
}

// Posts REUSE_POSTS times to url, a tick each once the previous post was
// served, and says how many connections and handshakes server saw: a
// keep-alive server should see one of each for them all.
constexpr int REUSE_POSTS = 100;
void connectionsOver(const char* what, gauntlet::FaultServer& server, const std::string& url) {
  setUrl(url);
  const size_t accepted = server.accepted(), handshakes = server.handshakes();
  const size_t served = server.requests(), boxes = fake::state().boxes.size();
  std::vector<double> held;
  for (int i = 0; i < REUSE_POSTS; ++i) {
    const size_t before = server.requests();
    held.push_back(timedTick());
    waitServed(server, before + 1);
  }
  collectTick();
  report(what, held);
  std::printf("%-44s %zu posts served: %zu connections, %zu TLS handshakes, %zu boxes%s%s\n", "",
              server.requests() - served, server.accepted() - accepted,
              server.handshakes() - handshakes, fake::state().boxes.size() - boxes,
              fake::state().boxes.size() > boxes ? ", last: " : "",
              fake::state().boxes.size() > boxes ? lastBox().c_str() : "");
}

// The tick number a post of the late run carries in its title, or -1.
long lateTick(const std::string& body) {
  static const std::string key = "wm_data[title]=late%20";
  const size_t at = body.find(key);
  return at == std::string::npos ? -1 : std::strtol(body.c_str() + at + key.size(), nullptr, 10);
}

// LATE_TICKS ticks a second apart against a receiver that answers each post
// 1.5 s after it has read it.
constexpr int LATE_TICKS = 12;
void lateReceiver(gauntlet::FaultServer& late) {
  setUrl("http://127.0.0.1:" + std::to_string(late.port()) + "/np");
  errorShown = false;
  const size_t boxes = fake::state().boxes.size();
  std::vector<double> held;
  for (int i = 0; i < LATE_TICKS; ++i) {
    title = "late " + std::to_string(i);
    const auto t0 = Clock::now();
    held.push_back(timedTick());
    std::this_thread::sleep_until(t0 + std::chrono::seconds(1));
  }
  waitSendEnded();
  collectTick();
  late.wait(LATE_TICKS, 2000 + gauntlet::LATE_ANSWER_MS);
  long newest = -1;
  size_t older = 0, posts = 0;
  for (const auto& post : late.take()) {
    const long tick = lateTick(post.body);
    if (tick < 0) continue;
    ++posts;
    if (tick < newest) ++older;
    newest = std::max(newest, tick);
  }
  report("answer 1.5 s late, ticks 1 s apart:", held);
  std::printf("%-44s %zu posts for %d ticks, %zu after a newer one, %zu boxes\n", "", posts,
              LATE_TICKS, older, fake::state().boxes.size() - boxes);
}

}  // namespace

int main(int, char** argv) {
  // Sends end on another thread, whose per-thread allocation cache holds a
  // varying handful of freed blocks that the heap counters take as in use:
  // without those caches the heap count before and after a run compares
  // exactly. The setting is read at start-up only, hence the new start.
  if (std::getenv("GLIBC_TUNABLES") == nullptr) {
    setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0", 1);
    execv("/proc/self/exe", argv);
  }
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"})
    unsetenv(name);
  gauntlet::FaultServer server;
  gauntlet::FaultServer silent(gauntlet::Fault::neverRead);
  if (!server.ok() || !silent.ok()) {
    std::fprintf(stderr, "bench_cycle: cannot listen on 127.0.0.1\n");
    return 1;
  }
  server.stopKeeping();
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  const std::string url = "http://" + host + "/np.php?x=1";
  const std::string silentAt = "127.0.0.1:" + std::to_string(silent.port()) + "/np";

  fake::reset();
  fake::state().host = [](uintptr_t, intptr_t code) -> intptr_t {
    switch (code) {
      case GET_STATUS:
        return 1;
      case GET_LIST_POSITION:
        return 0;
      case GET_TITLE:
        return reinterpret_cast<intptr_t>(title.c_str());
    }
    return 0;  // no file name
  };
  fake::putValue("URL", platform::REG_TYPE_SZ, url);
  pluginRecord.hostWindow = HOST;
  pluginInit();
  fake::state().hostMessages.reserve(16);
  std::printf("sender: %s; GLIBC_TUNABLES=%s\n",
              TRELLICAST_SENDER_THREAD ? "own thread" : "player's thread",
              std::getenv("GLIBC_TUNABLES"));

  // Warm up both paths (library set-up, first connections).
  for (int i = 0; i < 50; ++i) {
    const size_t served = server.requests();
    timedTick();
    waitServed(server, served + 1);
  }
  const std::string body = bodyBuffer.get();
  for (int i = 0; i < 50; ++i) barePost(url, host, body);

  // 1. Interleaved, so both see the same machine load.
  std::vector<double> held, bare;
  for (int i = 0; i < TIMED_ROUNDS; ++i) {
    const size_t served = server.requests();
    held.push_back(timedTick());
    waitServed(server, served + 1);
    const auto t0 = Clock::now();
    if (!barePost(url, host, body)) std::fprintf(stderr, "bare post failed\n");
    bare.push_back(milliseconds(Clock::now() - t0));
  }
  report("healthy receiver: tick holds the player", held);
  report("bare libcurl POST, new connection, blocks", bare, false);
  std::printf("hold / bare post (medians): %.2f\n",
              summarise(held).median / summarise(bare).median);
  const size_t timedBoxes = fake::state().boxes.size();

  // 2. Servers that hold a send.
  slowServer("silent plain-http server:", "http://" + silentAt);

  setUrl("https://" + silentAt);
  errorShown = false;
  const size_t acceptedBefore = silent.accepted();
  const auto sendStart = Clock::now();
  const double tlsHeld = timedTick();
  const double duringHeld = timedTick();
  waitSendEnded();
  const double sendRan = milliseconds(Clock::now() - sendStart);
  const double collectHeld = collectTick();
  report("TLS handshake never answered:", {tlsHeld});
  report("  tick while that send runs:", {duringHeld});
  report("  tick that takes its outcome:", {collectHeld});
  std::printf("%-44s send ran %.0f ms on %s (bound %u ms), box: %s\n", "", sendRan,
              TRELLICAST_SENDER_THREAD ? "its thread" : "the player's thread",
              platform::NET_TIMEOUT_MS, lastBox().c_str());
  std::printf("%-44s connections: %zu for the two ticks\n", "", silent.accepted() - acceptedBefore);
  fake::state().boxes.clear();

  title = std::string(9000, 'q');  // the longest body a cycle sends
  slowServer("largest body, server never reads:", "http://" + silentAt);
  std::printf("%-44s body of %zu bytes\n", "", std::strlen(bodyBuffer.get()));
  title = "Some Artist - Some Title (Live & Loud)";
  std::printf("worst hold of all ticks above: %.3f ms  (goal <= %.1f ms)\n", worstHold, GOAL_MS);

  // 3. Heap growth over many cycles against the receiver.
  setUrl(url);
  // The same cycle first, so both measurements find the allocator's and
  // the threads' caches in the same state, each after the last sender
  // thread has exited (it gives its thread cache back as it goes, just
  // after its outcome is known).
  for (int i = 0; i < 200; ++i) {
    const size_t served = server.requests();
    timedTick();
    waitServed(server, served + 1);
  }
  collectTick();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const size_t servedBefore = server.requests();
  const struct mallinfo2 before = mallinfo2();
  // One post at a time, as the timer paces them: the receiver serves one
  // connection after the other and would otherwise fall behind.
  for (int i = 0; i < HEAP_CYCLES; ++i) {
    timedTick();
    waitServed(server, servedBefore + static_cast<size_t>(i) + 1);
  }
  collectTick();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const struct mallinfo2 after = mallinfo2();
  std::printf("heap in use: %zu bytes before, %zu after %d cycles: growth %lld bytes\n",
              before.uordblks, after.uordblks, HEAP_CYCLES,
              static_cast<long long>(after.uordblks) - static_cast<long long>(before.uordblks));
  std::printf("posts served in the heap run: %zu of %d, boxes: %zu%s\n",
              server.requests() - servedBefore, HEAP_CYCLES, fake::state().boxes.size(),
              timedBoxes != 0 ? " (and some in the timed run)" : "");

  // 4. Connections over many posts, http and https, to receivers that keep
  // HTTP/1.1 connections open; the https one with a test authority trusted
  // through CURL_CA_BUNDLE (which the backend reads before SSL_CERT_FILE).
  worstHold = 0;
  connectionsOver("keep-alive receiver, http:", server, url);
  char dir[] = "/tmp/trellicast-bench-XXXXXX";
  if (mkdtemp(dir) != nullptr && gauntlet::makeTestCertificates(dir)) {
    const char* const bundle = std::getenv("CURL_CA_BUNDLE");
    const std::string before = bundle != nullptr ? bundle : "";
    setenv("CURL_CA_BUNDLE", (std::string(dir) + "/ca.pem").c_str(), 1);
    gauntlet::FaultServer secure(gauntlet::Fault::tls,
                                 {std::string(dir) + "/good.pem", std::string(dir) + "/good.key"});
    secure.stopKeeping();
    if (secure.ok())
      connectionsOver("keep-alive receiver, https:", secure,
                      "https://127.0.0.1:" + std::to_string(secure.port()) + "/np");
    if (bundle != nullptr)
      setenv("CURL_CA_BUNDLE", before.c_str(), 1);
    else
      unsetenv("CURL_CA_BUNDLE");
  } else {
    std::printf("keep-alive receiver, https: no test certificates\n");
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);

  // 5. A receiver slower than the interval.
  gauntlet::FaultServer late(gauntlet::Fault::lateAnswer);
  if (late.ok()) lateReceiver(late);
  title = "Some Artist - Some Title (Live & Loud)";
  std::printf("worst hold of the ticks in 4 and 5: %.3f ms  (goal <= %.1f ms)\n", worstHold,
              GOAL_MS);
  pluginQuit();
  return 0;
}
