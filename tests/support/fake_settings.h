// The shape in which the test double keeps the settings: the values of one
// registry key, raw bytes with their type, read back by the Windows store's
// rules (fake_store.cpp), so the core's tests see what the Windows build sees.
#pragma once

#include <cstdint>

namespace platform {
constexpr uint32_t REG_TYPE_SZ = 1;     // REG_SZ
constexpr uint32_t REG_TYPE_DWORD = 4;  // REG_DWORD
}  // namespace platform

constexpr const char* SETTINGS_SUBKEY = "Software\\Winamp\\Trellicast";
