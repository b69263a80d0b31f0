// The update cycle against servers that misbehave: the core with the
// recording double of the window services and the real libcurl backend,
// posting to a fault server on 127.0.0.1. For every fault the cycle must
// come back within the network bound, show at most one box over two
// failing cycles, leave the timer armed, and post normally once the server
// heals and the settings are confirmed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
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
const std::string kTitle = "Fault & = % \xE9 title";

const char* const kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "all_proxy",
                                       "ALL_PROXY",  "no_proxy",   "NO_PROXY"};

struct Row {
  Fault fault;
  // The libcurl codes the send may fail with; empty: the send succeeds and
  // no box is shown (the answer is never looked at).
  std::set<unsigned> codes;
  // The server reads the whole post before it misbehaves.
  bool delivered;
};

void PrintTo(const Row& row, std::ostream* os) { *os << gauntlet::faultName(row.fault); }

const Row kRows[] = {
    {Fault::refuse, {7}, false},               // couldn't connect
    {Fault::reset, {7, 52, 55, 56}, false},    // reset at connect, empty reply, send or receive
    {Fault::neverRead, {28}, false},           // timed out
    {Fault::stallAfterHead, {28}, false},      // timed out
    {Fault::status500, {}, true},              // an answer, not looked at
    {Fault::status404, {}, true},              // same
    {Fault::redirectHttps, {}, true},          // never followed
    {Fault::hugeAnswer, {}, true},             // read and thrown away within the bound
    {Fault::garbage, {1, 8}, true},            // not HTTP/1.x (HTTP/0.9 is refused)
    {Fault::cutAnswer, {18}, true},            // partial answer
    {Fault::cutRequest, {52, 55, 56}, false},  // hung up while the body was on its way
};

class Hostile : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    for (const char* name : kProxyVariables) unsetenv(name);
    fake::reset();
    resetState();
    pluginRecord.hostWindow = kHost;
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
    fake::state().dialogTemplate = {{IDOK, {}},       {IDCANCEL, {}},     {IDC_URL_LABEL, {}},
                                    {IDC_URL, {}},    {IDC_INTERVAL, {}}, {IDC_SECONDS_LABEL, {}},
                                    {IDC_ENABLED, {}}};
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
  fake::putValue("URL", platform::kRegSz,
                 "http://127.0.0.1:" + std::to_string(server.port()) + "/np");
  fake::putDword("Enabled", 1);
  fake::putDword("Interval", 1);
  ASSERT_EQ(pluginInit(), 0);
  ASSERT_TRUE(server.setFault(row.fault));

  // Two cycles against the fault.
  for (int i = 0; i < 2; ++i) {
    const auto took = timedTick();
    EXPECT_LT(took, kCycleBound) << "cycle " << i << " held the player's thread";
    EXPECT_FALSE(updateInProgress);
  }
  const auto& boxes = fake::state().boxes;
  if (row.codes.empty()) {
    EXPECT_TRUE(boxes.empty()) << testing::PrintToString(boxes);
    EXPECT_FALSE(errorShown);
  } else {
    ASSERT_EQ(boxes.size(), 1u) << "one box for two failing cycles";
    EXPECT_EQ(boxes[0].caption, "Error");
    const std::string prefix = "Cannot HttpSendRequestEx: (errcode=";
    ASSERT_EQ(boxes[0].text.rfind(prefix, 0), 0u) << boxes[0].text;
    const unsigned code =
        static_cast<unsigned>(std::strtoul(boxes[0].text.c_str() + prefix.size(), nullptr, 10));
    EXPECT_TRUE(row.codes.count(code)) << boxes[0].text;
    EXPECT_TRUE(errorShown);
  }
  if (row.delivered) {
    const auto posts = server.wait(2, kWaitMs);
    ASSERT_EQ(posts.size(), 2u);
    for (const auto& post : posts) expectPost(post);
  } else {
    EXPECT_EQ(server.requests(), 0u);
  }
  if (row.fault == Fault::redirectHttps) {
    EXPECT_EQ(server.accepted(), 2u) << "no redirect followed";
  }

  // The server heals; the user confirms the settings, which re-enables boxes.
  ASSERT_TRUE(server.setFault(Fault::healthy));
  confirmSettings();
  EXPECT_FALSE(errorShown);
  const size_t boxesBefore = boxes.size();
  const size_t before = server.requests();
  const auto took = timedTick();
  EXPECT_LT(took, kCycleBound);
  const auto posts = server.wait(before + 1, kWaitMs);
  ASSERT_EQ(posts.size(), before + 1) << "the healed server got the next post";
  expectPost(posts.back());
  EXPECT_EQ(boxes.size(), boxesBefore) << testing::PrintToString(boxes);
  EXPECT_FALSE(errorShown);
}

INSTANTIATE_TEST_SUITE_P(Faults, Hostile, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           return std::string(gauntlet::faultName(info.param.fault));
                         });

}  // namespace
