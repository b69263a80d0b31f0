// The update cycle against servers that misbehave: the core with the
// recording double of the window services and the real libcurl backend,
// posting to a fault server on 127.0.0.1. For every fault the tick must
// hand the post to the sender thread and come back at once, the post's
// outcome must show at most one box (at the next tick) over two failing
// cycles, with the text the table gives, the timer must stay armed, and
// once the server heals and the settings are confirmed every later post
// must arrive.
//
// The answer is read before the connection is let go: a 2xx answer is a
// delivered post, any other answer a failure that names it, and a post
// that gets no answer (refused, reset, silence past the limit, bytes that
// are not HTTP) fails with the library's code.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/player.h"
#include "base/state.h"
#include "dialog/resources/resource.h"
#include "platform/port.h"
#include "platform/posix/http.h"
#include "plugin/plugin.h"
#include "report/update.h"
#include "tests/gauntlet/fault_server.h"
#include "tests/gauntlet/form_fields.h"
#include "tests/support/fake_platform.h"
#include "tests/support/send_cycle.h"

namespace {

using gauntlet::Fault;

platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x7001);
constexpr int WAIT_MS = 3000;
// A tick never waits for the network: it returns well before any network
// bound, sanitizers included, whatever the server does.
constexpr auto QUICK = std::chrono::milliseconds(1000);
// Posts to the healed server, each at its own tick.
constexpr size_t HEALED_POSTS = 3;
const std::string TITLE = "Fault & = % \xE9 title";

const char* const PROXY_VARIABLES[] = {"http_proxy", "HTTP_PROXY", "all_proxy",
                                       "ALL_PROXY",  "no_proxy",   "NO_PROXY"};

struct Row {
  Fault fault;
  bool tls;  // https to the fault server (it never speaks TLS)
  // The box over two failing cycles: empty for none; a text ending in "="
  // stands for "Cannot HttpSendRequestEx: (errcode=" and one of codes.
  std::string box;
  std::set<unsigned> codes;
  // The server reads the whole post before it misbehaves.
  bool delivered;
  // The connections two posts make: an answer read whole keeps the first.
  size_t connections = 2;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << gauntlet::faultName(row.fault) << (row.tls ? " over https" : "");
}

const std::string SEND_FAILED = "Cannot HttpSendRequestEx: (errcode=";

const Row ROWS[] = {
    {Fault::refuse, false, SEND_FAILED, {7}, false, 0},  // couldn't connect
    // Reset at connect, before the write or before any answer.
    {Fault::reset, false, SEND_FAILED, {7, 52, 55, 56}, false},
    // The post fits the socket buffers; no answer comes within the limit.
    {Fault::neverRead, false, SEND_FAILED, {28}, false},
    {Fault::stallAfterHead, false, SEND_FAILED, {28}, false},
    {Fault::status500, false, "The server answered 500 Internal Server Error", {}, true, 1},
    {Fault::status404, false, "The server answered 404 Not Found", {}, true, 1},
    // Never followed: the post is not sent again elsewhere.
    {Fault::redirectHttps,
     false,
     "The server answered 301 Moved Permanently (Location: https://",
     {},
     true,
     1},
    {Fault::status204, false, "", {}, true, 1},
    {Fault::lateAnswer, false, "", {}, true, 1},  // 1.5 s late: still within the limit
    // The post read whole, then silence or a reset: no answer.
    {Fault::silentAfterRequest, false, SEND_FAILED, {28}, true},
    {Fault::resetAfterRequest, false, SEND_FAILED, {52, 56}, true},
    {Fault::hugeAnswer, false, "", {}, true},            // 200: read up to the limit
    {Fault::garbage, false, SEND_FAILED, {1, 8}, true},  // not HTTP
    {Fault::cutAnswer, false, "", {}, true},             // 200, its body cut short
    // Hangs up after part of the body: no answer.
    {Fault::cutRequest, false, SEND_FAILED, {52, 55, 56}, false},
    // No TLS handshake answer: nothing of the post is written, the handshake
    // times out on the sender thread.
    {Fault::neverRead, true, SEND_FAILED, {28}, false},
};

// The plug-in as the player runs it, posting to a fault server.
class Player : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : PROXY_VARIABLES) unsetenv(name);
    fake::freshPlugin(HOST);
    fake::state().host = [](uintptr_t wParam, intptr_t code) -> intptr_t {
      switch (code) {
        case GET_STATUS:
          return 1;
        case GET_LIST_POSITION:
          return 2;
        case GET_TITLE:
          return wParam == 2 ? reinterpret_cast<intptr_t>(TITLE.c_str()) : 0;
      }
      return 0;  // no file name
    };
  }
  void TearDown() override {
    pluginQuit();
    resetState();
    sends::settle();
    (void)platform::httpPostOutcome();
  }

  // A tick as the timer gives it, timed on the player's thread.
  std::chrono::milliseconds timedTick() {
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(fake::fireTimer(HOST, UPDATE_TIMER_ID)) << "the timer stays armed";
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin);
  }
  // The tick that takes the last send's outcome.
  void collect() {
    sends::settle();
    sends::collect([this] { EXPECT_LT(timedTick(), QUICK); });
  }
  // A send that hangs (a TLS handshake nobody answers), started by a tick.
  void startHungSend(gauntlet::FaultServer& server) {
    ASSERT_TRUE(server.ok() && server.setFault(Fault::neverRead));
    fake::putValue("URL", platform::REG_TYPE_SZ,
                   "https://127.0.0.1:" + std::to_string(server.port()) + "/np");
    ASSERT_EQ(pluginInit(), 0);
    EXPECT_LT(timedTick(), QUICK);
  }
  // The user confirms the settings dialog unchanged.
  void confirmSettings() {
    fake::state().dialogTemplate = fake::settingsDialogControls();
    fake::state().dialogScript = [](platform::WindowHandle d) { fake::command(d, IDOK); };
    pluginConfig();
  }
  static void expectPost(const gauntlet::Post& post) {
    EXPECT_TRUE(post.complete);
    EXPECT_EQ(post.head.rfind("POST /np HTTP/1.1\r\n", 0), 0u) << post.head;
    const auto fields = gauntlet::parseForm(post.body);
    ASSERT_TRUE(fields.has_value()) << post.body;
    const gauntlet::Fields expected = {
        {"wm_action", "wm_data"}, {"wm_data[status]", "1"}, {"wm_data[title]", TITLE}};
    EXPECT_EQ(*fields, expected);
  }
};

class Hostile : public Player, public ::testing::WithParamInterface<Row> {};

TEST_P(Hostile, TickStaysFreeReportsOnceAndRecovers) {
  const Row& row = GetParam();
  gauntlet::FaultServer server;
  ASSERT_TRUE(server.ok());
  const std::string at = "127.0.0.1:" + std::to_string(server.port()) + "/np";
  fake::putValue("URL", platform::REG_TYPE_SZ, (row.tls ? "https://" : "http://") + at);
  fake::putDword("Enabled", 1);
  fake::putDword("Interval", 1);
  ASSERT_EQ(pluginInit(), 0);
  ASSERT_TRUE(server.setFault(row.fault));

  // Two cycles against the fault, each tick after the previous send ended,
  // then the tick that takes the second outcome.
  for (int i = 0; i < 2; ++i) {
    sends::settle();
    EXPECT_LT(timedTick(), QUICK) << "tick " << i << " held the player's thread";
    EXPECT_FALSE(updateInProgress);
  }
  collect();
  const auto& boxes = fake::state().boxes;
  if (row.box.empty()) {
    EXPECT_TRUE(boxes.empty()) << testing::PrintToString(boxes);
    EXPECT_FALSE(errorShown);
  } else {
    ASSERT_EQ(boxes.size(), 1u) << "one box for two failing cycles";
    EXPECT_EQ(boxes[0].caption, "Error");
    ASSERT_EQ(boxes[0].text.rfind(row.box, 0), 0u) << boxes[0].text;
    if (row.box == SEND_FAILED) {
      const unsigned code =
          static_cast<unsigned>(std::strtoul(boxes[0].text.c_str() + row.box.size(), nullptr, 10));
      EXPECT_TRUE(row.codes.count(code)) << boxes[0].text;
    }
    EXPECT_TRUE(errorShown);
  }
  const std::string line = updateStatus;
  EXPECT_NE(line.find(row.box.empty() ? ": delivered (2" : ": failed: " + row.box),
            std::string::npos)
      << line;
  // The send may end before the server has even taken the connection; the
  // fault must be served to both before the server heals.
  const size_t connections = row.connections;
  for (int waited = 0; server.accepted() < connections && waited < WAIT_MS; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.accepted(), connections);
  if (row.delivered) {
    const auto posts = server.wait(2, WAIT_MS);
    ASSERT_EQ(posts.size(), 2u);
    for (const auto& post : posts) expectPost(post);
  }

  // The server heals; the user confirms the settings, which re-enables boxes.
  ASSERT_TRUE(server.setFault(Fault::healthy));
  if (!row.delivered) {
    EXPECT_EQ(server.requests(), 0u) << "no whole post was read";
  }
  if (row.tls) {
    // The healed server speaks plain HTTP; the user fixes the scheme.
    const std::string url = "http://" + at;
    std::memset(urlSetting.get(), 0, URL_MAX_CHARS + 1);
    std::memcpy(urlSetting.get(), url.data(), url.size());
  }
  confirmSettings();
  EXPECT_FALSE(errorShown);
  const size_t boxesBefore = boxes.size();
  const size_t before = server.requests();
  for (size_t i = 1; i <= HEALED_POSTS; ++i) {
    sends::settle();
    EXPECT_LT(timedTick(), QUICK);
    const auto posts = server.wait(before + i, WAIT_MS);
    ASSERT_EQ(posts.size(), before + i) << "the healed server got post " << i;
    expectPost(posts.back());
  }
  collect();
  EXPECT_EQ(boxes.size(), boxesBefore) << testing::PrintToString(boxes);
  EXPECT_FALSE(errorShown);
}

// A send that hangs (a TLS handshake nobody answers) while the player goes
// on: further ticks and quitting must not wait for it or add to it.
TEST_F(Player, TickDuringASendOpensNoSecondConnection) {
  gauntlet::FaultServer server;
  ASSERT_NO_FATAL_FAILURE(startHungSend(server));
  for (int waited = 0; server.accepted() < 1 && waited < WAIT_MS; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server.accepted(), 1u);
  const size_t asked = fake::state().hostMessages.size();
  ASSERT_TRUE(platform::posix::sendRunning());
  for (int i = 0; i < 3; ++i) {
    EXPECT_LT(timedTick(), QUICK) << "tick " << i << " during the send";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(platform::posix::sendRunning()) << "the ticks fell inside the send";
  EXPECT_EQ(server.accepted(), 1u) << "no second connection";
  EXPECT_GT(fake::state().hostMessages.size(), asked) << "the other rooms still got the ticks";
  EXPECT_TRUE(fake::state().boxes.empty()) << "a running send is no failure";
  collect();
  EXPECT_EQ(fake::state().boxes,
            (std::vector<fake::Box>{{"Error", "Cannot HttpSendRequestEx: (errcode=28)"}}));
  EXPECT_EQ(server.accepted(), 1u);
}

TEST_F(Player, QuitWithASendInFlightReturnsAtOnce) {
  gauntlet::FaultServer server;
  ASSERT_NO_FATAL_FAILURE(startHungSend(server));
  ASSERT_TRUE(platform::posix::sendRunning());
  const auto begin = std::chrono::steady_clock::now();
  pluginQuit();
  resetState();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
  EXPECT_TRUE(platform::posix::sendRunning()) << "quitting does not wait for the send";
  // The send ends by its own bound with the plug-in's state gone, and frees
  // what it held (the sanitizer build checks for leaks at exit).
  sends::settle();
  const platform::PostOutcome outcome = platform::httpPostOutcome();
  EXPECT_EQ(outcome.state, platform::PostOutcome::State::failed);
  EXPECT_EQ(outcome.error, 28u);
  EXPECT_EQ(server.accepted(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, Hostile, ::testing::ValuesIn(ROWS),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           return std::string(gauntlet::faultName(info.param.fault)) +
                                  (info.param.tls ? "OverHttps" : "");
                         });

}  // namespace
