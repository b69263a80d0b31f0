// Part of the port (platform/port.h): the settings store.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using KeyHandle = void*;  // HKEY

// ---- Settings store (registry) ----------------------------------------------------
constexpr uint32_t REG_TYPE_SZ = 1;     // REG_SZ
constexpr uint32_t REG_TYPE_DWORD = 4;  // REG_DWORD
constexpr long REG_SUCCESS = 0;         // ERROR_SUCCESS

// RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, no class,
// REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, default security, key, nullptr).
long regCreateKey(const char* subKey, KeyHandle* key);
// RegQueryValueExA(key, name, nullptr, type, data, size): *size holds the
// capacity on entry and the data's size on return. Data longer than the
// capacity is not copied (ERROR_MORE_DATA); shorter data overwrites only
// the bytes it holds. The stored type is not checked; when type is given
// it receives it (on success and on ERROR_MORE_DATA).
long regQueryValue(KeyHandle key, const char* name, void* data, uint32_t* size,
                   uint32_t* type = nullptr);
// RegSetValueExA(key, name, 0, type, data, size).
long regSetValue(KeyHandle key, const char* name, uint32_t type, const void* data, uint32_t size);
long regCloseKey(KeyHandle key);  // RegCloseKey

}  // namespace platform
