// The port's media file services on Win32: names are UTF-16 and go to the
// wide functions, so names outside the code page open too.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/port.h"
#include "platform/unicode.h"

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

uint32_t fileNameFromCodePage(const char* name, FileName* fileName) {
  if (name == nullptr) return INVALID_PARAMETER;
  try {
    const int units = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (units <= 0) return GetLastError();
    std::wstring converted(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, converted.data(), units) != units)
      return GetLastError();
    keep(converted.data(), static_cast<size_t>(units) - 1, fileName);
    return 0;
  } catch (const std::bad_alloc&) {
    return NOT_ENOUGH_MEMORY;
  }
}

uint32_t fileNameFromWide(const uint16_t* name, FileName* fileName) {
  if (name == nullptr) return INVALID_PARAMETER;
  size_t units = 0;
  if (!wideNameUnits(name, &units)) return FILE_NAME_TOO_LONG;
  try {
    fileName->native.assign(reinterpret_cast<const char*>(name), units * 2);
    return 0;
  } catch (const std::bad_alloc&) {
    return NOT_ENOUGH_MEMORY;
  }
}

std::string fileNameText(const FileName& fileName) {
  try {
    return unicode::utf16ToUtf8(reinterpret_cast<const uint16_t*>(wide(fileName).c_str()),
                                fileName.native.size() / 2);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
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

bool folderExists(const std::string& path) {
  try {
    const std::u16string units = unicode::utf8ToUtf16(path);
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t*>(units.c_str()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::FILE* openFileForReading(const FileName& fileName) {
  try {
    return _wfopen(wide(fileName).c_str(), L"rb");
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

struct FindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};
using FindOwner = std::unique_ptr<void, FindCloser>;

uint32_t filesBeside(const FileName& fileName, std::vector<FolderEntry>* entries) {
  try {
    const std::wstring units = wide(fileName);
    const size_t slash = units.find_last_of(L"\\/:");
    const std::wstring folder =
        slash == std::wstring::npos ? std::wstring() : units.substr(0, slash + 1);
    WIN32_FIND_DATAW found{};
    const HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return GetLastError();
    const FindOwner closer(find);
    entries->clear();
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
      const std::wstring leaf = found.cFileName;
      FolderEntry entry;
      keep((folder + leaf).c_str(), folder.size() + leaf.size(), &entry.name);
      entry.leaf =
          unicode::utf16ToUtf8(reinterpret_cast<const uint16_t*>(leaf.c_str()), leaf.size());
      entries->push_back(std::move(entry));
    } while (FindNextFileW(find, &found));
  } catch (const std::bad_alloc&) {
    return NOT_ENOUGH_MEMORY;
  }
  return 0;
}

}  // namespace platform
