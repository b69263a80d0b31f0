// The port's worker thread on POSIX: a bounded join, one thread at a time,
// a lock and wake-up of each worker's own, and the thread's name and mask.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <string>

#include "platform/port_worker.h"

namespace {

// What a body sees and is told, under its worker's lock.
struct Probe {
  platform::Worker* worker = nullptr;
  bool release = false;
  bool started = false;
  std::string name;
  bool allBlocked = false;
};

void waitForRelease(void* context) {
  auto& probe = *static_cast<Probe*>(context);
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  platform::lockWorker(*probe.worker);
  probe.name = name;
  probe.allBlocked = sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
  probe.started = true;
  platform::wakeWorker(*probe.worker);
  while (!probe.release) platform::waitWorker(*probe.worker, platform::WORKER_WAIT_UNTIMED);
  platform::unlockWorker(*probe.worker);
}

// Workers are kept for the life of the process, as the rooms keep theirs.
platform::Worker& named() {
  static platform::Worker& worker = platform::newWorker("trellicast-t1");
  return worker;
}
platform::Worker& first() {
  static platform::Worker& worker = platform::newWorker(nullptr);
  return worker;
}
platform::Worker& second() {
  static platform::Worker& worker = platform::newWorker(nullptr);
  return worker;
}

void release(Probe& probe) {
  platform::lockWorker(*probe.worker);
  probe.release = true;
  platform::unlockWorker(*probe.worker);
  platform::wakeWorker(*probe.worker);
}

TEST(Worker, JoinIsBoundedAndOneThreadRunsAtATime) {
  Probe probe;
  probe.worker = &named();
  ASSERT_TRUE(platform::startWorker(*probe.worker, waitForRelease, &probe));
  EXPECT_FALSE(platform::startWorker(*probe.worker, waitForRelease, &probe));
  const uint64_t before = platform::clockMs();
  EXPECT_FALSE(platform::joinWorker(*probe.worker, 100));
  const uint64_t waited = platform::clockMs() - before;
  EXPECT_GE(waited, 95u);
  EXPECT_LT(waited, 2000u);
  release(probe);
  ASSERT_TRUE(platform::joinWorker(*probe.worker, 5000));
  EXPECT_TRUE(platform::joinWorker(*probe.worker, 0));  // none runs
  EXPECT_EQ(probe.name, "trellicast-t1");
  EXPECT_TRUE(probe.allBlocked);
  // Reaped: the worker takes a thread again.
  Probe again;
  again.worker = probe.worker;
  again.release = true;
  ASSERT_TRUE(platform::startWorker(*again.worker, waitForRelease, &again));
  ASSERT_TRUE(platform::joinWorker(*again.worker, 5000));
  EXPECT_TRUE(again.started);
}

TEST(Worker, EachWorkerHasItsOwnLockAndWakeUp) {
  platform::Worker& held = first();
  Probe probe;
  probe.worker = &second();
  probe.release = true;
  // Another worker's lock held here holds nothing of this one.
  platform::lockWorker(held);
  ASSERT_TRUE(platform::startWorker(*probe.worker, waitForRelease, &probe));
  EXPECT_TRUE(platform::joinWorker(*probe.worker, 5000));
  platform::unlockWorker(held);
  // A wake of another worker does not end this one's timed wait early.
  platform::lockWorker(*probe.worker);
  const uint64_t before = platform::clockMs();
  platform::wakeWorker(held);
  platform::waitWorker(*probe.worker, 150);
  const uint64_t waited = platform::clockMs() - before;
  platform::unlockWorker(*probe.worker);
  EXPECT_GE(waited, 145u);
  EXPECT_LT(waited, 2000u);
}

TEST(Worker, TheClocksCountMilliseconds) {
  const uint64_t unixMs = platform::unixTimeMs();
  EXPECT_GT(unixMs, 1700000000000u);  // after 2023, in milliseconds
  EXPECT_LT(unixMs, 4100000000000u);
  const uint64_t start = platform::clockMs();
  const timespec pause{0, 50 * 1000000L};
  nanosleep(&pause, nullptr);
  const uint64_t passed = platform::clockMs() - start;
  EXPECT_GE(passed, 49u);
  EXPECT_LT(passed, 2000u);
}

}  // namespace
