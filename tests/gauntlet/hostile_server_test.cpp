// The update cycle against servers that misbehave: the core with the
// recording double of the window services and the real libcurl backend,
// posting to a fault server on 127.0.0.1. For every fault the cycle must
// come back within the network bound, show at most one box over two
// failing cycles, leave the timer armed, and post normally once the server
// heals and the settings are confirmed.
//
// The answer is never waited for: once the whole post is written to the
// connection the send has succeeded, whatever the server does next. So a
// server that takes the post and then stays silent, stalls, answers
// garbage or hangs up costs no box and no wait; only faults that stop the
// post before its last byte is written (refused, reset before the write,
// a TLS handshake nobody answers) still fail.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dialog/resources/resource.h"
#include "platform/port.h"
#include "report/update.h"
#include "shell/plugin.h"
#include "shell/state.h"
#include "tests/gauntlet/fault_server.h"
#include "tests/gauntlet/form_fields.h"
#include "tests/support/fake_platform.h"

namespace fake {
void PrintTo(const Box& box, std::ostream* os) { *os << box.caption << ": \"" << box.text << "\""; }
}  // namespace fake

namespace {

using gauntlet::Fault;

platform::WindowHandle const kHost = reinterpret_cast<platform::WindowHandle>(0x7001);
// The backend's bound on one send plus scheduling slack (sanitizers included).
constexpr auto kCycleBound = std::chrono::milliseconds(platform::kNetTimeoutMs + 1500);
constexpr int kWaitMs = 3000;
// A cycle whose post is written at once returns well before any network
// bound (sanitizers included): nothing waits for the answer.
constexpr auto kQuick = std::chrono::milliseconds(1000);
const std::string kTitle = "Fault & = % \xE9 title";

const char* const kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "all_proxy",
                                       "ALL_PROXY",  "no_proxy",   "NO_PROXY"};

enum class Box {
  none,       // the post was written whole: no box
  one,        // the send fails: one box over two cycles
  atMostOne,  // a race between the server's reset and the client's write
};

struct Row {
  Fault fault;
  bool tls;  // https to the fault server (it never speaks TLS)
  Box box;
  // The libcurl codes a failing send may show.
  std::set<unsigned> codes;
  // The server reads the whole post before it misbehaves.
  bool delivered;
  // The cycle returns within kQuick; otherwise it waits out a timeout.
  bool quick;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << gauntlet::faultName(row.fault) << (row.tls ? " over https" : "");
}

const Row kRows[] = {
    {Fault::refuse, false, Box::one, {7}, false, true},  // couldn't connect
    // Reset at connect or before the write went out (7, 55, 56, 52); when the
    // write wins the race the post is out and the send has succeeded.
    {Fault::reset, false, Box::atMostOne, {7, 52, 55, 56}, false, true},
    // The post fits the socket buffers: written whole, never read.
    {Fault::neverRead, false, Box::none, {}, false, true},
    {Fault::stallAfterHead, false, Box::none, {}, false, true},
    {Fault::status500, false, Box::none, {}, true, true},      // answer not looked at
    {Fault::status404, false, Box::none, {}, true, true},      // same
    {Fault::redirectHttps, false, Box::none, {}, true, true},  // never followed
    {Fault::hugeAnswer, false, Box::none, {}, true, true},     // not read at all
    {Fault::garbage, false, Box::none, {}, true, true},        // not read at all
    {Fault::cutAnswer, false, Box::none, {}, true, true},      // same
    // Hangs up after part of the body, but the client had written it all.
    {Fault::cutRequest, false, Box::none, {}, false, true},
    // No TLS handshake answer: nothing of the post is written, the handshake
    // times out.
    {Fault::neverRead, true, Box::one, {28}, false, false},
};

class Hostile : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    for (const char* name : kProxyVariables) unsetenv(name);
    fake::freshPlugin(kHost);
    fake::state().host = [](uintptr_t wParam, intptr_t code) -> intptr_t {
      switch (code) {
        case 104:
          return 1;
        case 125:
          return 2;
        case 212:
          return wParam == 2 ? reinterpret_cast<intptr_t>(kTitle.c_str()) : 0;
      }
      return 0;  // no file name
    };
  }
  void TearDown() override {
    pluginQuit();
    resetState();
  }

  std::chrono::milliseconds timedTick() {
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(fake::fireTimer(kHost, UPDATE_TIMER_ID)) << "the timer stays armed";
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin);
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
        {"wm_action", "wm_data"}, {"wm_data[status]", "1"}, {"wm_data[title]", kTitle}};
    EXPECT_EQ(*fields, expected);
  }
};

TEST_P(Hostile, CycleIsBoundedReportsOnceAndRecovers) {
  const Row& row = GetParam();
  gauntlet::FaultServer server;
  ASSERT_TRUE(server.ok());
  const std::string at = "127.0.0.1:" + std::to_string(server.port()) + "/np";
  fake::putValue("URL", platform::kRegSz, (row.tls ? "https://" : "http://") + at);
  fake::putDword("Enabled", 1);
  fake::putDword("Interval", 1);
  ASSERT_EQ(pluginInit(), 0);
  ASSERT_TRUE(server.setFault(row.fault));

  // Two cycles against the fault.
  for (int i = 0; i < 2; ++i) {
    const auto took = timedTick();
    EXPECT_LT(took, kCycleBound) << "cycle " << i << " held the player's thread";
    if (row.quick) {
      EXPECT_LT(took, kQuick) << "cycle " << i << " waited for the server";
    }
    EXPECT_FALSE(updateInProgress);
  }
  const auto& boxes = fake::state().boxes;
  if (row.box == Box::none) {
    EXPECT_TRUE(boxes.empty()) << testing::PrintToString(boxes);
    EXPECT_FALSE(errorShown);
  } else if (row.box == Box::one || !boxes.empty()) {
    ASSERT_EQ(boxes.size(), 1u) << "one box for two failing cycles";
    EXPECT_EQ(boxes[0].caption, "Error");
    const std::string prefix = "Cannot HttpSendRequestEx: (errcode=";
    ASSERT_EQ(boxes[0].text.rfind(prefix, 0), 0u) << boxes[0].text;
    const unsigned code =
        static_cast<unsigned>(std::strtoul(boxes[0].text.c_str() + prefix.size(), nullptr, 10));
    EXPECT_TRUE(row.codes.count(code)) << boxes[0].text;
    EXPECT_TRUE(errorShown);
  }
  // The cycle may return before the server has even taken the connection;
  // the fault must be served to both before the server heals.
  const size_t connections = row.fault == Fault::refuse ? 0 : 2;
  for (int waited = 0; server.accepted() < connections && waited < kWaitMs; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.accepted(), connections);
  if (row.delivered) {
    const auto posts = server.wait(2, kWaitMs);
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
  const auto took = timedTick();
  EXPECT_LT(took, kQuick);
  const auto posts = server.wait(before + 1, kWaitMs);
  ASSERT_EQ(posts.size(), before + 1) << "the healed server got the next post";
  expectPost(posts.back());
  EXPECT_EQ(boxes.size(), boxesBefore) << testing::PrintToString(boxes);
  EXPECT_FALSE(errorShown);
}

INSTANTIATE_TEST_SUITE_P(Faults, Hostile, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           return std::string(gauntlet::faultName(info.param.fault)) +
                                  (info.param.tls ? "OverHttps" : "");
                         });

}  // namespace
