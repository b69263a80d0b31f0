// A thread of the backend's that keeps the module its code lives in loaded
// until it ends, so a player that unloads the module meanwhile never
// unmaps running code.
#pragma once

#include <windows.h>

namespace platform::win32 {

// Takes a reference to the module holding code (GetModuleHandleExW) into
// *module, then starts run(parameter), which must end with
// FreeLibraryAndExitThread(*module, 0). The thread's handle, or null with
// nothing held (GetLastError says why).
HANDLE startModuleThread(LPTHREAD_START_ROUTINE run, void* parameter, const void* code,
                         HMODULE* module);

}  // namespace platform::win32
