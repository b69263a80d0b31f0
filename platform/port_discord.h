// Part of the port: what Discord's "Listening to" (discord/) needs of the
// system: one worker thread with a lock and a wake-up, the connection to
// the Discord client on this machine (a Unix socket on POSIX, a named pipe
// on Windows), two clocks and the process id. Not included by
// platform/port.h: only discord/ and its backends see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// ---- The Discord worker -------------------------------------------------------
using DiscordWorkerBody = void (*)(void* context);

// CreateThread / pthread_create: runs body(context) on a thread of its own
// (every signal blocked on POSIX), holding the module loaded until body has
// returned. One worker at a time: false while the last one started has not
// been reaped by joinDiscordWorker, or when no thread can be had.
bool startDiscordWorker(DiscordWorkerBody body, void* context);
// Waits at most waitMs for the worker to end; true (and reaped) when it has
// ended or none runs. A worker still running keeps running.
bool joinDiscordWorker(uint32_t waitMs);

// One lock for what the worker and its callers share (SRWLOCK / pthread
// mutex).
void lockDiscord();
void unlockDiscord();
// Wakes the worker's waitDiscord (the lock may be held or not). A wake that
// comes while the worker is not waiting is kept for its next wait.
void wakeDiscord();

// GetTickCount64 / CLOCK_MONOTONIC, in milliseconds.
uint64_t discordClockMs();
// GetSystemTimeAsFileTime / CLOCK_REALTIME: milliseconds since 1970-01-01 UTC.
uint64_t discordUnixTimeMs();
// GetCurrentProcessId / getpid.
uint32_t discordProcessId();

// ---- The connection to the Discord client ----------------------------------------
struct DiscordPipe;  // the backend's own
struct DiscordPipeCloser {
  void operator()(DiscordPipe* pipe) const;
};
using DiscordPipeOwner = std::unique_ptr<DiscordPipe, DiscordPipeCloser>;

struct DiscordOpen {
  DiscordPipeOwner pipe;  // null when no endpoint answered
  uint32_t error = 0;     // then the system's code of the last endpoint tried
};

// CreateFileW of \\.\pipe\discord-ipc-0 ... -9 / connect to discord-ipc-0
// ... -9 in $XDG_RUNTIME_DIR (else $TMPDIR, else /tmp), then in its
// snap.discord/ and app/com.discordapp.Discord/: the first that answers.
DiscordOpen openDiscordPipe();

// Writes all of bytes, taking at most waitMs (WriteFile overlapped / send
// on a non-blocking socket); 0 or the system's code (WAIT_TIMEOUT /
// ETIMEDOUT when the time ran out).
uint32_t writeDiscordPipe(DiscordPipe& pipe, const void* bytes, size_t size, uint32_t waitMs);

enum class DiscordEvent { woken, received, closed, timedOut };
struct DiscordWait {
  DiscordEvent event = DiscordEvent::timedOut;
  uint32_t error = 0;  // closed: the system's code, 0 when the other end closed
};
constexpr uint32_t DISCORD_WAIT_FOREVER = 0xFFFFFFFFu;

// Waits, without the lock, for wakeDiscord, for bytes from pipe (which are
// appended to *received), for the other end to close, or for waitMs
// (DISCORD_WAIT_FOREVER: no bound). pipe may be null: then only the wake
// and the time end the wait. A wake and bytes at once: received comes first.
DiscordWait waitDiscord(DiscordPipe* pipe, std::string* received, uint32_t waitMs);

}  // namespace platform
