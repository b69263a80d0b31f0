#include "platform/win32/module_thread.h"

namespace platform::win32 {

HANDLE startModuleThread(LPTHREAD_START_ROUTINE run, void* parameter, const void* code,
                         HMODULE* module) {
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<const wchar_t*>(code),
                          module)) {
    return nullptr;
  }
  const HANDLE thread = CreateThread(nullptr, 0, run, parameter, 0, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    FreeLibrary(*module);
    SetLastError(error);
  }
  return thread;
}

}  // namespace platform::win32
