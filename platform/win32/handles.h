// Owners for the Windows handles the backend and its test host open.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <type_traits>

namespace platform::win32 {

struct InternetCloser {
  void operator()(HINTERNET handle) const {
    // Closing must not disturb the code a failure left for the caller.
    const DWORD code = GetLastError();
    InternetCloseHandle(handle);
    SetLastError(code);
  }
};
using InternetOwner = std::unique_ptr<std::remove_pointer_t<HINTERNET>, InternetCloser>;

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyOwner = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

}  // namespace platform::win32
