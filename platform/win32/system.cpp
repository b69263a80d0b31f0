// Kernel services of the port, each one kernel32 call, and the settings on
// the registry (advapi32).
#include <windows.h>

#include <cstring>
#include <memory>
#include <type_traits>

#include "platform/port.h"

namespace platform {

uint32_t moduleFileName(ModuleHandle module, char* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  DWORD n = GetModuleFileNameA(static_cast<HMODULE>(module), buffer, capacity);
  // A path cut to fit may come back without its terminator.
  if (n >= capacity) n = capacity - 1;
  buffer[n] = '\0';
  return n;
}

char pathSeparator() { return '\\'; }

uint32_t lastError() { return GetLastError(); }

TimeOfDay localTimeOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wHour, now.wMinute, now.wSecond};
}

// ---- Settings: the values of one registry key --------------------------------

namespace {

constexpr const char* SETTINGS_KEY = "Software\\Winamp\\Trellicast";

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyOwner = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// The key with all access, created when absent.
LONG openSettingsKey(KeyOwner* key) {
  HKEY opened = nullptr;
  const LONG rc =
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &opened, nullptr);
  if (rc == ERROR_SUCCESS) key->reset(opened);
  return rc;
}

LONG readSetting(HKEY key, Setting& s) {
  if (s.kind == SettingKind::text) {
    // Zero-filled first, a value stored without its terminator reads back
    // terminated; one that fills the whole buffer has no room for it.
    std::memset(s.buffer, 0, s.capacity);
    DWORD size = s.capacity;
    LONG rc =
        RegQueryValueExA(key, s.name, nullptr, nullptr, reinterpret_cast<BYTE*>(s.buffer), &size);
    if (rc == ERROR_SUCCESS && s.buffer[s.capacity - 1] != '\0') rc = ERROR_MORE_DATA;
    if (rc != ERROR_SUCCESS) std::memset(s.buffer, 0, s.capacity);
    return rc;
  }
  DWORD type = 0;
  DWORD size = sizeof s.number;
  const LONG rc =
      RegQueryValueExA(key, s.name, nullptr, &type, reinterpret_cast<BYTE*>(&s.number), &size);
  if (rc == ERROR_SUCCESS && s.typedOnly && (type != REG_DWORD || size != sizeof s.number))
    return ERROR_INVALID_DATA;
  return rc;
}

LONG writeSetting(HKEY key, const Setting& s) {
  if (s.kind == SettingKind::text)  // without its terminator
    return RegSetValueExA(key, s.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.text),
                          static_cast<DWORD>(std::strlen(s.text)));
  return RegSetValueExA(key, s.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&s.number),
                        sizeof s.number);
}

}  // namespace

long readSettings(Setting* settings, size_t count) {
  KeyOwner key;
  const LONG rc = openSettingsKey(&key);
  if (rc != ERROR_SUCCESS) return rc;
  for (size_t i = 0; i < count; ++i) settings[i].error = readSetting(key.get(), settings[i]);
  return ERROR_SUCCESS;
}

long writeSettings(Setting* settings, size_t count) {
  KeyOwner key;
  const LONG rc = openSettingsKey(&key);
  if (rc != ERROR_SUCCESS) return rc;
  for (size_t i = 0; i < count; ++i) settings[i].error = writeSetting(key.get(), settings[i]);
  return ERROR_SUCCESS;
}

}  // namespace platform
