// The module's own file name, from the dynamic loader's record of it.
#include <dlfcn.h>
#include <link.h>

#include <cstring>

#include "platform/port.h"
#include "platform/posix/errors.h"

namespace platform {

uint32_t moduleFileName(ModuleHandle module, char* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  struct link_map* map = nullptr;
  if (module == nullptr || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
      map->l_name == nullptr) {
    buffer[0] = '\0';
    setLastError(2);  // not found
    return 0;
  }
  // Like GetModuleFileNameA: a name too long is cut and still terminated.
  const size_t n = std::strlen(map->l_name);
  const size_t copied = n < capacity ? n : capacity - 1;
  std::memcpy(buffer, map->l_name, copied);
  buffer[copied] = '\0';
  return static_cast<uint32_t>(copied);
}

char pathSeparator() { return '/'; }

}  // namespace platform
