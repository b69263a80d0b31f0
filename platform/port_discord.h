// Part of the port: what Discord's "Listening to" (discord/) needs of the
// system beside its worker thread (platform/port_worker.h): the worker's
// wake-up, the connection to the Discord client on this machine (a Unix
// socket on POSIX, a named pipe on Windows) and the process id. Not
// included by platform/port.h: only discord/ and its backends see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// ---- The Discord worker's wake-up ------------------------------------------------
// The worker's thread, lock and clocks are a platform::Worker
// (platform/port_worker.h); its wake-up is its own, so that one wait covers
// it and the connection (waitDiscord below).

// Makes the wake-up once for the process (a pipe / an auto-reset event);
// false when it cannot be had: then the worker is not started.
bool prepareDiscordWake();
// Wakes the worker's waitDiscord (the worker's lock may be held or not). A
// wake that comes while the worker is not waiting is kept for its next wait.
void wakeDiscord();

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
