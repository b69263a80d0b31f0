// Benchmark of the update cycle (not a test; run by hand):
//  1. time of one cycle on the player's thread against a loopback receiver,
//     next to a bare libcurl POST of the same bytes on a new connection;
//  2. how long the cycle blocks against a server that takes the post and
//     never answers (the answer is not waited for), and the worst case: a
//     server that never answers the TLS handshake, cut at the bound;
//  3. heap growth over 10 000 cycles.
#include <curl/curl.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/port.h"
#include "report/update.h"
#include "shell/plugin.h"
#include "shell/state.h"
#include "tests/report/loopback_server.h"
#include "tests/support/fake_platform.h"

namespace {

using Clock = std::chrono::steady_clock;
platform::WindowHandle const kHost = reinterpret_cast<platform::WindowHandle>(0x1234);
constexpr int kTimedRounds = 400;
constexpr int kHeapCycles = 10000;
constexpr int kSilentRounds = 20;
const std::string kTitle = "Some Artist - Some Title (Live & Loud)";

double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// What a careful caller of libcurl alone would do to post the same bytes:
// a new handle and connection, the same headers and body.
bool barePost(const std::string& url, const std::string& host, const std::string& body) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return false;
  const std::string length = "Content-Length: " + std::to_string(body.size());
  const std::string hostLine = "Host: " + host;
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
  headers = curl_slist_append(headers, hostLine.c_str());
  headers = curl_slist_append(headers, length.c_str());
  headers = curl_slist_append(headers, "Expect:");
  headers = curl_slist_append(headers, "Accept:");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Trellicast");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
  const CURLcode rc = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return rc == CURLE_OK;
}

void setUrl(const std::string& url) {
  std::memset(urlSetting.get(), 0, URL_MAX_CHARS + 1);
  std::memcpy(urlSetting.get(), url.data(), url.size());
}

void tick() { fake::fireTimer(kHost, UPDATE_TIMER_ID); }

// The cycle returns once its post is written; the receiver may still be
// reading it. Waits (bounded) until it has served count posts, so the next
// measurement does not queue behind it.
void waitServed(const loopback::Server& server, size_t count) {
  const auto until = Clock::now() + std::chrono::seconds(3);
  while (server.served() < count && Clock::now() < until) std::this_thread::yield();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"})
    unsetenv(name);
  loopback::Server server(loopback::Mode::answer);
  loopback::Server silent(loopback::Mode::silent);
  if (!server.ok() || !silent.ok()) {
    std::fprintf(stderr, "bench_cycle: cannot listen on 127.0.0.1\n");
    return 1;
  }
  server.stopKeeping();
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  const std::string url = "http://" + host + "/np.php?x=1";

  fake::reset();
  fake::state().host = [](uintptr_t, intptr_t code) -> intptr_t {
    switch (code) {
      case 104:
        return 1;
      case 125:
        return 0;
      case 212:
        return reinterpret_cast<intptr_t>(kTitle.c_str());
    }
    return 0;  // no file name
  };
  fake::putValue("URL", platform::kRegSz, url);
  pluginRecord.hostWindow = kHost;
  pluginInit();
  fake::state().hostMessages.reserve(16);

  // Warm up both paths (library set-up, first connections).
  for (int i = 0; i < 50; ++i) {
    const size_t served = server.served();
    tick();
    fake::state().hostMessages.clear();
    waitServed(server, served + 1);
  }
  const std::string body = bodyBuffer.get();
  for (int i = 0; i < 50; ++i) barePost(url, host, body);

  // 1. Interleaved, so both see the same machine load.
  std::vector<double> cycle, bare;
  for (int i = 0; i < kTimedRounds; ++i) {
    const size_t served = server.served();
    auto t0 = Clock::now();
    tick();
    auto t1 = Clock::now();
    fake::state().hostMessages.clear();
    waitServed(server, served + 1);
    t1 = Clock::now();
    if (!barePost(url, host, body)) std::fprintf(stderr, "bare post failed\n");
    auto t2 = Clock::now();
    cycle.push_back(microseconds(t1 - t0));
    bare.push_back(microseconds(t2 - t1));
  }
  const bool boxesShown = !fake::state().boxes.empty();
  double cycleMean = 0, bareMean = 0;
  for (double v : cycle) cycleMean += v / kTimedRounds;
  for (double v : bare) bareMean += v / kTimedRounds;
  std::printf(
      "cycle on the player's thread: median %.0f us, mean %.0f us, max %.0f us (%d rounds)\n",
      median(cycle), cycleMean, *std::max_element(cycle.begin(), cycle.end()), kTimedRounds);
  std::printf("bare libcurl POST, new connection: median %.0f us, mean %.0f us, max %.0f us\n",
              median(bare), bareMean, *std::max_element(bare.begin(), bare.end()));
  std::printf("ratio (medians): %.2f  (goal <= 1.20)\n", median(cycle) / median(bare));
  std::printf("ratio (means):   %.2f\n", cycleMean / bareMean);

  // 2. A server that accepts and never reads or answers: the post fits the
  // socket buffers, so it is written whole and the cycle returns at once.
  setUrl("http://127.0.0.1:" + std::to_string(silent.port()) + "/np");
  std::vector<double> silentMs;
  for (int i = 0; i < kSilentRounds; ++i) {
    errorShown = false;
    const auto t0 = Clock::now();
    tick();
    silentMs.push_back(microseconds(Clock::now() - t0) / 1000.0);
    fake::state().hostMessages.clear();
  }
  std::printf("silent server: blocked median %.2f ms, max %.2f ms over %d cycles, boxes: %zu\n",
              median(silentMs), *std::max_element(silentMs.begin(), silentMs.end()), kSilentRounds,
              fake::state().boxes.size());
  fake::state().boxes.clear();

  // The worst case left: nothing of the post can be written because the
  // server never answers the TLS handshake; the bound cuts it.
  setUrl("https://127.0.0.1:" + std::to_string(silent.port()) + "/np");
  errorShown = false;
  auto t0 = Clock::now();
  tick();
  const double blocked = microseconds(Clock::now() - t0) / 1000.0;
  std::printf("worst case, TLS handshake never answered: blocked %.0f ms  (bound %u ms), box: %s\n",
              blocked, platform::kNetTimeoutMs,
              fake::state().boxes.empty() ? "none" : fake::state().boxes.back().text.c_str());
  fake::state().boxes.clear();
  fake::state().hostMessages.clear();

  // 3. Heap growth over many cycles against the receiver.
  setUrl(url);
  fake::state().hostMessages.clear();
  const size_t servedBefore = server.served();
  const struct mallinfo2 before = mallinfo2();
  // One post at a time, as the timer paces them: the receiver serves one
  // connection after the other and would otherwise fall behind.
  for (int i = 0; i < kHeapCycles; ++i) {
    tick();
    fake::state().hostMessages.clear();
    waitServed(server, servedBefore + static_cast<size_t>(i) + 1);
  }
  const struct mallinfo2 after = mallinfo2();
  std::printf("heap in use: %zu bytes before, %zu after %d cycles: growth %lld bytes\n",
              before.uordblks, after.uordblks, kHeapCycles,
              static_cast<long long>(after.uordblks) - static_cast<long long>(before.uordblks));
  std::printf("posts served in the heap run: %zu of %d, boxes: %zu%s\n",
              server.served() - servedBefore, kHeapCycles, fake::state().boxes.size(),
              boxesShown ? " (and some in the timed run)" : "");
  pluginQuit();
  return 0;
}
