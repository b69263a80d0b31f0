// Part of the port (platform/port.h): the player's code-page text.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// ---- Text ------------------------------------------------------------------------
// The core converts between UTF-16 and UTF-8 itself (platform/unicode.h);
// only the player's code page needs the system. Each procedure returns 0
// or the system's error code (NOT_ENOUGH_MEMORY when memory runs out).
constexpr uint32_t NOT_ENOUGH_MEMORY = 8;     // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t INVALID_PARAMETER = 87;    // ERROR_INVALID_PARAMETER
constexpr uint32_t FILE_NAME_TOO_LONG = 206;  // ERROR_FILENAME_EXCED_RANGE

// True when the player's code-page texts are UTF-8 already: always on
// POSIX; on Windows when GetACP() is CP_UTF8.
bool codePageIsUtf8();
// The player's terminated code-page text as UTF-8, in *utf8:
// MultiByteToWideChar(CP_ACP) on Windows, then UTF-8; on POSIX the bytes
// as they are, which are UTF-8 already.
uint32_t codePageToUtf8(const char* text, std::string* utf8);

}  // namespace platform
