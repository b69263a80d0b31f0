// One status update per timer tick.
#pragma once

#include <cstdint>

#include "platform/port.h"

void onUpdateTimer(platform::WindowHandle window, unsigned message, uintptr_t timerId,
                   uint32_t time);
void sendStatusUpdate(platform::WindowHandle window);
