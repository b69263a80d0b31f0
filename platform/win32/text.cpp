// The player's code-page text on Win32: MultiByteToWideChar(CP_ACP), then
// UTF-8 by the shared conversion.
#include <windows.h>

#include <new>
#include <string>

#include "platform/port.h"
#include "platform/unicode.h"

namespace platform {

bool codePageIsUtf8() { return GetACP() == CP_UTF8; }

uint32_t codePageToUtf8(const char* text, std::string* utf8) {
  if (text == nullptr) return INVALID_PARAMETER;
  try {
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return GetLastError();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units) != units)
      return GetLastError();
    *utf8 = unicode::utf16ToUtf8(reinterpret_cast<const uint16_t*>(wide.data()),
                                 static_cast<size_t>(units) - 1);
    return 0;
  } catch (const std::bad_alloc&) {
    return NOT_ENOUGH_MEMORY;
  }
}

}  // namespace platform
