// The fault server as a client that reads answers sees it: libcurl with one
// handle reused for every post, so a kept connection carries the next one.
// The tests that pick a mode rely on what each mode answers and on the
// counters of connections and handshakes.
#include "tests/gauntlet/fault_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using gauntlet::Fault;
using Clock = std::chrono::steady_clock;

struct CurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using Handle = std::unique_ptr<CURL, CurlFree>;

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

struct Sent {
  CURLcode rc;
  long status;
  std::string location;  // where a redirect points, not followed
};

// One POST through handle; a new handle the first time.
Sent post(Handle& handle, const std::string& url, const std::string& caFile = "") {
  if (!handle) handle.reset(curl_easy_init());
  CURL* curl = handle.get();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "wm_action=wm_data");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 2000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
  if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  Sent sent{curl_easy_perform(curl), 0, ""};
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &sent.status);
  const char* location = nullptr;
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
  if (location != nullptr) sent.location = location;
  return sent;
}

std::string at(const gauntlet::FaultServer& server) {
  return "http://127.0.0.1:" + std::to_string(server.port()) + "/np";
}

TEST(FaultServer, EachModeAnswersAsNamedAndKeepsTheConnectionWhereHttpAllows) {
  const struct {
    Fault fault;
    CURLcode rc;
    long status;
    size_t connections;  // for two posts on one handle
  } rows[] = {
      {Fault::healthy, CURLE_OK, 200, 1},
      {Fault::status204, CURLE_OK, 204, 1},
      {Fault::status404, CURLE_OK, 404, 1},
      {Fault::status500, CURLE_OK, 500, 1},
      {Fault::redirectHttps, CURLE_OK, 301, 1},
      {Fault::lateAnswer, CURLE_OK, 200, 1},
      {Fault::cutAnswer, CURLE_PARTIAL_FILE, 200, 2},
      {Fault::silentAfterRequest, CURLE_OPERATION_TIMEDOUT, 0, 2},
      {Fault::resetAfterRequest, CURLE_RECV_ERROR, 0, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(gauntlet::faultName(row.fault));
    gauntlet::FaultServer server(row.fault);
    ASSERT_TRUE(server.ok());
    Handle handle;
    for (int i = 0; i < 2; ++i) {
      const auto begin = Clock::now();
      const Sent sent = post(handle, at(server));
      EXPECT_EQ(sent.rc, row.rc) << curl_easy_strerror(sent.rc);
      EXPECT_EQ(sent.status, row.status);
      if (row.fault == Fault::lateAnswer) {
        EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(gauntlet::LATE_ANSWER_MS));
      }
      if (row.fault == Fault::redirectHttps) {
        EXPECT_EQ(sent.location, "https://127.0.0.1:" + std::to_string(server.port()) + "/np");
      }
    }
    const auto posts = server.wait(2, 3000);
    ASSERT_EQ(posts.size(), 2u) << "each request read whole";
    EXPECT_TRUE(posts[0].complete && posts[1].complete);
    EXPECT_EQ(posts[1].body, "wm_action=wm_data");
    EXPECT_EQ(server.accepted(), row.connections);
    EXPECT_EQ(posts[1].connection, row.connections);
    EXPECT_EQ(posts[1].onConnection, 3 - row.connections);
  }
}

TEST(FaultServer, ModeChangeClosesKeptConnectionsAndAKeptOneBlocksNoOther) {
  gauntlet::FaultServer server;
  ASSERT_TRUE(server.ok());
  Handle kept, other;
  EXPECT_EQ(post(kept, at(server)).status, 200);
  // The first connection stays open and idle; another client is served.
  const auto begin = Clock::now();
  EXPECT_EQ(post(other, at(server)).status, 200);
  EXPECT_LT(Clock::now() - begin, std::chrono::seconds(1));
  EXPECT_EQ(server.accepted(), 2u);
  ASSERT_TRUE(server.setFault(Fault::status404));
  EXPECT_EQ(post(kept, at(server)).status, 404) << "served in the new mode";
  EXPECT_EQ(server.accepted(), 3u) << "on a new connection";
}

TEST(FaultServer, TlsKeepsTheSessionAndCountsHandshakes) {
  char dir[] = "/tmp/trellicast-fault-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string d = dir;
  ASSERT_TRUE(gauntlet::makeTestCertificates(d));
  {
    gauntlet::FaultServer server(Fault::tls, {d + "/good.pem", d + "/good.key"});
    ASSERT_TRUE(server.ok());
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/np";
    Handle handle;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(post(handle, url, d + "/ca.pem").status, 200);
    Handle untrusting;
    EXPECT_EQ(post(untrusting, url, d + "/self.pem").rc, CURLE_PEER_FAILED_VERIFICATION);
    const auto posts = server.wait(4, 3000);
    ASSERT_EQ(posts.size(), 4u);
    EXPECT_EQ(server.accepted(), 2u);
    EXPECT_EQ(server.handshakes(), 1u) << "the refused handshake is not counted";
    // Each connection is served on a thread of its own: the refused
    // handshake may be kept before or after the third post.
    const auto third = std::find_if(posts.begin(), posts.end(),
                                    [](const gauntlet::Post& p) { return p.onConnection == 3; });
    ASSERT_NE(third, posts.end());
    EXPECT_TRUE(third->tlsAccepted);
    EXPECT_EQ(third->body, "wm_action=wm_data");
    EXPECT_EQ(std::count_if(posts.begin(), posts.end(),
                            [](const gauntlet::Post& p) { return !p.tlsAccepted; }),
              1);
  }
  std::error_code ignored;
  std::filesystem::remove_all(d, ignored);
}

}  // namespace
