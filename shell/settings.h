// The three settings in the registry, and the update timer they arm.
#pragma once

#include <cstdint>

#include "platform/port.h"

constexpr const char* SETTINGS_SUBKEY = "Software\\Winamp\\Trellicast";

platform::KeyHandle openSettingsKey();
void loadSettings();
void saveSettings(const char* url, int32_t enabled, int32_t interval);
