#include "dialog/settings_dialog.h"

// Placeholder until the dialog lands.
intptr_t settingsDialogProc(platform::WindowHandle, unsigned, uintptr_t, intptr_t) { return 0; }
