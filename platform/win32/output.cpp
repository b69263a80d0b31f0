// The output worker and whole-file replacement on Win32 threads and
// MoveFileExW.
//
// The worker holds a reference to the module its body lives in
// (GetModuleHandleExW) and ends with FreeLibraryAndExitThread, so a player
// that unloads the module while it runs leaves the code mapped until then.
// The lock and the wake-up are a statically initialised SRWLOCK and
// CONDITION_VARIABLE.
#include <windows.h>

#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "platform/port_output.h"
#include "platform/win32/module_thread.h"

namespace platform {
namespace {

SRWLOCK outputLock = SRWLOCK_INIT;
CONDITION_VARIABLE outputWake = CONDITION_VARIABLE_INIT;

struct OutputWorker {
  OutputWorkerBody body;
  void* context;
  HMODULE module;
};
using OutputWorkerOwner = std::unique_ptr<OutputWorker>;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using HandleOwner = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

HandleOwner workerThread;  // touched by the starting thread alone

DWORD WINAPI runWorker(void* parameter) {
  OutputWorkerOwner owner(static_cast<OutputWorker*>(parameter));
  const OutputWorker worker = *owner;
  owner.reset();
  worker.body(worker.context);
  FreeLibraryAndExitThread(worker.module, 0);
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int units =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return {};
  std::wstring out(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
  return out;
}

FileReplace failed(DWORD error) {
  FileReplace outcome;
  outcome.error = error;
  outcome.busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                 error == ERROR_LOCK_VIOLATION;
  return outcome;
}

}  // namespace

bool startOutputWorker(OutputWorkerBody body, void* context) {
  if (workerThread) return false;
  OutputWorkerOwner worker(new (std::nothrow) OutputWorker{body, context, nullptr});
  if (!worker) return false;
  const HANDLE thread = win32::startModuleThread(
      runWorker, worker.get(), reinterpret_cast<const void*>(body), &worker->module);
  if (thread == nullptr) return false;
  (void)worker.release();  // the thread's now
  workerThread.reset(thread);
  return true;
}

bool joinOutputWorker(uint32_t waitMs) {
  if (!workerThread) return true;
  if (WaitForSingleObject(workerThread.get(), waitMs) != WAIT_OBJECT_0) return false;
  workerThread.reset();
  return true;
}

void lockOutput() { AcquireSRWLockExclusive(&outputLock); }
void unlockOutput() { ReleaseSRWLockExclusive(&outputLock); }
static_assert(OUTPUT_WAIT_FOREVER == INFINITE, "the untimed wait is the system's own");
void waitOutput(uint32_t waitMs) { SleepConditionVariableSRW(&outputWake, &outputLock, waitMs, 0); }
void wakeOutput() { WakeAllConditionVariable(&outputWake); }

uint64_t outputClockMs() { return GetTickCount64(); }

uint64_t unixTimeMs() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t EPOCH_TICKS = 116444736000000000ULL;  // 1601 to 1970 in 100 ns
  return (ticks - EPOCH_TICKS) / 10000u;
}

FileReplace replaceFileWhole(const std::string& folder, const std::string& name, const void* bytes,
                             size_t size, bool keepExisting) {
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
  const std::wstring target = wide(prefix + name);
  const std::wstring temporary = wide(prefix + "." + name + ".tmp");
  if (target.empty() || temporary.empty()) return failed(ERROR_INVALID_NAME);
  HandleOwner file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    (void)file.release();
    return failed(GetLastError());
  }
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file.get(), at, chunk, &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      file.reset();
      DeleteFileW(temporary.c_str());
      return failed(error);
    }
    at += written;
    size -= written;
  }
  if (!FlushFileBuffers(file.get())) {
    const DWORD error = GetLastError();
    file.reset();
    DeleteFileW(temporary.c_str());
    return failed(error);
  }
  file.reset();
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (keepExisting ? 0 : MOVEFILE_REPLACE_EXISTING);
  if (!MoveFileExW(temporary.c_str(), target.c_str(), flags)) {
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    if (!(keepExisting && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)))
      return failed(error);
  }
  FileReplace outcome;
  outcome.written = true;
  return outcome;
}

}  // namespace platform
