// The port's media file services on Win32.
#include <windows.h>

#include <cstdint>

#include "platform/port.h"

namespace platform {

bool fileStamp(const char* name, FileStamp* stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (name == nullptr || !GetFileAttributesExA(name, GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  stamp->size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  stamp->modified =
      (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  return true;
}

}  // namespace platform
