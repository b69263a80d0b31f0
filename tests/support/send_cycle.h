// Timer ticks against the POSIX backend's sender thread, for tests that post
// to a real receiver: each tick once the previous send has ended, and the
// tick that only takes the last send's outcome.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/state.h"
#include "platform/port.h"
#include "platform/posix/http.h"
#include "tests/support/fake_platform.h"

namespace sends {

// The backend's bound on one send plus scheduling slack (sanitizers included).
constexpr auto SEND_BOUND = std::chrono::milliseconds(platform::NET_TIMEOUT_MS + 1500);

// Waits (bounded) until the send in flight, if any, has ended.
inline void settle() {
  const auto until = std::chrono::steady_clock::now() + SEND_BOUND;
  while (platform::posix::sendRunning() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_FALSE(platform::posix::sendRunning()) << "the send outlived its bound";
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
