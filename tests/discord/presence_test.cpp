// The room's worker on its real thread and socket, against a Unix socket
// server of the test's own in a private runtime folder: what goes out when,
// for a position that jumps, a change, and the clock's drift alone.
#include "discord/presence.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/player.h"
#include "base/settings.h"
#include "discord/ipc_frame.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

// One client at a time: READY for the handshake, an answer for each
// command; every activity set is kept with the time it came.
class FakeClient {
 public:
  explicit FakeClient(const std::string& folder) {
    path_ = folder + "/discord-ipc-0";
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 4);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeClient() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    thread_.join();
    close(listener_);
    unlink(path_.c_str());
  }
  struct Seen {
    Clock::time_point at;
    json activity;
  };
  std::vector<Seen> seen() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  void send(discord::Opcode op, const json& message) {
    const std::string bytes = discord::encodeFrame(op, message.dump());
    (void)::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  void serve() {
    while (!stop_) {
      client_ = accept(listener_, nullptr, nullptr);
      if (client_ < 0) return;
      discord::FrameReader reader;
      char chunk[4096];
      ssize_t n;
      while ((n = recv(client_, chunk, sizeof chunk, 0)) > 0) {
        discord::feedFrames(reader, std::string_view(chunk, static_cast<size_t>(n)));
        discord::Frame frame;
        while (discord::nextFrame(reader, &frame) == discord::FrameRead::frame) {
          if (frame.op == discord::Opcode::handshake) {
            send(discord::Opcode::frame, {{"cmd", "DISPATCH"}, {"evt", "READY"}, {"data", {}}});
            continue;
          }
          const json message = json::parse(frame.payload);
          {
            const std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back({Clock::now(), message["args"]["activity"]});
          }
          send(discord::Opcode::frame,
               {{"cmd", "SET_ACTIVITY"}, {"evt", nullptr}, {"nonce", message["nonce"]}});
        }
      }
      close(client_);
      client_ = -1;
    }
  }
  std::string path_;
  int listener_ = -1;
  std::atomic<int> client_{-1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

PlayerSnapshot playing(const char* title, int64_t elapsedMs) {
  PlayerSnapshot snapshot;
  snapshot.status = PLAYING;
  snapshot.titleUtf8 = title;
  snapshot.elapsedMs = elapsedMs;
  snapshot.lengthMs = 240'000;
  return snapshot;
}

double secondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// What the second snapshot, 0.5 s after the first, makes the worker send:
// a jump of the position waits for POSITION_SPACING_MS after the last
// activity, a new title goes at once, the clock's drift never goes.
TEST(DiscordPresence, PositionJumpsAreSpacedChangesGoAtOnce) {
  char folder[] = "/tmp/trellicast-discord-test.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("XDG_RUNTIME_DIR", folder, 1);
  const struct {
    const char* name;
    PlayerSnapshot second;
    double earliest, latest;  // seconds after the first activity; < 0: none within 6.5 s
  } cases[] = {
      {"a seek", playing("One", 60'000), 4.8, 5.6},
      {"another title", playing("Two", 500), 0.4, 0.9},
      {"drift alone", playing("One", 900), -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClient client(folder);
    discordSettings = {true, "42", DISCORD_PAUSED_CLEAR};
    configureDiscord();
    takeDiscordSnapshot(playing("One", 0), SnapshotCause::start);
    const Clock::time_point start = Clock::now();
    while (client.seen().empty() && secondsBetween(start, Clock::now()) < 3)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(client.seen().size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    takeDiscordSnapshot(c.second, SnapshotCause::change);
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));
    const std::vector<FakeClient::Seen> seen = client.seen();
    if (c.earliest < 0) {
      EXPECT_EQ(seen.size(), 1u);
    } else {
      ASSERT_EQ(seen.size(), 2u);
      const double after = secondsBetween(seen[0].at, seen[1].at);
      EXPECT_GE(after, c.earliest);
      EXPECT_LE(after, c.latest);
      EXPECT_EQ(seen[1].activity["details"], c.second.titleUtf8);
    }
    // One connection, and every command's answer read.
    const discord::DiscordCounters counters = discord::discordCounters();
    EXPECT_EQ(counters.connects, 1u);
    EXPECT_EQ(counters.answered, counters.sent);
    EXPECT_EQ(counters.refused, 0u);
    quitDiscord();
    // The quit cleared what was shown.
    ASSERT_FALSE(client.seen().empty());
    EXPECT_TRUE(client.seen().back().activity.is_null());
  }
  rmdir(folder);
}

}  // namespace
