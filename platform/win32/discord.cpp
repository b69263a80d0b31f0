// The Discord worker's wake-up and its connection on Win32: an auto-reset
// event for the wake-up and the client's named pipe opened for overlapped
// I/O, so one wait covers the wake-up, the bytes that arrive and the time.
#include <windows.h>

#include <memory>
#include <new>
#include <string>

#include "platform/port_discord.h"

namespace platform {

constexpr DWORD PIPE_CHUNK = 4096;

struct DiscordPipe {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE readDone = nullptr;   // manual-reset, signalled when the read completes
  HANDLE writeDone = nullptr;  // manual-reset
  OVERLAPPED read{};
  bool readPending = false;
  char buffer[PIPE_CHUNK];
};

void DiscordPipeCloser::operator()(DiscordPipe* pipe) const {
  if (pipe->readPending) {
    DWORD n = 0;
    CancelIoEx(pipe->pipe, &pipe->read);
    GetOverlappedResult(pipe->pipe, &pipe->read, &n, TRUE);
  }
  if (pipe->pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe->pipe);
  if (pipe->readDone != nullptr) CloseHandle(pipe->readDone);
  if (pipe->writeDone != nullptr) CloseHandle(pipe->writeDone);
  delete pipe;
}

namespace {

// The wake-up, made once and kept for the life of the process.
INIT_ONCE wakeOnce = INIT_ONCE_STATIC_INIT;
HANDLE wakeEvent = nullptr;
BOOL CALLBACK makeWakeEvent(PINIT_ONCE, void*, void**) {
  wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return TRUE;
}
HANDLE wake() {
  InitOnceExecuteOnce(&wakeOnce, makeWakeEvent, nullptr, nullptr);
  return wakeEvent;
}

// Starts a read into the pipe's buffer when none is under way; false with
// *error when the pipe is gone.
bool startRead(DiscordPipe& pipe, DWORD* error) {
  if (pipe.readPending) return true;
  ResetEvent(pipe.readDone);
  pipe.read = OVERLAPPED{};
  pipe.read.hEvent = pipe.readDone;
  if (!ReadFile(pipe.pipe, pipe.buffer, PIPE_CHUNK, nullptr, &pipe.read)) {
    const DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING) {
      *error = code;
      return false;
    }
  }
  // Done at once or pending: either way the event tells.
  pipe.readPending = true;
  return true;
}

DiscordWait closedWith(DWORD code) {
  DiscordWait outcome;
  outcome.event = DiscordEvent::closed;
  outcome.error = code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED ? 0 : code;
  return outcome;
}

}  // namespace

bool prepareDiscordWake() { return wake() != nullptr; }

void wakeDiscord() {
  if (const HANDLE event = wake()) SetEvent(event);
}

uint32_t discordProcessId() { return GetCurrentProcessId(); }

DiscordOpen openDiscordPipe() {
  DiscordOpen outcome;
  outcome.error = ERROR_FILE_NOT_FOUND;
  for (int n = 0; n < 10; ++n) {
    const std::wstring name = L"\\\\.\\pipe\\discord-ipc-" + std::to_wstring(n);
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      outcome.error = GetLastError();
      continue;
    }
    DiscordPipeOwner pipe(new (std::nothrow) DiscordPipe);
    if (!pipe) {
      CloseHandle(handle);
      outcome.error = ERROR_NOT_ENOUGH_MEMORY;
      return outcome;
    }
    pipe->pipe = handle;
    pipe->readDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pipe->writeDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe->readDone == nullptr || pipe->writeDone == nullptr) {
      outcome.error = GetLastError();
      return outcome;
    }
    outcome.pipe = std::move(pipe);
    outcome.error = 0;
    return outcome;
  }
  return outcome;
}

uint32_t writeDiscordPipe(DiscordPipe& pipe, const void* bytes, size_t size, uint32_t waitMs) {
  const char* at = static_cast<const char*>(bytes);
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  while (size > 0) {
    const DWORD chunk = size > 0x10000u ? 0x10000u : static_cast<DWORD>(size);
    ResetEvent(pipe.writeDone);
    OVERLAPPED write{};
    write.hEvent = pipe.writeDone;
    if (!WriteFile(pipe.pipe, at, chunk, nullptr, &write)) {
      const DWORD code = GetLastError();
      if (code != ERROR_IO_PENDING) return code;
      const ULONGLONG now = GetTickCount64();
      const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
      if (WaitForSingleObject(pipe.writeDone, left) != WAIT_OBJECT_0) {
        DWORD n = 0;
        CancelIoEx(pipe.pipe, &write);
        GetOverlappedResult(pipe.pipe, &write, &n, TRUE);
        return WAIT_TIMEOUT;
      }
    }
    DWORD written = 0;
    if (!GetOverlappedResult(pipe.pipe, &write, &written, FALSE)) return GetLastError();
    at += written;
    size -= written;
  }
  return 0;
}

DiscordWait waitDiscord(DiscordPipe* pipe, std::string* received, uint32_t waitMs) {
  DiscordWait outcome;
  HANDLE handles[2];
  DWORD count = 0;
  if (pipe != nullptr) {
    DWORD code = 0;
    if (!startRead(*pipe, &code)) return closedWith(code);
    handles[count++] = pipe->readDone;  // first: bytes come before a wake
  }
  const HANDLE wakeUp = wake();
  if (wakeUp != nullptr) handles[count++] = wakeUp;
  if (count == 0) {
    Sleep(waitMs == DISCORD_WAIT_FOREVER ? 1000 : waitMs);
    return outcome;
  }
  const DWORD rc = WaitForMultipleObjects(count, handles, FALSE,
                                          waitMs == DISCORD_WAIT_FOREVER ? INFINITE : waitMs);
  if (rc == WAIT_TIMEOUT) return outcome;
  if (pipe != nullptr && rc == WAIT_OBJECT_0) {
    DWORD n = 0;
    const BOOL done = GetOverlappedResult(pipe->pipe, &pipe->read, &n, FALSE);
    const DWORD code = done ? 0 : GetLastError();
    pipe->readPending = false;
    if (!done && code != ERROR_MORE_DATA) return closedWith(code);
    received->append(pipe->buffer, n);
    outcome.event = DiscordEvent::received;
    return outcome;
  }
  outcome.event = DiscordEvent::woken;
  return outcome;
}

}  // namespace platform
