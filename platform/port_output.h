// Part of the port: what the files for streamers (output/) need of the
// system: one worker thread with a lock and a wake-up, two clocks, and
// "replace a file whole". Not included by platform/port.h: only output/
// and its backends see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// ---- The output worker --------------------------------------------------------
using OutputWorkerBody = void (*)(void* context);

// CreateThread / pthread_create: runs body(context) on a thread of its own
// (every signal blocked on POSIX). The module holding body stays loaded
// until body has returned, even when the player unloads it meanwhile. One
// worker at a time: false while the last one started has not been reaped by
// joinOutputWorker, or when no thread can be had.
bool startOutputWorker(OutputWorkerBody body, void* context);
// Waits at most waitMs for the worker to end; true (and reaped) when it has
// ended or none runs. A worker still running keeps running.
bool joinOutputWorker(uint32_t waitMs);

// One lock for what the worker and its callers share (SRWLOCK / pthread
// mutex), and a wake-up bound to it (CONDITION_VARIABLE / pthread cond).
void lockOutput();
void unlockOutput();
// With the lock held: lets it go, waits for wakeOutput or at most waitMs
// (OUTPUT_WAIT_FOREVER: no bound), and takes it again. May return early;
// the caller rechecks what it waits for.
constexpr uint32_t OUTPUT_WAIT_FOREVER = 0xFFFFFFFF;  // INFINITE
void waitOutput(uint32_t waitMs);
// Wakes the waiter (the lock may be held or not).
void wakeOutput();

// GetTickCount64 / CLOCK_MONOTONIC, in milliseconds.
uint64_t outputClockMs();
// GetSystemTimeAsFileTime / CLOCK_REALTIME: milliseconds since 1970-01-01 UTC.
uint64_t unixTimeMs();

// ---- Replacing a file whole ------------------------------------------------------
// The outcome of one replace: written, or the system's error code and
// whether it is worth trying again soon (the file is held open by a reader
// that shares no delete: ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED or
// ERROR_LOCK_VIOLATION on Windows; EBUSY, ETXTBSY or EINTR on POSIX).
struct FileReplace {
  bool written = false;
  uint32_t error = 0;
  bool busy = false;
};

// Writes bytes to folder/name so that a reader sees the old file or the new
// one, whole, and never a missing or partial one: a temporary file
// ".name.tmp" in the same folder is written, flushed (FlushFileBuffers /
// fsync) and closed, then renamed over name (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH / rename). With
// keepExisting an existing name is left as it is (MoveFileExW without
// replacing / link) and that counts as written. The temporary file is
// removed on failure. folder and name are UTF-8 (the wide functions on
// Windows); folder without a trailing separator is fine.
FileReplace replaceFileWhole(const std::string& folder, const std::string& name, const void* bytes,
                             size_t size, bool keepExisting);

}  // namespace platform
