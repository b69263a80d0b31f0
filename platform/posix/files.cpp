// The port's media file services on POSIX, where a file name is bytes; a
// name the player gives in UTF-16 is taken as UTF-8.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/port.h"
#include "platform/posix/errors.h"

namespace platform {
namespace {

// Makes room for size bytes of the name; false when memory runs out.
bool sized(FileName* fileName, size_t size) {
  try {
    fileName->native.resize(size);
  } catch (const std::bad_alloc&) {
    setLastError(NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

}  // namespace

bool fileNameFromCodePage(const char* name, FileName* fileName) {
  if (name == nullptr || !sized(fileName, std::strlen(name))) return false;
  std::memcpy(fileName->native.data(), name, fileName->native.size());
  return true;
}

bool fileNameFromWide(const uint16_t* name, FileName* fileName) {
  size_t units = 0;
  if (name == nullptr || !wideNameUnits(name, &units)) return false;
  if (units == 0) return sized(fileName, 0);
  const int n = static_cast<int>(units);
  const int bytes = wideToMultiByte(UTF8_CODE_PAGE, name, n, nullptr, 0);
  return bytes > 0 && sized(fileName, static_cast<size_t>(bytes)) &&
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
