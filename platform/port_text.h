// Part of the port (platform/port.h): text conversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- Text conversion --------------------------------------------------------------
// Between the system's narrow texts and UTF-16. A length of -1 means the
// text is terminated and the terminator is converted too. With capacity 0
// nothing is written and the size the result needs is returned (in
// characters of the output); otherwise the characters written, or 0 when
// the result does not fit or cannot be converted (the last error says why).
// On POSIX the narrow texts are UTF-8 already: every code page converts as
// UTF-8, and bytes that are not UTF-8 become U+FFFD.
constexpr uint32_t ANSI_CODE_PAGE = 0;      // CP_ACP
constexpr uint32_t UTF8_CODE_PAGE = 65001;  // CP_UTF8

// GetACP: the code page of the player's narrow texts (UTF8_CODE_PAGE on
// POSIX).
uint32_t ansiCodePage();
// MultiByteToWideChar(codePage, 0, text, length, wide, capacity).
int multiByteToWide(uint32_t codePage, const char* text, int length, uint16_t* wide, int capacity);
// WideCharToMultiByte(codePage, 0, wide, length, text, capacity, nullptr,
// nullptr). A surrogate without its partner becomes U+FFFD in UTF-8.
int wideToMultiByte(uint32_t codePage, const uint16_t* wide, int length, char* text, int capacity);

}  // namespace platform
