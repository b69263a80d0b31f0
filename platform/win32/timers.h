// The timers the backend set for the core (ui.cpp), as the watch sees them.
#pragma once

#include <windows.h>

namespace platform::win32 {

// KillTimer for every timer the core set on window that still runs, so that
// none reaches the module once the player may unload it (unwatchWindow).
void killTimers(HWND window);

}  // namespace platform::win32
