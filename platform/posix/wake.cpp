#include "platform/posix/wake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace platform::posix {

namespace {

// Made once and kept for the life of the process: a sender thread may still
// write to it while the module is being unloaded.
int descriptor() {
  static const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd;
}

std::atomic<void (*)()> handler{nullptr};

}  // namespace

int wakeDescriptor() { return descriptor(); }

void wakeLoop() {
  const int fd = descriptor();
  if (fd < 0) return;
  const uint64_t one = 1;
  // Full only after 2^64 - 2 wakes nobody took: then the loop is awake anyway.
  (void)!::write(fd, &one, sizeof one);
}

void runWakeHandler() {
  const int fd = descriptor();
  uint64_t count = 0;
  if (fd >= 0) (void)!::read(fd, &count, sizeof count);
  if (void (*run)() = handler.load()) run();
}

void setWakeHandler(void (*run)()) { handler.store(run); }

}  // namespace platform::posix
