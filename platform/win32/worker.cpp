// The worker thread on Win32.
//
// The thread holds a reference to the module its body lives in
// (GetModuleHandleExW) and ends with FreeLibraryAndExitThread, so a player
// that unloads the module while it runs leaves the code mapped until then.
// The lock and the wake-up are an SRWLOCK and a CONDITION_VARIABLE, which
// need no teardown: a worker is never freed.
#include <windows.h>

#include <memory>
#include <new>
#include <type_traits>

#include "platform/port_worker.h"
#include "platform/win32/module_thread.h"

namespace platform {

struct WorkerThreadCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};

struct Worker {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
  // Touched by the starting thread alone.
  std::unique_ptr<std::remove_pointer_t<HANDLE>, WorkerThreadCloser> thread;
};

namespace {

// What the thread runs and the module it holds.
struct WorkerStart {
  WorkerBody body;
  void* context;
  HMODULE module;
};
using WorkerStartOwner = std::unique_ptr<WorkerStart>;

DWORD WINAPI runWorker(void* parameter) {
  WorkerStartOwner owner(static_cast<WorkerStart*>(parameter));
  const WorkerStart start = *owner;
  owner.reset();
  start.body(start.context);
  FreeLibraryAndExitThread(start.module, 0);
}

}  // namespace

// Threads carry no names here: the name is for POSIX's ps and /proc.
Worker& newWorker(const char*) { return *new Worker; }

void releaseWorker(Worker& worker) { delete &worker; }

bool startWorker(Worker& worker, WorkerBody body, void* context) {
  if (worker.thread) return false;
  WorkerStartOwner start(new (std::nothrow) WorkerStart{body, context, nullptr});
  if (!start) return false;
  const HANDLE thread = win32::startModuleThread(
      runWorker, start.get(), reinterpret_cast<const void*>(body), &start->module);
  if (thread == nullptr) return false;
  (void)start.release();  // the thread's now
  worker.thread.reset(thread);
  return true;
}

bool joinWorker(Worker& worker, uint32_t waitMs) {
  if (!worker.thread) return true;
  if (WaitForSingleObject(worker.thread.get(), waitMs) != WAIT_OBJECT_0) return false;
  worker.thread.reset();
  return true;
}

void lockWorker(Worker& worker) { AcquireSRWLockExclusive(&worker.lock); }
void unlockWorker(Worker& worker) { ReleaseSRWLockExclusive(&worker.lock); }
static_assert(WORKER_WAIT_UNTIMED == INFINITE, "the untimed wait is the system's own");
void waitWorker(Worker& worker, uint32_t waitMs) {
  SleepConditionVariableSRW(&worker.wake, &worker.lock, waitMs, 0);
}
void wakeWorker(Worker& worker) { WakeAllConditionVariable(&worker.wake); }

uint64_t clockMs() { return GetTickCount64(); }

uint64_t unixTimeMs() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t EPOCH_TICKS = 116444736000000000ULL;  // 1601 to 1970 in 100 ns
  return (ticks - EPOCH_TICKS) / 10000u;
}

}  // namespace platform
