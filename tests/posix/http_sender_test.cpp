// The POSIX sender: one thread, named, sends every post of the module's
// life and ends when the module quits.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "platform/port.h"
#include "platform/posix/http.h"
#include "tests/gauntlet/fault_server.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* SENDER_NAME = "trellicast-send";

// The threads of this process that carry the sender's name.
std::set<std::string> senderThreads() {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    std::ifstream in(entry.path() / "comm");
    std::string name;
    std::getline(in, name);
    if (name == SENDER_NAME) found.insert(entry.path().filename().string());
  }
  return found;
}

bool settled() {
  for (int waited = 0; waited < 3000; waited += 5) {
    if (!platform::posix::sendRunning()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(HttpSender, OneThreadSendsEveryPostAndEndsAtQuit) {
  struct Row {
    const char* name;
    gauntlet::Fault fault;
    size_t connections;  // after five posts
  } rows[] = {
      {"kept connection", gauntlet::Fault::healthy, 1},
      {"closed after each answer", gauntlet::Fault::cutAnswer, 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    gauntlet::FaultServer server(row.fault);
    ASSERT_TRUE(server.ok());
    const std::string body = "wm_data[status]=1";
    const std::string headers = "Content-Type: application/x-www-form-urlencoded\n";
    platform::HttpPost post{};
    post.agent = "sender-test";
    post.host = "127.0.0.1";
    post.port = server.port();
    post.target = "/np";
    post.headers = headers.c_str();
    post.headersLength = static_cast<uint32_t>(headers.size());
    post.body = body.data();
    post.bodyLength = static_cast<uint32_t>(body.size());
    std::set<std::string> seen;
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(platform::httpPost(post).stage, platform::PostStart::started) << i;
      ASSERT_TRUE(settled()) << i;
      EXPECT_EQ(platform::httpPostOutcome().state, platform::PostOutcome::State::answered) << i;
      const std::set<std::string> now = senderThreads();
      EXPECT_EQ(now.size(), 1u) << "after post " << i;
      seen.insert(now.begin(), now.end());
    }
    EXPECT_EQ(seen.size(), 1u) << "one thread for every post";
    EXPECT_EQ(server.accepted(), row.connections);
    platform::notifyPostEnded(nullptr, nullptr);
    bool ended = false;
    for (int waited = 0; waited < 2000 && !ended; waited += 10) {
      ended = senderThreads().empty();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(ended) << "the sender ends at quit";
  }
}

}  // namespace
