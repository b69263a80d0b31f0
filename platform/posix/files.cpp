// The port's media file services on POSIX, where a file name is bytes.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "platform/port.h"

namespace platform {

bool fileStamp(const char* name, bool, FileStamp* stamp) {
  struct stat st {};
  if (name == nullptr || ::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  stamp->size = static_cast<uint64_t>(st.st_size);
  stamp->modified = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                    static_cast<uint64_t>(st.st_mtim.tv_nsec);
  return true;
}

std::FILE* openFileForReading(const char* name, bool) {
  return name != nullptr ? std::fopen(name, "rb") : nullptr;
}

}  // namespace platform
