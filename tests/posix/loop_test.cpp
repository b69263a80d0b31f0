// The POSIX event loop: timers, delayed callbacks, nested loops, windows,
// input and message boxes, on the real clock and (for the terminal cases)
// a pseudo-terminal standing in for standard input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/posix/system.h"

namespace posix = platform::posix;

namespace {

struct Tick {
  platform::WindowHandle window;
  unsigned message;
  uintptr_t id;
  uint32_t time;
};

// Timer callbacks are plain functions: they report here.
std::vector<Tick> ticks;
std::function<void(const Tick&)> onTick;

void record(platform::WindowHandle window, unsigned message, uintptr_t id, uint32_t time) {
  ticks.push_back({window, message, id, time});
  if (onTick) onTick(ticks.back());
}

int countOf(uintptr_t id) {
  return static_cast<int>(
      std::count_if(ticks.begin(), ticks.end(), [id](const Tick& t) { return t.id == id; }));
}

std::vector<uint32_t> timesOf(uintptr_t id) {
  std::vector<uint32_t> times;
  for (const auto& t : ticks)
    if (t.id == id) times.push_back(t.time);
  return times;
}

void runFor(uint32_t ms) {
  posix::runDelayed(ms, posix::quitLoop);
  posix::runLoop();
}

class Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    ticks.clear();
    onTick = nullptr;
    window = posix::createWindow(nullptr);
  }
  void TearDown() override {
    onTick = nullptr;
    posix::destroyWindow(window);
  }
  platform::WindowHandle window = nullptr;
};

TEST_F(Loop, TimersFireInDueOrderWithTheirPeriods) {
  struct Case {
    uintptr_t id;
    uint32_t asked;
    uint32_t period;  // after raising to the 10 ms minimum
  } cases[] = {{3, 50, 50}, {2, 30, 30}, {1, 0, 10}, {4, 5, 10}};
  for (const auto& c : cases) ASSERT_NE(platform::setTimer(window, c.id, c.asked, record), 0u);
  for (const auto& c : cases) {
    uint32_t period = 0;
    ASSERT_TRUE(posix::timerPeriod(window, c.id, &period));
    EXPECT_EQ(period, c.period) << c.id;
  }
  runFor(200);
  for (const auto& t : ticks) {
    EXPECT_EQ(t.window, window);
    EXPECT_EQ(t.message, platform::TIMER_MESSAGE);
  }
  // First ticks come in the order the timers fall due.
  std::vector<uintptr_t> firstSeen;
  for (const auto& t : ticks)
    if (std::find(firstSeen.begin(), firstSeen.end(), t.id) == firstSeen.end())
      firstSeen.push_back(t.id);
  EXPECT_EQ(firstSeen, (std::vector<uintptr_t>{1, 4, 2, 3}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const auto times = timesOf(c.id);
    EXPECT_GE(times.size(), 2u);
    EXPECT_LE(times.size(), 200 / c.period + 1) << "ticks come no faster than the period";
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], c.period);
  }
}

TEST_F(Loop, PeriodIsCappedAtTheLargest) {
  ASSERT_NE(platform::setTimer(window, 9, 0xFFFFFFFFu, record), 0u);
  uint32_t period = 0;
  ASSERT_TRUE(posix::timerPeriod(window, 9, &period));
  EXPECT_EQ(period, platform::TIMER_MAX_PERIOD_MS);
  runFor(30);
  EXPECT_EQ(countOf(9), 0);
}

TEST_F(Loop, SettingAnExistingTimerReplacesIt) {
  ASSERT_NE(platform::setTimer(window, 1, 10, record), 0u);
  ASSERT_NE(platform::setTimer(window, 1, 60, record), 0u);
  runFor(150);
  EXPECT_GE(countOf(1), 1);
  EXPECT_LE(countOf(1), 2) << "only the 60 ms timer runs";
  // The same id on another window is another timer.
  const auto other = posix::createWindow(nullptr);
  ASSERT_NE(platform::setTimer(other, 1, 10, record), 0u);
  EXPECT_TRUE(platform::killTimer(window, 1));
  EXPECT_FALSE(platform::killTimer(window, 1));
  ticks.clear();
  runFor(50);
  ASSERT_GE(ticks.size(), 2u);
  for (const auto& t : ticks) EXPECT_EQ(t.window, other);
  posix::destroyWindow(other);
}

TEST_F(Loop, CallbacksMayKillReArmAndDestroy) {
  const auto second = posix::createWindow(nullptr);
  // 1 kills itself and 2 on its third tick; 3 re-arms itself slower on its
  // first; 4 destroys its window on its first tick, taking 5 with it.
  platform::setTimer(window, 1, 10, record);
  platform::setTimer(window, 2, 10, record);
  platform::setTimer(window, 3, 10, record);
  platform::setTimer(second, 4, 20, record);
  platform::setTimer(second, 5, 25, record);
  onTick = [&](const Tick& t) {
    if (t.id == 1 && countOf(1) == 3) {
      EXPECT_TRUE(platform::killTimer(window, 1));
      EXPECT_TRUE(platform::killTimer(window, 2));
    }
    if (t.id == 3 && countOf(3) == 1) platform::setTimer(window, 3, 100, record);
    if (t.id == 4) posix::destroyWindow(second);
  };
  runFor(180);
  EXPECT_EQ(countOf(1), 3);
  EXPECT_EQ(countOf(2), 2) << "killed before its third tick";
  EXPECT_GE(countOf(3), 2);
  EXPECT_LE(countOf(3), 2) << "re-armed at 100 ms";
  EXPECT_EQ(countOf(4), 1);
  EXPECT_EQ(countOf(5), 0);
  EXPECT_FALSE(posix::timerPeriod(second, 5, nullptr));
  EXPECT_EQ(platform::setTimer(second, 6, 10, record), 0u) << "no timers on a destroyed window";
}

TEST_F(Loop, NestedLoopKeepsTimersFiring) {
  // Timer 1's first tick opens a nested loop that waits for five ticks of
  // timer 2; timer 1 keeps ticking inside it, as WM_TIMER does.
  int depth = 0, deepest = 0;
  bool nestedResult = false;
  platform::setTimer(window, 1, 20, record);
  platform::setTimer(window, 2, 10, record);
  onTick = [&](const Tick& t) {
    if (t.id != 1) return;
    deepest = std::max(deepest, depth + 1);
    if (countOf(1) != 1) return;
    ++depth;
    nestedResult = posix::runLoopUntil([] { return countOf(2) >= 5; });
    --depth;
    posix::quitLoop();
  };
  const auto guard = posix::runDelayed(2000, posix::quitLoop);
  posix::runLoop();
  posix::cancelDelayed(guard);
  EXPECT_TRUE(nestedResult);
  EXPECT_GE(countOf(2), 5);
  EXPECT_GE(countOf(1), 2) << "timer 1 ticked again inside its own nested loop";
  EXPECT_EQ(deepest, 2);
}

TEST_F(Loop, QuitInsideANestedLoopEndsEveryLoop) {
  bool nestedReturned = false, nestedResult = true;
  posix::runDelayed(5, [&] {
    posix::runDelayed(20, posix::quitLoop);
    nestedResult = posix::runLoopUntil([] { return false; });
    nestedReturned = true;
  });
  const auto guard = posix::runDelayed(2000, [] { ADD_FAILURE() << "outer loop kept running"; });
  posix::runLoop();
  posix::cancelDelayed(guard);
  EXPECT_TRUE(nestedReturned);
  EXPECT_FALSE(nestedResult);
  // The request was used up: a new loop runs until its own quit.
  bool ran = false;
  posix::runDelayed(5, [&] { ran = true; });
  runFor(20);
  EXPECT_TRUE(ran);
}

TEST_F(Loop, DelayedCallbacksRunOnceInOrderAndCanBeCancelled) {
  std::vector<std::string> order;
  uint64_t b = 0;
  posix::runDelayed(40, [&] { order.push_back("c"); });
  posix::runDelayed(10, [&] {
    order.push_back("a");
    posix::cancelDelayed(b);
  });
  b = posix::runDelayed(25, [&] { order.push_back("b"); });
  const auto x = posix::runDelayed(15, [&] { order.push_back("x"); });
  posix::runDelayed(0, [&] { order.push_back("now"); });
  posix::cancelDelayed(x);
  platform::setTimer(window, 1, 30, record);
  onTick = [&](const Tick&) { order.push_back("tick"); };
  runFor(55);
  EXPECT_EQ(order, (std::vector<std::string>{"now", "a", "tick", "c"}));
  // With nothing left to wait for, the loop returns by itself.
  platform::killTimer(window, 1);
  posix::runLoop();
}

TEST_F(Loop, MessagesReachTheWindowProcedure) {
  std::vector<std::pair<uintptr_t, intptr_t>> seen;
  const auto host = posix::createWindow(
      [&](platform::WindowHandle w, unsigned message, uintptr_t wParam, intptr_t code) -> intptr_t {
        EXPECT_EQ(message, platform::USER_MESSAGE);
        seen.emplace_back(wParam, code);
        return w == nullptr ? -1 : code * 2 + static_cast<intptr_t>(wParam);
      });
  EXPECT_EQ(platform::sendUserMessage(host, 0, 104), 208);
  EXPECT_EQ(platform::sendUserMessage(host, 3, 212), 427);
  EXPECT_EQ(seen, (std::vector<std::pair<uintptr_t, intptr_t>>{{0, 104}, {3, 212}}));
  platform::setTimer(host, 1, 10, record);
  posix::destroyWindow(host);
  EXPECT_EQ(platform::sendUserMessage(host, 0, 104), 0);
  EXPECT_EQ(platform::lastError(), 1400u);
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_FALSE(posix::timerPeriod(host, 1, nullptr));
}

// Standard input replaced for the length of one test.
class StdinSwap {
 public:
  explicit StdinSwap(int fd) : saved_(::dup(STDIN_FILENO)) { ::dup2(fd, STDIN_FILENO); }
  ~StdinSwap() {
    ::dup2(saved_, STDIN_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

TEST_F(Loop, MessageBoxWithoutATerminalPrintsAndReturnsAtOnce) {
  const int null = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(null, 0);
  StdinSwap swap(null);
  ::close(null);
  ASSERT_FALSE(posix::interactive());
  testing::internal::CaptureStderr();
  platform::messageBox("Cannot open registry key: (errcode=5)", "Error");
  platform::messageBox("Error: 3", "Lumtap");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[Error] Cannot open registry key: (errcode=5)\n[Lumtap] Error: 3\n");
}

// On a terminal a box returns at once and waits for Enter while the loop
// runs on; boxes queue and show one at a time; keys reach the player again
// once none waits.
TEST_F(Loop, MessageBoxesOnATerminalWaitForEnterWithoutHoldingTheLoop) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  {
    StdinSwap swap(slave);
    ASSERT_TRUE(posix::interactive());
    std::string outer;
    posix::pushInputHandler([&](unsigned char c) { outer += static_cast<char>(c); });
    int acknowledged = 0;
    posix::setBoxAcknowledged([&] { ++acknowledged; });
    testing::internal::CaptureStdout();
    platform::messageBox("Out of memory: (errcode=8)", "Error");
    platform::messageBox("Error: 3", "Lumtap");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n== Error ==\nOut of memory: (errcode=8)\n[Press Enter]\n")
        << "the second box waits its turn";
    EXPECT_EQ(posix::waitingBox(), "\n== Error ==\nOut of memory: (errcode=8)\n[Press Enter]\n");
    platform::setTimer(window, 1, 10, record);
    ASSERT_EQ(::write(master, "ab\n", 3), 3);
    const auto guard = posix::runDelayed(2000, posix::quitLoop);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(posix::runLoopUntil([&] { return acknowledged == 1 && countOf(1) >= 3; }));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n== Lumtap ==\nError: 3\n[Press Enter]\n");
    EXPECT_EQ(outer, "") << "keys go to the waiting box";
    ASSERT_EQ(::write(master, "\nz\n", 3), 3);
    EXPECT_TRUE(posix::runLoopUntil([&] { return outer == "z\n"; }));
    EXPECT_EQ(acknowledged, 2);
    EXPECT_EQ(posix::waitingBox(), "");
    posix::cancelDelayed(guard);
    platform::killTimer(window, 1);
    posix::popInputHandler();
    posix::setBoxAcknowledged(nullptr);
  }
  ::close(slave);
  ::close(master);
}

}  // namespace
