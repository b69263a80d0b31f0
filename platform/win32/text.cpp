// The port's text conversions on Win32: each one kernel32 call.
#include <windows.h>

#include "platform/port.h"

namespace platform {

uint32_t ansiCodePage() { return GetACP(); }

int multiByteToWide(uint32_t codePage, const char* text, int length, uint16_t* wide, int capacity) {
  return MultiByteToWideChar(codePage, 0, text, length, reinterpret_cast<wchar_t*>(wide), capacity);
}

int wideToMultiByte(uint32_t codePage, const uint16_t* wide, int length, char* text, int capacity) {
  return WideCharToMultiByte(codePage, 0, reinterpret_cast<const wchar_t*>(wide), length, text,
                             capacity, nullptr, nullptr);
}

}  // namespace platform
