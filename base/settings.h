// The settings in the store. Reading them calls settingsLoadedHook, which
// the plug-in wires to arm the update timer.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/port.h"

// The update timer's period for an interval in seconds, capped at the
// platform's longest.
uint32_t updateTimerPeriod(uint32_t seconds);
void loadSettings();
// Writes URL, Enabled, Interval and, when given, Utf8 (0 or 1), then reads
// them all back (and so arms the timer again).
void saveSettings(const char* url, int32_t enabled, int32_t interval,
                  std::optional<bool> utf8 = std::nullopt);
