#include "report/update.h"

// Placeholder until the update cycle lands.
void onUpdateTimer(platform::WindowHandle, unsigned, uintptr_t, uint32_t) {}
void sendStatusUpdate(platform::WindowHandle) {}
