// Kernel services of the port, each one kernel32 call, and the settings on
// the registry (advapi32).
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/port.h"
#include "platform/unicode.h"

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

// A setting's name for the wide calls; the names are ASCII.
std::wstring wideName(const char* name) {
  std::wstring units;
  for (const char* p = name; *p != '\0'; ++p) units.push_back(static_cast<unsigned char>(*p));
  return units;
}

bool isStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A text value, in UTF-8 into the setting's buffer. The store keeps string
// values in UTF-16 whichever call wrote them: what an ANSI call stored was
// converted from the ANSI code page then, so it reads back as the text it
// was. A value of another type is taken as the bytes it holds, as before.
LONG readText(HKEY key, Setting& s) {
  // Zero-filled first, a value stored without its terminator reads back
  // terminated; one that fills the whole buffer has no room for it. A value
  // of more units than the buffer has bytes cannot fit in UTF-8 either.
  std::vector<wchar_t> units(s.capacity, L'\0');
  DWORD type = REG_NONE;
  DWORD size = static_cast<DWORD>(units.size() * sizeof(wchar_t));
  const LONG rc = RegQueryValueExW(key, wideName(s.name).c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(units.data()), &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (!isStringType(type)) {
    if (size > s.capacity) return ERROR_MORE_DATA;
    std::memcpy(s.buffer, units.data(), size);
    return s.buffer[s.capacity - 1] == '\0' ? ERROR_SUCCESS : ERROR_MORE_DATA;
  }
  size_t count = 0;
  while (count < size / sizeof(wchar_t) && units[count] != L'\0') ++count;
  const std::string text =
      unicode::utf16ToUtf8(reinterpret_cast<const uint16_t*>(units.data()), count);
  if (text.size() >= s.capacity) return ERROR_MORE_DATA;
  std::memcpy(s.buffer, text.data(), text.size());
  return ERROR_SUCCESS;
}

LONG readSetting(HKEY key, Setting& s) {
  if (s.kind == SettingKind::text) {
    std::memset(s.buffer, 0, s.capacity);
    LONG rc = ERROR_NOT_ENOUGH_MEMORY;
    try {
      rc = readText(key, s);
    } catch (const std::bad_alloc&) {
    }
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
  if (s.kind == SettingKind::text) {
    // In UTF-16 with its terminator, as REG_SZ is kept.
    try {
      const std::u16string units = unicode::utf8ToUtf16(s.text);
      return RegSetValueExW(key, wideName(s.name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(units.c_str()),
                            static_cast<DWORD>((units.size() + 1) * sizeof(char16_t)));
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
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
