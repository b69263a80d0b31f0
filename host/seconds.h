// A count of seconds from the command line ("3", "0.5") as milliseconds.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace host {

// False for anything but a non-negative decimal number of seconds (a
// fraction allowed: "0.5") up to 2 000 000 (about 23 days, inside a timer's
// range); rounded to the nearest millisecond.
inline bool parseSeconds(const char* text, uint32_t* ms) {
  char* end = nullptr;
  errno = 0;
  const double s = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(s >= 0) || s > 2000000) return false;
  *ms = static_cast<uint32_t>(s * 1000 + 0.5);
  return true;
}

}  // namespace host
