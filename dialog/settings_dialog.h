// The modal settings dialog (template 101).
#pragma once

#include <cstdint>

#include "platform/port.h"

intptr_t settingsDialogProc(platform::WindowHandle dialog, unsigned message, uintptr_t wParam,
                            intptr_t lParam);
