// The event loop's watched descriptor: dispatched when ready or when its
// time has come, never ahead of a due timer, never re-entered, removable
// from inside its own dispatch.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "platform/posix/system.h"

namespace posix = platform::posix;

namespace {

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void put() { ASSERT_EQ(::write(fds[1], "x", 1), 1); }
  bool take() {
    char c = 0;
    return ::read(fds[0], &c, 1) == 1;
  }
};

using Clock = std::chrono::steady_clock;
long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int timerTicks = 0;
void countTick(platform::WindowHandle, unsigned, uintptr_t, uint32_t) { ++timerTicks; }

class LoopWatch : public ::testing::Test {
 protected:
  void TearDown() override { posix::setDescriptorWatch({}); }
  static void runFor(uint32_t ms) {
    posix::runDelayed(ms, posix::quitLoop);
    posix::runLoop();
  }
};

TEST_F(LoopWatch, DispatchesWhenReadableOnly) {
  Pipe pipe;
  int dispatched = 0, read = 0;
  posix::setDescriptorWatch({[&] {
                               return posix::DescriptorWait{pipe.fds[0], POLLIN, -1};
                             },
                             [&] {
                               ++dispatched;
                               if (pipe.take()) ++read;
                             }});
  posix::runDelayed(30, [&] { pipe.put(); });
  posix::runDelayed(60, [&] { pipe.put(); });
  runFor(150);
  EXPECT_EQ(read, 2);
  EXPECT_EQ(dispatched, 2);  // not while the pipe was empty
}

TEST_F(LoopWatch, DispatchesWhenItsTimeHasCome) {
  int dispatched = 0;
  long at = -1;
  const auto start = Clock::now();
  posix::setDescriptorWatch({[&] {
                               return posix::DescriptorWait{-1, 0, dispatched ? -1 : 80};
                             },
                             [&] {
                               if (++dispatched == 1) at = msSince(start);
                             }});
  runFor(300);
  EXPECT_EQ(dispatched, 1);
  EXPECT_GE(at, 75);
}

TEST_F(LoopWatch, AlwaysReadyDescriptorNeverStarvesTimers) {
  Pipe pipe;
  pipe.put();  // never drained: ready on every wait
  int dispatched = 0;
  posix::setDescriptorWatch({[&] {
                               return posix::DescriptorWait{pipe.fds[0], POLLIN, -1};
                             },
                             [&] { ++dispatched; }});
  timerTicks = 0;
  const platform::WindowHandle window = posix::createWindow(nullptr);
  platform::setTimer(window, 7, 20, countTick);
  runFor(300);
  posix::destroyWindow(window);
  EXPECT_GE(timerTicks, 8);  // about 15 at 20 ms
  EXPECT_GT(dispatched, 100);
}

TEST_F(LoopWatch, NotReenteredFromANestedLoop) {
  Pipe pipe;
  pipe.put();
  int depth = 0, deepest = 0, dispatched = 0;
  posix::setDescriptorWatch({[&] {
                               return posix::DescriptorWait{pipe.fds[0], POLLIN, -1};
                             },
                             [&] {
                               ++dispatched;
                               ++depth;
                               deepest = std::max(deepest, depth);
                               if (dispatched == 1) {
                                 // As a message box would: a nested loop.
                                 bool done = false;
                                 posix::runDelayed(50, [&] { done = true; });
                                 posix::runLoopUntil([&] { return done; });
                               }
                               --depth;
                             }});
  runFor(120);
  EXPECT_EQ(deepest, 1);
  EXPECT_GT(dispatched, 1);  // watched again once the nested loop ended
}

TEST_F(LoopWatch, RemovedFromItsOwnDispatchAndLoopEnds) {
  Pipe pipe;
  pipe.put();
  int dispatched = 0;
  posix::setDescriptorWatch({[&] {
                               return posix::DescriptorWait{pipe.fds[0], POLLIN, -1};
                             },
                             [&] {
                               ++dispatched;
                               posix::setDescriptorWatch({});
                             }});
  const auto start = Clock::now();
  posix::runLoop();  // only the watch keeps it going; it ends once removed
  EXPECT_EQ(dispatched, 1);
  EXPECT_LT(msSince(start), 1000);
}

TEST_F(LoopWatch, WatchAloneKeepsTheLoopRunning) {
  Pipe pipe;
  bool dispatched = false;
  posix::setDescriptorWatch({[&] {
                               return posix::DescriptorWait{pipe.fds[0], POLLIN, -1};
                             },
                             [&] {
                               dispatched = pipe.take();
                               posix::quitLoop();
                             }});
  posix::runDelayed(40, [&] { pipe.put(); });
  posix::runLoop();
  EXPECT_TRUE(dispatched);
}

}  // namespace
