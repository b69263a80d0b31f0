// The port's media file services on POSIX, where a file name is bytes; a
// name the player gives in UTF-16 is taken as UTF-8.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

#include "platform/port.h"
#include "platform/posix/errors.h"

namespace platform {
bool fileNameFromCodePage(const char* name, FileName* fileName) {
  if (name == nullptr) return false;
  try {
    fileName->native = name;
    return true;
  } catch (const std::bad_alloc&) {
    setLastError(NOT_ENOUGH_MEMORY);
    return false;
  }
}

bool fileNameFromWide(const uint16_t* name, FileName* fileName) {
  if (name == nullptr) return false;
  size_t units = 0;
  if (!wideNameUnits(name, &units)) return false;
  const int n = static_cast<int>(units);
  const int bytes = units == 0 ? 0 : wideToMultiByte(UTF8_CODE_PAGE, name, n, nullptr, 0);
  if (units != 0 && bytes <= 0) return false;
  try {
    fileName->native.assign(static_cast<size_t>(bytes), '\0');
  } catch (const std::bad_alloc&) {
    setLastError(NOT_ENOUGH_MEMORY);
    return false;
  }
  return units == 0 ||
         wideToMultiByte(UTF8_CODE_PAGE, name, n, fileName->native.data(), bytes) == bytes;
}

std::string fileNameText(const FileName& fileName) { return fileName.native; }

bool fileStamp(const FileName& fileName, FileStamp* stamp) {
  struct stat st {};
  if (::stat(fileName.native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  stamp->size = static_cast<uint64_t>(st.st_size);
  stamp->modified = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                    static_cast<uint64_t>(st.st_mtim.tv_nsec);
  return true;
}

std::FILE* openFileForReading(const FileName& fileName) {
  return std::fopen(fileName.native.c_str(), "rb");
}

}  // namespace platform
