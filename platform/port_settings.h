// Part of the port (platform/port.h): the settings store.
//
// The plug-in keeps a few named settings, each a text or a whole number, and
// reads or writes a set of them in one call. On Windows they are values of
// the registry key HKEY_LOCAL_MACHINE\Software\Winamp\Trellicast (texts as
// REG_SZ, numbers as REG_DWORD); on POSIX, lines of a config file. Texts
// are UTF-8 here; on Windows the backend reads and writes them in UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

enum class SettingKind { text, number };

struct SettingName {
  const char* name;
  SettingKind kind;
};

// Every setting the store knows, and its kind: a new setting is one more line.
constexpr SettingName SETTING_NAMES[] = {
    {"URL", SettingKind::text},           {"Enabled", SettingKind::number},
    {"Interval", SettingKind::number},    {"Utf8", SettingKind::number},
    {"OutputFolder", SettingKind::text},  {"OutputTemplate", SettingKind::text},
    {"OutputStopped", SettingKind::text}, {"SendCover", SettingKind::number},
    {"Discord", SettingKind::number},     {"DiscordAppId", SettingKind::text},
    {"DiscordPaused", SettingKind::text}, {"ListenUrl", SettingKind::text},
    {"ListenToken", SettingKind::text},
};

// One setting to read or write, and what became of it.
struct Setting {
  const char* name;
  SettingKind kind;
  // A text read: the buffer and its capacity in bytes, terminator included.
  // It is zero-filled, then gets the characters; a value with no room for
  // its terminator is not read. On any failure it holds the empty text.
  char* buffer = nullptr;
  uint32_t capacity = 0;
  // A text written.
  const char* text = nullptr;
  // A number: the value written, or read. On reading it holds the value
  // in use on entry: on Windows a stored value shorter than 4 bytes
  // replaces only the bytes it holds, and the stored type is not checked
  // unless typedOnly asks for a REG_DWORD of 4 bytes.
  uint32_t number = 0;
  bool typedOnly = false;
  // Out: 0 when read or written, else the system's code for this setting
  // (a setting that is absent, too long or not a number is not read).
  long error = 0;
};

// Each returns 0, or the system's code when the store cannot be opened
// (then nothing is read or written). Every setting is attempted whatever
// the others came to.
long readSettings(Setting* settings, size_t count);
long writeSettings(Setting* settings, size_t count);

}  // namespace platform
