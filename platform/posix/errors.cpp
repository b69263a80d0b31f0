#include "platform/posix/errors.h"

#include "platform/port.h"

namespace platform {

namespace {
thread_local uint32_t lastErrorCode = 0;
}

void setLastError(uint32_t code) { lastErrorCode = code; }
uint32_t lastError() { return lastErrorCode; }

}  // namespace platform
