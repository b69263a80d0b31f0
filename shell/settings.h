// The settings in the registry, and the update timer they arm.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/port.h"

constexpr const char* SETTINGS_SUBKEY = "Software\\Winamp\\Trellicast";

platform::KeyHandle openSettingsKey();
// The update timer's period for an interval in seconds, capped at the
// platform's longest.
uint32_t updateTimerPeriod(uint32_t seconds);
void loadSettings();
// Writes URL, Enabled, Interval and, when given, Utf8 (0 or 1), then reads
// them all back and re-arms the timer.
void saveSettings(const char* url, int32_t enabled, int32_t interval,
                  std::optional<bool> utf8 = std::nullopt);
