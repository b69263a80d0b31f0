// The output worker and whole-file replacement on POSIX threads and rename.
//
// The worker runs code of the plug-in module, which the player may unload
// while it runs: the thread holds a reference to the object its body lives
// in and drops it (dlclose) from a thread-specific value's destructor, which
// the C library calls after the body has returned for good. The lock and the
// wake-up are statically initialised and trivially destructible, so a
// process that exits while the worker runs tears nothing down under it.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>

#include "platform/port_output.h"
#include "platform/posix/module_hold.h"

namespace platform {
namespace {

pthread_mutex_t outputLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t outputWake = PTHREAD_COND_INITIALIZER;

// The worker's own record: what it runs and the reference it holds.
struct OutputWorker {
  OutputWorkerBody body;
  void* context;
  void* module;  // null when body lives in the program itself
};

using OutputWorkerOwner = std::unique_ptr<OutputWorker>;

// Whether the last worker started has ended, under outputLock.
bool workerRunning = false;
pthread_t workerThread;
bool workerJoinable = false;  // touched by the starting thread alone

void* runWorker(void* parameter) {
  OutputWorkerOwner owner(static_cast<OutputWorker*>(parameter));
  const OutputWorker worker = *owner;
  owner.reset();
  posix::holdUntilThreadEnds(worker.module);
  pthread_setname_np(pthread_self(), "trellicast-out");  // as ps and /proc show it
  worker.body(worker.context);
  pthread_mutex_lock(&outputLock);
  workerRunning = false;
  pthread_cond_broadcast(&outputWake);
  pthread_mutex_unlock(&outputLock);
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

bool writeAll(int fd, const void* bytes, size_t size) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t n = write(fd, at, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

FileReplace failed(int error) {
  FileReplace outcome;
  outcome.error = static_cast<uint32_t>(error);
  outcome.busy = error == EBUSY || error == ETXTBSY || error == EINTR;
  return outcome;
}

}  // namespace

bool startOutputWorker(OutputWorkerBody body, void* context) {
  if (workerJoinable) return false;
  OutputWorkerOwner worker(new (std::nothrow) OutputWorker{body, context, nullptr});
  if (!worker) return false;
  worker->module = posix::referenceToObjectOf(reinterpret_cast<const void*>(body));
  pthread_mutex_lock(&outputLock);
  workerRunning = true;
  pthread_mutex_unlock(&outputLock);
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int rc = pthread_create(&workerThread, nullptr, &runWorker, worker.get());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    if (worker->module != nullptr) dlclose(worker->module);
    pthread_mutex_lock(&outputLock);
    workerRunning = false;
    pthread_mutex_unlock(&outputLock);
    return false;
  }
  (void)worker.release();  // the thread's now
  workerJoinable = true;
  return true;
}

bool joinOutputWorker(uint32_t waitMs) {
  if (!workerJoinable) return true;
  const timespec at = deadlineAfter(waitMs);
  pthread_mutex_lock(&outputLock);
  while (workerRunning) {
    if (pthread_cond_timedwait(&outputWake, &outputLock, &at) == ETIMEDOUT) break;
  }
  const bool ended = !workerRunning;
  pthread_mutex_unlock(&outputLock);
  if (!ended) return false;
  pthread_join(workerThread, nullptr);
  workerJoinable = false;
  return true;
}

void lockOutput() { pthread_mutex_lock(&outputLock); }
void unlockOutput() { pthread_mutex_unlock(&outputLock); }

void waitOutput(uint32_t waitMs) {
  if (waitMs == OUTPUT_WAIT_FOREVER) {
    pthread_cond_wait(&outputWake, &outputLock);
    return;
  }
  const timespec at = deadlineAfter(waitMs);
  pthread_cond_timedwait(&outputWake, &outputLock, &at);
}

// Broadcast: the joiner waits on the same condition as the worker.
void wakeOutput() { pthread_cond_broadcast(&outputWake); }

uint64_t outputClockMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint64_t unixTimeMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

FileReplace replaceFileWhole(const std::string& folder, const std::string& name, const void* bytes,
                             size_t size, bool keepExisting) {
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  const std::string target = prefix + name;
  const std::string temporary = prefix + "." + name + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return failed(errno);
  if (!writeAll(fd, bytes, size) || fsync(fd) != 0) {
    const int error = errno;
    close(fd);
    unlink(temporary.c_str());
    return failed(error);
  }
  if (close(fd) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    return failed(error);
  }
  if (keepExisting) {
    const int rc = link(temporary.c_str(), target.c_str());
    const int error = errno;
    unlink(temporary.c_str());
    if (rc != 0 && error != EEXIST) return failed(error);
  } else if (rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    return failed(error);
  }
  FileReplace outcome;
  outcome.written = true;
  return outcome;
}

}  // namespace platform
