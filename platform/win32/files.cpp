// The port's media file services on Win32. A UTF-8 name (one the player gave
// in UTF-16) goes to the wide functions, so names outside the code page open.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/port.h"

namespace platform {
namespace {

// The UTF-8 name as UTF-16; empty when it is not valid UTF-8.
std::wstring wideName(const char* name) {
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide.data(), units) != units)
    return std::wstring();
  wide.resize(static_cast<size_t>(units) - 1);
  return wide;
}

}  // namespace

bool fileStamp(const char* name, bool utf8, FileStamp* stamp) {
  if (name == nullptr) return false;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  BOOL found;
  if (utf8) {
    const std::wstring wide = wideName(name);
    found = !wide.empty() && GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data);
  } else {
    found = GetFileAttributesExA(name, GetFileExInfoStandard, &data);
  }
  if (!found || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  stamp->size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  stamp->modified =
      (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  return true;
}

std::FILE* openFileForReading(const char* name, bool utf8) {
  if (name == nullptr) return nullptr;
  if (!utf8) return std::fopen(name, "rb");
  const std::wstring wide = wideName(name);
  return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"rb");
}

}  // namespace platform
