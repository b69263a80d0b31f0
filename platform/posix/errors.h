// The POSIX backend's per-thread last error code, as GetLastError keeps it.
#pragma once

#include <cstdint>

namespace platform {

void setLastError(uint32_t code);

}  // namespace platform
