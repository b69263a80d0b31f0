// Part of the port (platform/port.h): media files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/port_text.h"

namespace platform {

// ---- Media files --------------------------------------------------------------
// What tells one version of a file from the next: its size and the time it
// was last written (in the system's own units).
struct FileStamp {
  uint64_t size;
  uint64_t modified;
};

// A file name as the system's file functions take it: UTF-16 on Windows
// (the wide functions, so that every name opens), bytes on POSIX. The core
// makes one from what the player gives and only carries it.
struct FileName {
  std::string native;  // the system's units, as bytes, without a terminator
};
// A name the player gave in its code page (211): MultiByteToWideChar(CP_ACP)
// on Windows, the bytes as they are on POSIX. Returns 0, or why it cannot
// be had (NOT_ENOUGH_MEMORY when memory ran out).
uint32_t fileNameFromCodePage(const char* name, FileName* fileName);
// A name the player gave in UTF-16 (214, terminated): as it is on Windows,
// in UTF-8 on POSIX. Returns 0, or why it cannot be had
// (FILE_NAME_TOO_LONG past 32767 units, NOT_ENOUGH_MEMORY).
uint32_t fileNameFromWide(const uint16_t* name, FileName* fileName);
// How many units a terminated UTF-16 name has before its terminator; false
// past the longest name the system takes (32767 units).
inline bool wideNameUnits(const uint16_t* name, size_t* units) {
  constexpr size_t MAX_NAME_UNITS = 32767;
  size_t n = 0;
  while (n <= MAX_NAME_UNITS && name[n] != 0) ++n;
  *units = n;
  return n <= MAX_NAME_UNITS;
}
// The name as UTF-8 text (WideCharToMultiByte(CP_UTF8) on Windows), for
// what the readers show of it and its extension.
std::string fileNameText(const FileName& fileName);

// stat(name) / GetFileAttributesExW(name, GetFileExInfoStandard): false
// when the file cannot be looked at (absent, a folder, a stream address).
bool fileStamp(const FileName& fileName, FileStamp* stamp);
// stat(path) and S_ISDIR / GetFileAttributesW(path) and
// FILE_ATTRIBUTE_DIRECTORY: whether path (UTF-8) names a folder that exists.
bool folderExists(const std::string& path);
// fopen(name, "rb") / _wfopen(name, L"rb"): none when the file cannot be
// opened. Others may read and write the file meanwhile.
std::FILE* openFileForReading(const FileName& fileName);

// The files in the folder that holds fileName (itself among them):
// FindFirstFileW/FindNextFileW over "folder\\*" on Windows, opendir/readdir
// on POSIX; folders are left out where the system says so. Each comes with
// its name within the folder as UTF-8. Returns 0, or why the folder cannot
// be listed.
struct FolderEntry {
  FileName name;
  std::string leaf;  // UTF-8
};
uint32_t filesBeside(const FileName& fileName, std::vector<FolderEntry>* entries);

}  // namespace platform
