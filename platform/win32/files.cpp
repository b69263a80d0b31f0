// The port's media file services on Win32: names are UTF-16 and go to the
// wide functions, so names outside the code page open too.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/port.h"

namespace platform {
namespace {

std::wstring wide(const FileName& fileName) {
  std::wstring units(fileName.native.size() / 2, L'\0');
  std::memcpy(units.data(), fileName.native.data(), units.size() * 2);
  return units;
}

void keep(const wchar_t* units, size_t count, FileName* fileName) {
  fileName->native.assign(reinterpret_cast<const char*>(units), count * 2);
}

}  // namespace

bool fileNameFromCodePage(const char* name, FileName* fileName) {
  if (name == nullptr) return false;
  try {
    const int units = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (units <= 0) return false;
    std::wstring converted(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, converted.data(), units) != units) return false;
    keep(converted.data(), static_cast<size_t>(units) - 1, fileName);
    return true;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

bool fileNameFromWide(const uint16_t* name, FileName* fileName) {
  if (name == nullptr) return false;
  size_t units = 0;
  if (!wideNameUnits(name, &units)) return false;
  try {
    fileName->native.assign(reinterpret_cast<const char*>(name), units * 2);
    return true;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

std::string fileNameText(const FileName& fileName) {
  const std::wstring units = wide(fileName);
  if (units.empty()) return std::string();
  const int n = static_cast<int>(units.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, units.data(), n, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, units.data(), n, text.data(), bytes, nullptr, nullptr);
  return text;
}

bool fileStamp(const FileName& fileName, FileStamp* stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  try {
    if (!GetFileAttributesExW(wide(fileName).c_str(), GetFileExInfoStandard, &data)) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  stamp->size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  stamp->modified =
      (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  return true;
}

std::FILE* openFileForReading(const FileName& fileName) {
  try {
    return _wfopen(wide(fileName).c_str(), L"rb");
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace platform
