// Timer ticks against the POSIX backend's sender thread, for tests that post
// to a real receiver: each tick once the previous send has ended, and the
// tick that only takes the last send's outcome.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "base/state.h"
#include "platform/port.h"
#include "platform/posix/http.h"
#include "platform/posix/wake.h"
#include "tests/support/fake_platform.h"

namespace sends {

// The backend's bound on one send plus scheduling slack (sanitizers included).
constexpr auto SEND_BOUND = std::chrono::milliseconds(platform::NET_TIMEOUT_MS + 1500);

// What the player's loop does when the sender has told that a post ended:
// true when it had.
inline bool deliverPostEnded() {
  pollfd wake{platform::posix::wakeDescriptor(), POLLIN, 0};
  if (wake.fd < 0 || ::poll(&wake, 1, 0) != 1) return false;
  platform::posix::runWakeHandler();
  return true;
}

// Waits (bounded) until the send in flight, if any, has ended, and hands
// its end to the core as the loop would.
inline void settle() {
  const auto until = std::chrono::steady_clock::now() + SEND_BOUND;
  while (platform::posix::sendRunning() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_FALSE(platform::posix::sendRunning()) << "the send outlived its bound";
  deliverPostEnded();
}

// A timer tick once the previous send has ended; false when it is not armed.
inline bool tick(platform::WindowHandle host) {
  settle();
  return fake::fireTimer(host, UPDATE_TIMER_ID);
}

// Runs tick with sending switched off, so it takes the last send's outcome
// and starts no other.
template <typename Tick>
void collect(Tick tick) {
  const int32_t enabled = enabledSetting;
  enabledSetting = 0;
  tick();
  enabledSetting = enabled;
}

}  // namespace sends
