// Kernel and registry services of the port, each one kernel32 or advapi32
// call.
#include <windows.h>

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

long regCreateKey(const char* subKey, KeyHandle* key) {
  HKEY opened = nullptr;
  const LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &opened, nullptr);
  *key = rc == ERROR_SUCCESS ? opened : nullptr;
  return rc;
}

long regQueryValue(KeyHandle key, const char* name, void* data, uint32_t* size, uint32_t* type) {
  DWORD bytes = *size;
  DWORD stored = 0;
  const LONG rc = RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, &stored,
                                   static_cast<BYTE*>(data), &bytes);
  *size = bytes;
  if (type != nullptr) *type = stored;
  return rc;
}

long regSetValue(KeyHandle key, const char* name, uint32_t type, const void* data, uint32_t size) {
  return RegSetValueExA(static_cast<HKEY>(key), name, 0, type, static_cast<const BYTE*>(data),
                        size);
}

long regCloseKey(KeyHandle key) { return RegCloseKey(static_cast<HKEY>(key)); }

}  // namespace platform
