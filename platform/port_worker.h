// Part of the port: one worker thread with a lock and a wake-up of its own,
// and the two clocks its rooms keep time by. Not included by
// platform/port.h: the rooms that run a thread (output/, listens/,
// discord/) and their backends see it.
#pragma once

#include <cstdint>

namespace platform {

// ---- A worker thread ------------------------------------------------------------
struct Worker;  // the backend's own
using WorkerBody = void (*)(void* context);

// A worker with its lock and wake-up, made by its room and kept until the
// room lets it go with releaseWorker once its thread is reaped (a thread
// still running at the quit keeps its worker: the module stays loaded
// until it ends). name, when not null, is the thread's name as ps and /proc
// show it on POSIX (15 bytes at most); it must outlive the worker.
Worker& newWorker(const char* name);
// Frees a worker whose thread joinWorker has reaped (or that never ran one).
void releaseWorker(Worker& worker);

// CreateThread / pthread_create: runs body(context) on a thread of its own
// (every signal blocked on POSIX). The module holding body stays loaded
// until body has returned, even when the player unloads it meanwhile. One
// thread at a time per worker: false while the last one started has not
// been reaped by joinWorker, or when no thread can be had.
bool startWorker(Worker& worker, WorkerBody body, void* context);
// Waits at most waitMs for the thread to end; true (and reaped) when it has
// ended or none runs. A thread still running keeps running.
bool joinWorker(Worker& worker, uint32_t waitMs);

// The lock over what the thread and its callers share (SRWLOCK / pthread
// mutex) and a wake-up bound to it (CONDITION_VARIABLE / pthread cond).
void lockWorker(Worker& worker);
void unlockWorker(Worker& worker);
// With the lock held: lets it go, waits for wakeWorker or at most waitMs
// (WORKER_WAIT_UNTIMED: no bound), and takes it again. May return early;
// the caller rechecks what it waits for.
constexpr uint32_t WORKER_WAIT_UNTIMED = 0xFFFFFFFF;  // INFINITE
void waitWorker(Worker& worker, uint32_t waitMs);
// Wakes every waiter (the lock may be held or not).
void wakeWorker(Worker& worker);

// ---- Clocks -----------------------------------------------------------------------
// GetTickCount64 / CLOCK_MONOTONIC, in milliseconds.
uint64_t clockMs();
// GetSystemTimeAsFileTime / CLOCK_REALTIME: milliseconds since 1970-01-01 UTC.
uint64_t unixTimeMs();

}  // namespace platform
