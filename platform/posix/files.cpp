// The port's media file services and the player's text on POSIX, where a
// file name is bytes and text is UTF-8; a name the player gives in UTF-16 is
// taken as UTF-8.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/port.h"
#include "platform/unicode.h"

namespace platform {
namespace {

// Makes room for size bytes of the name; false when memory runs out.
bool sized(FileName* fileName, size_t size) {
  try {
    fileName->native.resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

uint32_t fileNameFromCodePage(const char* name, FileName* fileName) {
  if (name == nullptr) return INVALID_PARAMETER;
  if (!sized(fileName, std::strlen(name))) return NOT_ENOUGH_MEMORY;
  std::memcpy(fileName->native.data(), name, fileName->native.size());
  return 0;
}

uint32_t fileNameFromWide(const uint16_t* name, FileName* fileName) {
  size_t units = 0;
  if (name == nullptr) return INVALID_PARAMETER;
  if (!wideNameUnits(name, &units)) return FILE_NAME_TOO_LONG;
  try {
    fileName->native = unicode::utf16ToUtf8(name, units);
  } catch (const std::bad_alloc&) {
    return NOT_ENOUGH_MEMORY;
  }
  return 0;
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

bool folderExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::FILE* openFileForReading(const FileName& fileName) {
  return std::fopen(fileName.native.c_str(), "rb");
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirOwner = std::unique_ptr<DIR, DirCloser>;

uint32_t filesBeside(const FileName& fileName, std::vector<FolderEntry>* entries) {
  try {
    const size_t slash = fileName.native.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : fileName.native.substr(0, slash + 1);
    const DirOwner dir(opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) return static_cast<uint32_t>(errno);
    entries->clear();
    while (const dirent* entry = readdir(dir.get())) {
      if (entry->d_type == DT_DIR) continue;
      entries->push_back({FileName{folder + entry->d_name}, entry->d_name});
    }
  } catch (const std::bad_alloc&) {
    return NOT_ENOUGH_MEMORY;
  }
  return 0;
}

bool codePageIsUtf8() { return true; }

uint32_t codePageToUtf8(const char* text, std::string* utf8) {
  if (text == nullptr) return INVALID_PARAMETER;
  try {
    utf8->assign(text);
  } catch (const std::bad_alloc&) {
    return NOT_ENOUGH_MEMORY;
  }
  return 0;
}

}  // namespace platform
