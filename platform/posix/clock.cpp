// The user's clock, as the C library keeps it (TZ and /etc/localtime).
#include <ctime>

#include "platform/port.h"

namespace platform {

TimeOfDay localTimeOfDay() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (localtime_r(&now, &parts) == nullptr) return {0, 0, 0};
  return {static_cast<unsigned>(parts.tm_hour), static_cast<unsigned>(parts.tm_min),
          static_cast<unsigned>(parts.tm_sec)};
}

}  // namespace platform
