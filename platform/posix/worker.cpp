// The worker thread on POSIX threads.
//
// The thread runs code of the plug-in module, which the player may unload
// while it runs: it holds a reference to the object its body lives in and
// drops it (dlclose) from a thread-specific value's destructor, which the C
// library calls after the body has returned for good. A worker is never
// freed and its lock and wake-up are trivially destructible, so a process
// that exits while the thread runs tears nothing down under it.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <new>

#include "platform/port_worker.h"
#include "platform/posix/module_hold.h"

namespace platform {

struct Worker {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
  const char* name = nullptr;
  bool running = false;  // under lock: the last thread started has not ended
  pthread_t thread{};
  bool joinable = false;  // touched by the starting thread alone
};

namespace {

// What the thread runs and the reference it holds.
struct WorkerStart {
  Worker* worker;
  WorkerBody body;
  void* context;
  void* module;  // null when body lives in the program itself
};
using WorkerStartOwner = std::unique_ptr<WorkerStart>;

void* runWorker(void* parameter) {
  WorkerStartOwner owner(static_cast<WorkerStart*>(parameter));
  const WorkerStart start = *owner;
  owner.reset();
  posix::holdUntilThreadEnds(start.module);
  if (start.worker->name != nullptr) pthread_setname_np(pthread_self(), start.worker->name);
  start.body(start.context);
  pthread_mutex_lock(&start.worker->lock);
  start.worker->running = false;
  pthread_cond_broadcast(&start.worker->wake);
  pthread_mutex_unlock(&start.worker->lock);
  return nullptr;
}

timespec deadlineAfter(uint32_t waitMs) {
  timespec at{};
  clock_gettime(CLOCK_REALTIME, &at);
  at.tv_sec += waitMs / 1000;
  at.tv_nsec += static_cast<long>(waitMs % 1000) * 1000000L;
  if (at.tv_nsec >= 1000000000L) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000L;
  }
  return at;
}

uint64_t millisecondsOf(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace

Worker& newWorker(const char* name) {
  Worker* worker = new Worker;
  worker->name = name;
  return *worker;
}

void releaseWorker(Worker& worker) { delete &worker; }

bool startWorker(Worker& worker, WorkerBody body, void* context) {
  if (worker.joinable) return false;
  posix::prepareModuleHolds();
  WorkerStartOwner start(new (std::nothrow) WorkerStart{&worker, body, context, nullptr});
  if (!start) return false;
  start->module = posix::referenceToObjectOf(reinterpret_cast<const void*>(body));
  pthread_mutex_lock(&worker.lock);
  worker.running = true;
  pthread_mutex_unlock(&worker.lock);
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int rc = pthread_create(&worker.thread, nullptr, &runWorker, start.get());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    if (start->module != nullptr) dlclose(start->module);
    pthread_mutex_lock(&worker.lock);
    worker.running = false;
    pthread_mutex_unlock(&worker.lock);
    return false;
  }
  (void)start.release();  // the thread's now
  worker.joinable = true;
  return true;
}

bool joinWorker(Worker& worker, uint32_t waitMs) {
  if (!worker.joinable) return true;
  const timespec at = deadlineAfter(waitMs);
  pthread_mutex_lock(&worker.lock);
  while (worker.running) {
    if (pthread_cond_timedwait(&worker.wake, &worker.lock, &at) == ETIMEDOUT) break;
  }
  const bool ended = !worker.running;
  pthread_mutex_unlock(&worker.lock);
  if (!ended) return false;
  pthread_join(worker.thread, nullptr);
  worker.joinable = false;
  return true;
}

void lockWorker(Worker& worker) { pthread_mutex_lock(&worker.lock); }
void unlockWorker(Worker& worker) { pthread_mutex_unlock(&worker.lock); }

void waitWorker(Worker& worker, uint32_t waitMs) {
  if (waitMs == WORKER_WAIT_UNTIMED) {
    pthread_cond_wait(&worker.wake, &worker.lock);
    return;
  }
  const timespec at = deadlineAfter(waitMs);
  pthread_cond_timedwait(&worker.wake, &worker.lock, &at);
}

// Broadcast: the joiner waits on the same condition as the thread.
void wakeWorker(Worker& worker) { pthread_cond_broadcast(&worker.wake); }

uint64_t clockMs() { return millisecondsOf(CLOCK_MONOTONIC); }
uint64_t unixTimeMs() { return millisecondsOf(CLOCK_REALTIME); }

}  // namespace platform
